#pragma once

// The link the application was launched with, kept in the application's
// own preferences until the engine reports it; and where a link of a user
// activity or a launch comes from.

#include <cstdint>
#include <optional>
#include <string>

#include "measurement/store/preferences_suite.h"
#include "measurement/store/remote_config.h"
#include "platform/foundation/value.h"

namespace measurement {

inline constexpr const char* kAPMStoredDeepLinkKey = "/rozeda/measurement/deep_link";
inline constexpr const char* kAPMStoredDeepLinkTimestampKey = "/rozeda/measurement/deep_link_timestamp_seconds";

// The launch options as the launch notification's user information holds
// them, and a user activity's fields.
inline constexpr const char* kAPMLaunchOptionsURLKey = "UIApplicationLaunchOptionsURLKey";
inline constexpr const char* kAPMLaunchOptionsUserActivityDictionaryKey =
    "UIApplicationLaunchOptionsUserActivityDictionaryKey";
inline constexpr const char* kAPMLaunchOptionsUserActivityKey = "UIApplicationLaunchOptionsUserActivityKey";
inline constexpr const char* kAPMUserActivityTypeKey = "activityType";
inline constexpr const char* kAPMUserActivityWebpageURLKey = "webpageURL";
inline constexpr const char* kAPMUserActivityTypeBrowsingWeb = "NSUserActivityTypeBrowsingWeb";

// Monitor codes of user activities.
enum : long {
    kAPMUserActivityEmptyCode = 23003,
    kAPMUserActivityOSUnsupportedCode = 23004,
    kAPMUserActivityUnsupportedCode = 23005,
    kAPMUserActivityNoDeepLinkCode = 23006,
};

// Writes the link and now (seconds since 1970).
void storeDeepLink(APMUserDefaults& preferences, const std::string& link);
void clearStoredDeepLink(APMUserDefaults& preferences);
// False when no time is stored; else whether the stored time lies more than
// the interval from now, either way.
bool isStoredDeepLinkExpired(APMUserDefaults& preferences, double intervalSeconds);
// Clears a link older than the configuration's attribution cache time;
// answers whether it did.
bool clearStoredDeepLinkIfExpired(const APMRemoteConfig& config);
// The start of the hour before the one the time falls in (milliseconds).
std::int64_t previousHourStartMillis(std::int64_t millis);

// The web page link of a browsing activity (a dictionary with
// "activityType" and "webpageURL"); none, logged, for anything else (an
// empty dictionary is no activity).
std::optional<std::string> deepLinkFromUserActivity(const platform::Value& activity);
// Stores the link of the launch options: a user activity's first, else the
// launch URL (when it is one).
void handleStoredURLAfterAppLaunchWithNotification(const platform::Value::Dictionary& userInfo);

}  // namespace measurement
