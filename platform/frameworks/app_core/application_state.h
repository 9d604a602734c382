#pragma once

namespace platform {

// The application's lifecycle announcements, posted on the default
// notification centre by the application object (or by a test or tool that
// stands in for it).
inline constexpr const char* kApplicationDidFinishLaunchingNotification = "ApplicationDidFinishLaunchingNotification";
inline constexpr const char* kApplicationDidBecomeActiveNotification = "ApplicationDidBecomeActiveNotification";
inline constexpr const char* kApplicationWillResignActiveNotification = "ApplicationWillResignActiveNotification";

}  // namespace platform
