#pragma once

namespace platform {

// The application's lifecycle announcements, posted on the default
// notification centre by the application object (platform::ui::Application,
// whose names these are) or by a test or tool that stands in for it. The
// libraries that observe them need not know the user-interface layer.
inline constexpr const char* kApplicationDidFinishLaunchingNotification = "UIApplicationDidFinishLaunchingNotification";
inline constexpr const char* kApplicationDidBecomeActiveNotification = "UIApplicationDidBecomeActiveNotification";
inline constexpr const char* kApplicationWillResignActiveNotification = "UIApplicationWillResignActiveNotification";

}  // namespace platform
