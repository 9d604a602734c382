// The metadata header stored with raw events, and its fingerprint.
#include "measurement/core/raw_event_metadata.h"

#include "measurement/core/seams.h"
#include "measurement/foundation/bundle_tags.h"
#include "measurement/foundation/environment.h"
#include "measurement/foundation/hashing.h"
#include "measurement/upload/consent/consent_settings_util.h"
#include "measurement/upload/identity_support/environment_info.h"

namespace measurement {

namespace {

using namespace bundle_tag;

int bundleIndex(int tag) { return bundleFieldIndex(tag); }

// "1.2.3" -> 1, 2, 3; a part that is missing or not a small number is left
// out.
void setVersionParts(APMPBMeasurementBundle& header, const std::string& version) {
    const int tags[] = {kAppVersionMajor, kAppVersionMinor, kAppVersionRelease};
    std::size_t position = 0;
    for (int tag : tags) {
        if (position >= version.size()) return;
        const auto end = version.find('.', position);
        const auto part = version.substr(position, end == std::string::npos ? std::string::npos : end - position);
        if (part.empty() || part.size() > 9 || part.find_first_not_of("0123456789") != std::string::npos) return;
        NANOSetInt32(header, bundleIndex(tag), static_cast<std::int32_t>(std::stol(part)));
        if (end == std::string::npos) return;
        position = end + 1;
    }
}

void setText(APMPBMeasurementBundle& header, int tag, const std::string& text) {
    if (!text.empty()) NANOSetString(header, bundleIndex(tag), text);
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
    APMPBMeasurementBundle identity;
    APMSeams::identity()->fillRawEventMetadata(identity);
    source.identityFields = identity.protoBuffer();
    return source;
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
    setText(header, kAppID, source.bundleIdentifier);
    setText(header, kAppVersion, source.appVersion);
    NANOSetInt64(header, bundleIndex(kLibraryVersionAtStorage), kAPMLibraryVersion);
    setText(header, kMeasurementAppID, source.measurementAppID);
    setVersionParts(header, source.appVersion);
    NANOSetString(header, bundleIndex(kConsentSignals), source.consentSignals);
    setText(header, kConsentDiagnostics, source.consentDiagnostics);
    APMSeams::identity()->fillRawEventMetadata(header);
    return header;
}

std::int64_t APMRawEventMetadataFingerprint(const APMPBMeasurementBundle& header) {
    return apm_64LSBMD5(header.protoBuffer());
}

}  // namespace measurement
