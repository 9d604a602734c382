#pragma once

// The device, OS, language and time zone that every bundle's metadata
// carries.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace measurement {

// Monitor codes of the environment information.
enum : long {
    kAPMDeviceModelFailedCode = 14000,
    kAPMPreferredLanguageFailedCode = 14001,
};

class APMEnvironmentInfo {
public:
    static APMEnvironmentInfo& sharedInstance();

    // Read once, on the first call; an empty model is logged.
    std::string deviceModel();
    std::string deviceOSVersion() const;
    // The most preferred language, lower-cased ("en-us"); none, logged,
    // when the user has none.
    std::optional<std::string> userDefaultLanguage() const;
    // The local time zone's current offset from GMT in minutes, truncated
    // toward zero (+19800 s gives 330, -12600 s gives -210).
    std::int32_t timeZoneOffsetMinutes() const;

private:
    std::once_flag deviceModelOnce_;
    std::string deviceModel_;
};

// The offset of the named time zone (the machine's zone for an empty name)
// from GMT at the given time (seconds since 1970), in seconds, as ICU
// knows it.
std::int64_t APMTimeZoneOffsetSeconds(const std::string& zoneName, double secondsSince1970);

}  // namespace measurement
