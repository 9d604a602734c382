#pragma once

// The metadata header of raw events: what it records and its fingerprint.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/messages.h"
#include "measurement/foundation/user_attribute.h"
#include "measurement/upload/identity/identity.h"

namespace measurement {

// The version of this measurement library, as the header and bundles carry it.
inline const std::int64_t kAPMLibraryVersion = APMIdentity::dozUrerizaroriLibraryVersion();

// What the header records about the application.
struct APMRawEventMetadataSource {
    // The measurement application identifier ("ROZEDA_APP_ID"), tag 25; or,
    // when the advertising identifier is the one in use, that one in tag 41.
    std::string measurementAppID;
    std::string advertisingAppID;
    // The application's bundle identifier.
    std::string bundleIdentifier;
    std::string appVersion;
    // The first three numbers of the build version.
    std::optional<std::int64_t> appVersionNumbers[3];
    std::string devCertHash;
    std::string installationID;
    std::string sessionStitchingToken;
    std::string osVersion;
    std::string deviceModel;
    std::string language;
    std::int32_t timeZoneOffsetMinutes = 0;
    std::string consentSignals;
    std::string consentDiagnostics;

    bool operator==(const APMRawEventMetadataSource&) const = default;
};

class APMConsentSettingsUtil;

// The source read from the process: bundle, device, language, local time
// zone; the consent fields from the consent state. The identity adds its
// part (APMAddIdentityToRawEventMetadataSource). Equal sources and user
// properties make equal headers.
APMRawEventMetadataSource APMCurrentRawEventMetadataSource(const std::string& measurementAppID,
                                                           const APMConsentSettingsUtil& consent);

// The session an event is stored in, for its session stitching token.
struct APMRawEventSession {
    std::int64_t number = 0;
    bool expired = false;
    bool userIDAvailable = false;
};

// The identity's part of the source: the application's identifiers (the
// advertising one in place of the measurement one for the origin "am"),
// bundle identifier and versions, installation ID and the session stitching
// token of the session.
void APMAddIdentityToRawEventMetadataSource(APMRawEventMetadataSource& source, APMIdentity& identity,
                                           const std::string& origin, const APMRawEventSession& session);

// The partly filled bundle stored with raw events: protocol version 1, the
// user properties, "ios", OS version, device model, language, time-zone
// offset, the developer certificate hash (13), the application identifier
// (14) and version (16, with the build version's numbers in 31 to 33), the
// library version (17), the measurement application identifier (25) or the
// advertising one (41), the installation ID (30), the consent signals (52),
// the session stitching token (63) and the consent diagnostics (71).
APMPBMeasurementBundle APMMakeRawEventMetadata(const APMRawEventMetadataSource& source,
                                               const std::vector<APMUserAttribute>& userAttributes);

// The fingerprint under which a header is stored: the 64 least significant
// bits of the MD5 digest of its encoding, so equal headers share one row.
std::int64_t APMRawEventMetadataFingerprint(const APMPBMeasurementBundle& header);

}  // namespace measurement
