// The stored launch link and the links of launches and user activities.
#include "measurement/upload/attribution/stored_deep_link.h"

#include <cmath>
#include <cstdlib>

#include "measurement/foundation/environment.h"
#include "measurement/foundation/monitor.h"
#include "measurement/upload/attribution/link_url.h"
#include "platform/dispatch/clock.h"

namespace measurement {

namespace {

constexpr std::int64_t kHourMillis = 3600000;
constexpr int kFirstOSWithWebLinks = 9;

double now() { return platform::dispatch::currentClock()->now(); }

void logEntry(int level, long code, const std::string& message) {
    APMMonitor::shared().logWithLevel(level, code, message);
}

int majorOSVersion() {
    const std::string version = APMAEU::systemVersion();
    const auto end = version.find_first_not_of("0123456789");
    const std::string major = version.substr(0, end);
    if (major.empty() || major.size() > 6) return 0;
    return std::atoi(major.c_str());
}

}  // namespace

void storeDeepLink(APMUserDefaults& preferences, const std::string& link) {
    preferences.setObject(platform::Value(link), kAPMStoredDeepLinkKey);
    preferences.setDouble(now(), kAPMStoredDeepLinkTimestampKey);
}

void clearStoredDeepLink(APMUserDefaults& preferences) {
    preferences.removeObjectForKey(kAPMStoredDeepLinkKey);
    preferences.removeObjectForKey(kAPMStoredDeepLinkTimestampKey);
}

bool isStoredDeepLinkExpired(APMUserDefaults& preferences, double intervalSeconds) {
    const auto stored = preferences.numberForKey(kAPMStoredDeepLinkTimestampKey);
    if (!stored) return false;
    return std::fabs(now() - stored->realValue()) > intervalSeconds;
}

bool clearStoredDeepLinkIfExpired(const APMRemoteConfig& config) {
    auto preferences = APMUserDefaults::sharedUserDefaults();
    if (!isStoredDeepLinkExpired(preferences, config.attributionCacheTTLInterval())) return false;
    clearStoredDeepLink(preferences);
    return true;
}

std::int64_t previousHourStartMillis(std::int64_t millis) {
    const std::int64_t hourStart = millis / kHourMillis * kHourMillis;
    // Far back in time there is no hour before: the earliest hour stands in.
    if (hourStart < INT64_MIN + kHourMillis) return hourStart;
    return hourStart - kHourMillis;
}

std::optional<std::string> deepLinkFromUserActivity(const platform::Value& activity) {
    if (activity.isNull() || (activity.isDictionary() && activity.asDictionary().empty())) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelDebug, kAPMUserActivityEmptyCode,
                                          "User Activity is empty. User Activity", activity);
        return std::nullopt;
    }
    if (majorOSVersion() < kFirstOSWithWebLinks) {
        logEntry(kAPMMonitorLevelWarning, kAPMUserActivityOSUnsupportedCode,
                 "Deep Link is only supported on iOS 9 and above");
        return std::nullopt;
    }
    // Only a dictionary stands for a user activity here.
    if (!activity.isDictionary()) {
        logEntry(kAPMMonitorLevelWarning, kAPMUserActivityUnsupportedCode, "NSUserActivity is not supported");
        return std::nullopt;
    }
    const auto& type = activity[kAPMUserActivityTypeKey];
    const auto& link = activity[kAPMUserActivityWebpageURLKey];
    if (type.isString() && type.asString() == kAPMUserActivityTypeBrowsingWeb && link.isString() &&
        !link.asString().empty()) {
        return link.asString();
    }
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelWarning, kAPMUserActivityNoDeepLinkCode,
                                      "User Activity does not have Deep Link. User Activity", activity);
    return std::nullopt;
}

void handleStoredURLAfterAppLaunchWithNotification(const platform::Value::Dictionary& userInfo) {
    auto preferences = APMUserDefaults::sharedUserDefaults();
    bool stored = false;
    const auto activities = userInfo.find(kAPMLaunchOptionsUserActivityDictionaryKey);
    if (activities != userInfo.end() && activities->second.isDictionary() &&
        !activities->second.asDictionary().empty()) {
        const auto link = deepLinkFromUserActivity(activities->second[kAPMLaunchOptionsUserActivityKey]);
        if (link && !link->empty()) {
            storeDeepLink(preferences, *link);
            stored = true;
        }
    }
    const auto url = userInfo.find(kAPMLaunchOptionsURLKey);
    if (!stored && url != userInfo.end() && url->second.isString() && APMParseLinkURL(url->second.asString())) {
        storeDeepLink(preferences, url->second.asString());
    }
}

}  // namespace measurement
