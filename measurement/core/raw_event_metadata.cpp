// The metadata header stored with raw events, and its fingerprint.
#include "measurement/core/raw_event_metadata.h"

#include <algorithm>
#include <limits>

#include "measurement/foundation/bundle_tags.h"
#include "measurement/foundation/environment.h"
#include "measurement/foundation/hashing.h"
#include "measurement/upload/consent/consent_settings_util.h"
#include "measurement/upload/identity/identifiers.h"
#include "measurement/upload/identity_support/environment_info.h"

namespace measurement {

namespace {

using namespace bundle_tag;

int bundleIndex(int tag) { return bundleFieldIndex(tag); }

void setText(APMPBMeasurementBundle& header, int tag, const std::string& text) {
    if (!text.empty()) NANOSetString(header, bundleIndex(tag), text);
}

// The build version's numbers are 32-bit fields: a larger one is held at
// the largest that fits rather than wrapped.
void setVersionNumbers(APMPBMeasurementBundle& header, const std::optional<std::int64_t> (&numbers)[3]) {
    const int tags[] = {kAppVersionMajor, kAppVersionMinor, kAppVersionRelease};
    for (int i = 0; i < 3; ++i) {
        if (!numbers[i]) continue;
        const auto clamped = std::min<std::int64_t>(*numbers[i], std::numeric_limits<std::int32_t>::max());
        NANOSetInt32(header, bundleIndex(tags[i]), static_cast<std::int32_t>(clamped));
    }
}

}  // namespace

APMRawEventMetadataSource APMCurrentRawEventMetadataSource(const std::string& measurementAppID,
                                                           const APMConsentSettingsUtil& consent) {
    auto& environment = APMEnvironmentInfo::sharedInstance();
    APMRawEventMetadataSource source;
    source.measurementAppID = measurementAppID;
    source.bundleIdentifier = APMBundleIdentifier();
    source.appVersion = APMBundleShortVersion();
    source.osVersion = environment.deviceOSVersion();
    source.deviceModel = environment.deviceModel();
    source.language = environment.userDefaultLanguage().value_or("");
    source.timeZoneOffsetMinutes = environment.timeZoneOffsetMinutes();
    source.consentSignals = consent.consentSignals();
    source.consentDiagnostics = consent.consentDiagnostics();
    return source;
}

void APMAddIdentityToRawEventMetadataSource(APMRawEventMetadataSource& source, APMIdentity& identity,
                                           const std::string& origin, const APMRawEventSession& session) {
    if (auto measurementID = identity.appIDFromRUZ()) source.measurementAppID = *measurementID;
    if (origin == kAPMOriginAdvertising) source.advertisingAppID = identity.appIDFromDoZud().value_or("");
    source.bundleIdentifier = identity.appID();
    source.appVersion = identity.appVersion();
    source.appVersionNumbers[0] = identity.appVersionMajor();
    source.appVersionNumbers[1] = identity.appVersionMinor();
    source.appVersionNumbers[2] = identity.appVersionRelease();
    source.devCertHash = identity.devCertHash().value_or("");
    source.installationID = identity.rerudodoInstallationID().value_or("");
    source.sessionStitchingToken =
        identity.sessionStitchingToken(session.number, session.expired, session.userIDAvailable).value_or("");
}

APMPBMeasurementBundle APMMakeRawEventMetadata(const APMRawEventMetadataSource& source,
                                               const std::vector<APMUserAttribute>& userAttributes) {
    APMPBMeasurementBundle header;
    NANOSetInt32(header, bundleIndex(kProtocolVersion), 1);
    std::vector<APMPBUserAttribute> properties;
    properties.reserve(userAttributes.size());
    for (const auto& attribute : userAttributes) properties.push_back(attribute.protoUserAttribute());
    NANOSetArray(header, bundleIndex(kUserAttributes), properties);
    NANOSetString(header, bundleIndex(kPlatform), std::string("ios"));
    setText(header, kOSVersion, source.osVersion);
    setText(header, kDeviceModel, source.deviceModel);
    setText(header, kUserDefaultLanguage, source.language);
    NANOSetInt32(header, bundleIndex(kTimeZoneOffsetMinutes), source.timeZoneOffsetMinutes);
    setText(header, kDevCertHash, source.devCertHash);
    setText(header, kAppID, source.bundleIdentifier);
    setText(header, kAppVersion, source.appVersion);
    NANOSetInt64(header, bundleIndex(kLibraryVersionAtStorage), kAPMLibraryVersion);
    if (!source.advertisingAppID.empty()) {
        setText(header, kAdvertisingAppID, source.advertisingAppID);
    } else {
        setText(header, kMeasurementAppID, source.measurementAppID);
    }
    setText(header, kInstallationID, source.installationID);
    setVersionNumbers(header, source.appVersionNumbers);
    NANOSetString(header, bundleIndex(kConsentSignals), source.consentSignals);
    setText(header, kSessionStitchingToken, source.sessionStitchingToken);
    setText(header, kConsentDiagnostics, source.consentDiagnostics);
    return header;
}

std::int64_t APMRawEventMetadataFingerprint(const APMPBMeasurementBundle& header) {
    return apm_64LSBMD5(header.protoBuffer());
}

}  // namespace measurement
