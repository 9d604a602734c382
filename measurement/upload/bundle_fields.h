#pragma once

// Bundle fields by wire tag, and the internal names the upload side looks
// for in bundles.

#include "measurement/foundation/messages.h"

namespace measurement {

namespace bundle_tag {
enum : int {
    kEvents = 2,
    kUserAttributes = 3,
    kStartTimestamp = 5,
    kEndTimestamp = 6,
    kPreviousBundleEndTimestamp = 7,
    kOSVersion = 9,
    kDeviceModel = 10,
    kAppID = 14,
    kResettableDeviceID = 19,
    kLimitedAdTracking = 20,
    kAppInstanceID = 21,
    kBundleIndex = 23,
    kHealthMonitorSample = 24,
    kPreviousBundleStartTimestamp = 26,
    kVendorDeviceID = 27,
    kAudienceResults = 29,
    kConfigVersion = 35,
    kExperimentIDs = 45,
    kConsentSignals = 52,
    kTrackingAuthorizationStatus = 53,
    kSessionStitchingToken = 63,
    kDataControlsApplied = 64,
    kEphemeralAppInstanceID = 65,
    kConsentDiagnostics = 71,
    kDMARegion = 72,
    kCorePlatformServices = 73,
};
}  // namespace bundle_tag

// Fields of APMPBEvent, APMPBEventParam and APMPBUserAttribute by field
// index (their tags run without gaps, apart from the user attribute's
// double, tag 6, which is index 4).
namespace event_field {
enum : int { kParams = 0, kName = 1, kTimestamp = 2, kPreviousTimestamp = 3 };
}
namespace param_field {
enum : int { kName = 0, kStringValue = 1, kIntValue = 2 };
}
namespace user_attribute_field {
enum : int { kSetTimestamp = 0, kName = 1, kIntValue = 3 };
}

inline constexpr const char* kAPMNPAUserPropertyName = "_npa";
inline constexpr const char* kAPMUserIDPropertyName = "_id";
inline constexpr const char* kAPMFirstOpenEventName = "_f";

inline int bundleFieldIndex(int tag) { return APMPBMeasurementBundleFieldIndex(tag); }

inline void clearBundleField(APMPBMeasurementBundle& bundle, int tag) {
    const int index = bundleFieldIndex(tag);
    if (NANOHasField(bundle, index)) NANOClearField(bundle, index);
}

}  // namespace measurement
