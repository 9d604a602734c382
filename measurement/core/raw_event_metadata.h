#pragma once

// The metadata header of raw events: what it records and its fingerprint.

#include <cstdint>
#include <string>
#include <vector>

#include "measurement/foundation/messages.h"
#include "measurement/foundation/user_attribute.h"

namespace measurement {

// The version of this measurement library, as the header and bundles carry it.
inline constexpr std::int64_t kAPMLibraryVersion = 110500;

// What the header records about the application.
struct APMRawEventMetadataSource {
    // The measurement application identifier ("ROZEDA_APP_ID").
    std::string measurementAppID;
    // The application's bundle identifier.
    std::string bundleIdentifier;
    std::string appVersion;
    std::string osVersion;
    std::string deviceModel;
    std::string language;
    std::int32_t timeZoneOffsetMinutes = 0;
    std::string consentSignals;
    std::string consentDiagnostics;
    // What the identity component adds to the header, encoded.
    NANOBytes identityFields;

    bool operator==(const APMRawEventMetadataSource&) const = default;
};

class APMConsentSettingsUtil;

// The source read from the process: bundle, device, language, local time
// zone; the consent fields from the consent state; the identity fields from
// the identity component. Equal sources and user properties make equal
// headers.
APMRawEventMetadataSource APMCurrentRawEventMetadataSource(const std::string& measurementAppID,
                                                           const APMConsentSettingsUtil& consent);

// The partly filled bundle stored with raw events: protocol version 1, the
// user properties, "ios", OS version, device model, language, time-zone
// offset, the application identifier (tag 14) and version (16, with its
// numeric parts in 31 to 33), the library version (17), the measurement
// application identifier (25), the consent signals (52) and diagnostics
// (71); the identity component adds its identifiers.
APMPBMeasurementBundle APMMakeRawEventMetadata(const APMRawEventMetadataSource& source,
                                               const std::vector<APMUserAttribute>& userAttributes);

// The fingerprint under which a header is stored: the 64 least significant
// bits of the MD5 digest of its encoding, so equal headers share one row.
std::int64_t APMRawEventMetadataFingerprint(const APMPBMeasurementBundle& header);

}  // namespace measurement
