#pragma once

// Helpers of the upload tests: an identity with settable answers and
// bundle field access by tag.

#include <cstdint>
#include <optional>
#include <string>

#include "measurement/foundation/messages.h"
#include "measurement/foundation/bundle_tags.h"
#include "measurement/upload/bundle_inputs.h"

namespace upload_test {

using namespace measurement;

struct FakeIdentity : APMUploadIdentitySeam {
    bool ios14 = true;
    int status = kAPMTrackingStatusUnknown;
    bool hasLAT = false;
    bool lat = false;
    std::optional<std::string> idfa;
    std::optional<std::string> idfv;
    std::optional<std::string> instanceID;
    std::optional<std::string> ephemeralID;
    std::optional<std::string> applicationID;

    bool iOS14OrAbove() const override { return ios14; }
    int appleConsentStatus() const override { return status; }
    bool hasLimitedAdTracking() const override { return hasLAT; }
    bool limitedAdTracking() const override { return lat; }
    std::optional<std::string> resettableDeviceID() const override { return idfa; }
    std::optional<std::string> identifierForVendor() const override { return idfv; }
    std::optional<std::string> appInstanceID() const override { return instanceID; }
    std::optional<std::string> ephemeralAppInstanceID() const override { return ephemeralID; }
    std::optional<std::string> appID() const override { return applicationID; }
};

inline std::optional<std::string> bundleString(const APMPBMeasurementBundle& bundle, int tag) {
    return NANOGetString(bundle, bundleFieldIndex(tag));
}
inline bool hasBundleField(const APMPBMeasurementBundle& bundle, int tag) {
    return NANOHasField(bundle, bundleFieldIndex(tag));
}
inline void setBundleString(APMPBMeasurementBundle& bundle, int tag, const std::string& value) {
    NANOSetString(bundle, bundleFieldIndex(tag), value);
}
inline std::int64_t bundleInt64(const APMPBMeasurementBundle& bundle, int tag) {
    return NANOGetInt64(bundle, bundleFieldIndex(tag));
}

// An integer user property as a bundle carries it.
inline APMPBUserAttribute userAttribute(const std::string& name, std::int64_t value, std::int64_t setMillis) {
    APMPBUserAttribute attribute;
    NANOSetInt64(attribute, user_attribute_field::kSetTimestamp, setMillis);
    NANOSetString(attribute, user_attribute_field::kName, name);
    NANOSetInt64(attribute, user_attribute_field::kIntValue, value);
    return attribute;
}

}  // namespace upload_test
