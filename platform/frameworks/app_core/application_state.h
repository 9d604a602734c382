#pragma once

namespace platform {

// The application's lifecycle announcements, posted on the default
// notification centre by the application object (or by a test or tool that
// stands in for it). The names are those platform::ui::Application posts,
// so that its lifecycle reaches those who listen here.
inline constexpr const char* kApplicationDidFinishLaunchingNotification = "UIApplicationDidFinishLaunchingNotification";
inline constexpr const char* kApplicationDidBecomeActiveNotification = "UIApplicationDidBecomeActiveNotification";
inline constexpr const char* kApplicationWillResignActiveNotification = "UIApplicationWillResignActiveNotification";
inline constexpr const char* kApplicationDidEnterBackgroundNotification = "UIApplicationDidEnterBackgroundNotification";

}  // namespace platform
