#pragma once

// The identity's fields that live on its queue, and its small helpers.

#include <cstdint>
#include <optional>
#include <string>

#include "measurement/foundation/monitor.h"

namespace measurement {

// The tracking status codes of the identity.
namespace tracking_code {
inline constexpr int kRestricted = 1;
inline constexpr int kDenied = 2;
inline constexpr int kAuthorized = 3;
inline constexpr int kNotDetermined = 4;
inline constexpr int kUnavailable = 5;
inline constexpr int kUnknown = 6;
}  // namespace tracking_code

// The platform's answer for "authorised".
inline constexpr long kAPMPlatformTrackingAuthorized = 3;

struct APMIdentityQueueState {
    std::optional<double> lastAppInstanceIDUpdateTimestamp;
    int appleConsentStatus = tracking_code::kUnknown;
    std::optional<std::string> resettableDeviceID;
    bool limitedAdTracking = false;
    std::optional<std::string> identifierForVendorString;
    std::optional<std::string> sessionStitchingToken;
    std::int64_t lastSessionNumber = 0;
    bool lastIsSessionExpired = false;
    std::optional<double> sessionStitchingTokenExpirationTime;
    std::optional<std::string> ephemeralAppInstanceID;
};

inline bool APMHasText(const std::optional<std::string>& text) { return text && !text->empty(); }

inline void APMIdentityLog(int level, long code, const std::string& message) {
    APMMonitor::shared().logWithLevel(level, code, message);
}

}  // namespace measurement
