#include "measurement/core/raw_event_metadata.h"

#include <algorithm>
#include <limits>

#include "measurement/foundation/environment.h"
#include "measurement/foundation/hashing.h"
#include "measurement/upload/consent/consent_settings_util.h"
#include "measurement/upload/identity/identifiers.h"
#include "measurement/upload/identity_support/environment_info.h"

namespace measurement {

namespace {

int bundleIndex(int tag) { return APMPBMeasurementBundleFieldIndex(tag); }

void setText(APMPBMeasurementBundle& header, int tag, const std::string& text) {
    if (!text.empty()) NANOSetString(header, bundleIndex(tag), text);
}

// The build version's numbers are 32-bit fields: a larger one is held at
// the largest that fits rather than wrapped.
void setVersionNumbers(APMPBMeasurementBundle& header, const std::optional<std::int64_t> (&numbers)[3]) {
    const int tags[] = {nano_APMPBMeasurementBundle_app_version_major_tag,
                        nano_APMPBMeasurementBundle_app_version_minor_tag,
                        nano_APMPBMeasurementBundle_app_version_release_tag};
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
    NANOSetInt32(header, bundleIndex(nano_APMPBMeasurementBundle_protocol_version_tag), 1);
    std::vector<APMPBUserAttribute> properties;
    properties.reserve(userAttributes.size());
    for (const auto& attribute : userAttributes) properties.push_back(attribute.protoUserAttribute());
    NANOSetArray(header, bundleIndex(nano_APMPBMeasurementBundle_user_attributes_tag), properties);
    NANOSetString(header, bundleIndex(nano_APMPBMeasurementBundle_platform_tag), std::string("ios"));
    setText(header, nano_APMPBMeasurementBundle_os_version_tag, source.osVersion);
    setText(header, nano_APMPBMeasurementBundle_device_model_tag, source.deviceModel);
    setText(header, nano_APMPBMeasurementBundle_user_default_language_tag, source.language);
    NANOSetInt32(header, bundleIndex(nano_APMPBMeasurementBundle_time_zone_offset_minutes_tag),
                 source.timeZoneOffsetMinutes);
    setText(header, nano_APMPBMeasurementBundle_dev_cert_hash_tag, source.devCertHash);
    setText(header, nano_APMPBMeasurementBundle_app_id_tag, source.bundleIdentifier);
    setText(header, nano_APMPBMeasurementBundle_app_version_tag, source.appVersion);
    NANOSetInt64(header, bundleIndex(nano_APMPBMeasurementBundle_library_version_at_storage_tag), kAPMLibraryVersion);
    if (!source.advertisingAppID.empty()) {
        setText(header, nano_APMPBMeasurementBundle_advertising_app_id_tag, source.advertisingAppID);
    } else {
        setText(header, nano_APMPBMeasurementBundle_measurement_app_id_tag, source.measurementAppID);
    }
    setText(header, nano_APMPBMeasurementBundle_installation_id_tag, source.installationID);
    setVersionNumbers(header, source.appVersionNumbers);
    NANOSetString(header, bundleIndex(nano_APMPBMeasurementBundle_consent_signals_tag), source.consentSignals);
    setText(header, nano_APMPBMeasurementBundle_session_stitching_token_tag, source.sessionStitchingToken);
    setText(header, nano_APMPBMeasurementBundle_consent_diagnostics_tag, source.consentDiagnostics);
    return header;
}

std::int64_t APMRawEventMetadataFingerprint(const APMPBMeasurementBundle& header) {
    return apm_64LSBMD5(header.protoBuffer());
}

}  // namespace measurement
