#include "measurement/core/raw_event_metadata.h"

#include "measurement/core/seams.h"
#include "measurement/foundation/environment.h"
#include "measurement/foundation/hashing.h"
#include "measurement/upload/consent/consent_settings_util.h"
#include "measurement/upload/identity_support/environment_info.h"

namespace measurement {

namespace {

int bundleIndex(int tag) { return APMPBMeasurementBundleFieldIndex(tag); }

// "1.2.3" -> 1, 2, 3; a part that is missing or not a small number is left
// out.
void setVersionParts(APMPBMeasurementBundle& header, const std::string& version) {
    const int tags[] = {31, 32, 33};
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
    return source;
}

APMPBMeasurementBundle APMMakeRawEventMetadata(const APMRawEventMetadataSource& source,
                                               const std::vector<APMUserAttribute>& userAttributes) {
    APMPBMeasurementBundle header;
    NANOSetInt32(header, bundleIndex(1), 1);
    std::vector<APMPBUserAttribute> properties;
    properties.reserve(userAttributes.size());
    for (const auto& attribute : userAttributes) properties.push_back(attribute.protoUserAttribute());
    NANOSetArray(header, bundleIndex(3), properties);
    NANOSetString(header, bundleIndex(8), std::string("ios"));
    setText(header, 9, source.osVersion);
    setText(header, 10, source.deviceModel);
    setText(header, 11, source.language);
    NANOSetInt32(header, bundleIndex(12), source.timeZoneOffsetMinutes);
    setText(header, 14, source.bundleIdentifier);
    setText(header, 16, source.appVersion);
    NANOSetInt64(header, bundleIndex(17), kAPMLibraryVersion);
    setText(header, 25, source.measurementAppID);
    setVersionParts(header, source.appVersion);
    NANOSetString(header, bundleIndex(52), source.consentSignals);
    setText(header, 71, source.consentDiagnostics);
    APMSeams::identity()->fillRawEventMetadata(header);
    return header;
}

std::int64_t APMRawEventMetadataFingerprint(const APMPBMeasurementBundle& header) {
    return apm_64LSBMD5(header.protoBuffer());
}

}  // namespace measurement
