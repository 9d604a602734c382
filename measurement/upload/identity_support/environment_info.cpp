// Device model, OS version, preferred language and time-zone offset.
#include "measurement/upload/identity_support/environment_info.h"

#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>

#include "measurement/foundation/environment.h"
#include "measurement/foundation/monitor.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/process_info.h"

namespace measurement {

std::int64_t APMTimeZoneOffsetSeconds(const std::string& zoneName, double secondsSince1970) {
    std::unique_ptr<icu::TimeZone> zone(zoneName.empty()
                                            ? icu::TimeZone::createDefault()
                                            : icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(zoneName)));
    if (!zone) return 0;
    std::int32_t rawOffset = 0;
    std::int32_t dstOffset = 0;
    UErrorCode status = U_ZERO_ERROR;
    zone->getOffset(secondsSince1970 * 1000.0, false, rawOffset, dstOffset, status);
    if (U_FAILURE(status)) return 0;
    // ICU answers whole milliseconds; zones differ from GMT by whole seconds.
    return (static_cast<std::int64_t>(rawOffset) + dstOffset) / 1000;
}

APMEnvironmentInfo& APMEnvironmentInfo::sharedInstance() {
    static APMEnvironmentInfo instance;
    return instance;
}

std::string APMEnvironmentInfo::deviceModel() {
    std::call_once(deviceModelOnce_, [this] {
        errno = 0;
        deviceModel_ = APMAEU::deviceModel();
        if (!deviceModel_.empty()) return;
        const int failure = errno;
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelSilentError, kAPMDeviceModelFailedCode,
                                          "Failed to get device model",
                                          platform::Value(failure ? std::strerror(failure) : "no device model"));
    });
    return deviceModel_;
}

std::string APMEnvironmentInfo::deviceOSVersion() const { return APMAEU::systemVersion(); }

std::optional<std::string> APMEnvironmentInfo::userDefaultLanguage() const {
    const auto languages = APMPreferredLanguages();
    if (languages.empty()) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelSilentError, kAPMPreferredLanguageFailedCode,
                                          "Failed to get preferred language");
        return std::nullopt;
    }
    std::string language = languages.front();
    std::transform(language.begin(), language.end(), language.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return language;
}

std::int32_t APMEnvironmentInfo::timeZoneOffsetMinutes() const {
    const double now = platform::dispatch::currentClock()->now();
    const double minutes = std::trunc(static_cast<double>(APMTimeZoneOffsetSeconds(platform::ProcessInfo::timeZoneName(), now)) / 60.0);
    return static_cast<std::int32_t>(minutes);
}

}  // namespace measurement
