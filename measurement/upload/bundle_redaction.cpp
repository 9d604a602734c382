// Queued bundles rewritten for consent and data controls before an upload.
#include "measurement/upload/bundle_redaction.h"

#include <algorithm>
#include <cstring>

#include "measurement/foundation/bundle_tags.h"
#include "measurement/upload/upload_detail.h"

namespace measurement {

namespace {

using namespace bundle_tag;
using namespace upload_detail;

bool hasText(const std::optional<std::string>& text) { return text && !text->empty(); }

// Ad-storage and analytics-storage denial read from a signals string.
struct StorageDenial {
    bool adStorage = false;
    bool analyticsStorage = false;
};

StorageDenial denialOfSignals(const std::string& signals) {
    StorageDenial denial;
    denial.adStorage = signals.size() > 2 && APMConsentSignalDenies(signals[2]);
    denial.analyticsStorage = signalsDenyAnalyticsStorage(signals);
    return denial;
}

// Step 1 of the identifier rewrite: the consent signals to write and the
// denials that decide the identifiers.
StorageDenial applyConsentSignals(APMPBMeasurementBundle& bundle, const std::string& current, bool refresh) {
    const int index = bundleFieldIndex(kConsentSignals);
    if (current.size() < 4) {
        if (current.empty() && NANOHasField(bundle, index)) NANOClearField(bundle, index);
        return {};
    }
    if (refresh || !NANOHasField(bundle, index)) {
        NANOSetString(bundle, index, current);
        return denialOfSignals(current);
    }
    return denialOfSignals(NANOGetString(bundle, index).value_or(""));
}

// Step 2: writes the tracking status and answers whether the ATT gate holds
// the advertising identifier back.
bool applyTrackingStatus(APMPBMeasurementBundle& bundle, bool gateFlag, const APMUploadIdentitySeam& identity) {
    if (!identity.iOS14OrAbove()) return false;
    const int status = identity.appleConsentStatus();
    if (status != kAPMTrackingStatusUnknown) {
        NANOSetInt32(bundle, bundleFieldIndex(kTrackingAuthorizationStatus), status);
    }
    return gateFlag && status != kAPMTrackingStatusAuthorized;
}

void setUnlessPresent(APMPBMeasurementBundle& bundle, int tag, const std::string& value) {
    const int index = bundleFieldIndex(tag);
    if (!NANOHasField(bundle, index)) NANOSetString(bundle, index, value);
}

void applyIdentifiers(APMPBMeasurementBundle& bundle, const StorageDenial& denial, bool attGate,
                      const APMUploadIdentitySeam& identity) {
    const auto advertisingID = identity.resettableDeviceID();
    const bool useAdvertisingID =
        identity.hasLimitedAdTracking() && hasText(advertisingID) && !denial.adStorage && !attGate;
    if (useAdvertisingID) {
        setUnlessPresent(bundle, kResettableDeviceID, *advertisingID);
        clearBundleField(bundle, kVendorDeviceID);
        return;
    }
    const auto vendorID = identity.identifierForVendor();
    if (denial.analyticsStorage || !hasText(vendorID)) {
        clearBundleField(bundle, kResettableDeviceID);
        clearBundleField(bundle, kVendorDeviceID);
        return;
    }
    setUnlessPresent(bundle, kVendorDeviceID, *vendorID);
    clearBundleField(bundle, kResettableDeviceID);
}

bool isNamed(const nano_APMPBUserAttribute& attribute, const char* name) {
    return attribute.name && std::strcmp(attribute.name, name) == 0;
}

// The position of the first user property of that name.
std::optional<std::size_t> userAttributePosition(const APMPBMeasurementBundle& bundle, const char* name) {
    const auto* message = bundle.message();
    if (!message) return std::nullopt;
    for (pb_size_t i = 0; i < message->user_attributes_count; ++i) {
        if (isNamed(message->user_attributes[i], name)) return i;
    }
    return std::nullopt;
}

std::string joined(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    std::string text;
    for (const auto& name : names) text += name;
    return text;
}

void applyCorePlatformServices(APMPBMeasurementBundle& bundle, bool isAdUserDataDenied,
                               const APMDMAServerState& server) {
    if (isAdUserDataDenied || server.corePlatformServices.empty()) {
        NANOSetString(bundle, bundleFieldIndex(kCorePlatformServices), std::string("-"));
    } else if (!server.isDMARegion) {
        clearBundleField(bundle, kCorePlatformServices);
    } else if (NANOGetBool(bundle, bundleFieldIndex(kDMARegion))) {
        NANOSetString(bundle, bundleFieldIndex(kCorePlatformServices), joined(server.corePlatformServices));
    }
}

void applyNPAUserAttribute(APMPBMeasurementBundle& bundle, const APMPBUserAttribute& npa, bool refresh) {
    const int index = bundleFieldIndex(kUserAttributes);
    const auto position = userAttributePosition(bundle, kAPMNPAUserPropertyName);
    if (position && !refresh) return;
    auto attributes = NANOGetArray<APMPBUserAttribute>(bundle, index);
    if (position) {
        attributes[*position] = npa;
    } else {
        attributes.push_back(npa);
    }
    NANOSetArray(bundle, index, attributes);
}

void removeUserAttributesNamed(APMPBMeasurementBundle& bundle, const char* name) {
    if (!userAttributePosition(bundle, name)) return;
    const int index = bundleFieldIndex(kUserAttributes);
    auto attributes = NANOGetArray<APMPBUserAttribute>(bundle, index);
    std::erase_if(attributes, [&](const APMPBUserAttribute& attribute) {
        return attribute.message() && isNamed(*attribute.message(), name);
    });
    NANOSetArray(bundle, index, attributes);
}

// "17.4.1" -> "17"; a version without "." stays.
void cutOSVersion(APMPBMeasurementBundle& bundle) {
    const int index = bundleFieldIndex(kOSVersion);
    const auto version = NANOGetString(bundle, index);
    if (!version) return;
    const auto dot = version->find('.');
    if (dot != std::string::npos) NANOSetString(bundle, index, version->substr(0, dot));
}

void applyAppInstanceIDControl(APMPBMeasurementBundle& bundle, const APMUploadIdentitySeam& identity) {
    clearBundleField(bundle, kAppInstanceID);
    const auto signals = NANOGetString(bundle, bundleFieldIndex(kConsentSignals)).value_or("");
    if (signalsDenyAnalyticsStorage(signals)) {
        clearBundleField(bundle, kEphemeralAppInstanceID);
    } else {
        NANOSetString(bundle, bundleFieldIndex(kEphemeralAppInstanceID), identity.ephemeralAppInstanceID());
    }
}

std::int64_t npaValue(const APMPBMeasurementBundle& bundle) {
    const auto position = userAttributePosition(bundle, kAPMNPAUserPropertyName);
    if (!position) return 0;
    return bundle.message()->user_attributes[*position].int_value;
}

}  // namespace

bool APMConsentSignalDenies(char signal) { return signal == '0' || signal == 'D' || signal == 'd'; }

bool signalsDenyAnalyticsStorage(const std::string& signals) {
    return signals.size() >= 4 && APMConsentSignalDenies(signals[3]);
}

void applyDeviceIdentifiersToBundle(APMPBMeasurementBundle& bundle, const std::string& currentConsentSignals,
                                    bool gateIDFAOnATTMASEnabled, const APMUploadIdentitySeam& identity,
                                    bool refresh) {
    const StorageDenial denial = applyConsentSignals(bundle, currentConsentSignals, refresh);
    const bool attGate = applyTrackingStatus(bundle, gateIDFAOnATTMASEnabled, identity);
    applyIdentifiers(bundle, denial, attGate, identity);
    const auto appInstanceID = identity.appInstanceID();
    if (!denial.analyticsStorage && hasText(appInstanceID)) setUnlessPresent(bundle, kAppInstanceID, *appInstanceID);
    if (denial.adStorage) clearBundleField(bundle, kResettableDeviceID);
    if (denial.analyticsStorage) {
        for (int tag : {kVendorDeviceID, kAppInstanceID, kSessionStitchingToken, kAudienceResults}) {
            clearBundleField(bundle, tag);
        }
    }
    if (identity.hasLimitedAdTracking()) {
        NANOSetBool(bundle, bundleFieldIndex(kLimitedAdTracking), identity.limitedAdTracking());
    }
}

void applyDMAConsentToBundle(APMPBMeasurementBundle& bundle, const std::string& consentDiagnostics,
                             bool isAdUserDataDenied, const std::optional<APMPBUserAttribute>& npaUserAttribute,
                             const APMDMAServerState& server, bool refresh) {
    if (refresh || !NANOHasField(bundle, bundleFieldIndex(kConsentDiagnostics))) {
        NANOSetString(bundle, bundleFieldIndex(kConsentDiagnostics), consentDiagnostics);
    }
    if (refresh || !NANOHasField(bundle, bundleFieldIndex(kDMARegion))) {
        NANOSetBool(bundle, bundleFieldIndex(kDMARegion), server.isDMARegion);
    }
    if (refresh || !NANOHasField(bundle, bundleFieldIndex(kCorePlatformServices))) {
        applyCorePlatformServices(bundle, isAdUserDataDenied, server);
    }
    if (npaUserAttribute) applyNPAUserAttribute(bundle, *npaUserAttribute, refresh);
}

void applyDataControlsToBundle(APMPBMeasurementBundle& bundle, const std::vector<std::string>& dataControls,
                               const APMUploadIdentitySeam& identity) {
    for (const auto& control : dataControls) {
        if (control == "app_instance_id") applyAppInstanceIDControl(bundle, identity);
        if (control == "user_id") removeUserAttributesNamed(bundle, kAPMUserIDPropertyName);
        if (control == "os_version" || control == "device_info") cutOSVersion(bundle);
        if (control == "device_model" || control == "device_info") clearBundleField(bundle, kDeviceModel);
        if (control == "enhanced_user_id") clearBundleField(bundle, kSessionStitchingToken);
    }
    if (!dataControls.empty()) NANOSetArray(bundle, bundleFieldIndex(kDataControlsApplied), dataControls);
}

bool bundlesHaveSameConsent(const APMPBMeasurementBundle& bundle, const APMPBMeasurementBundle& other) {
    for (int tag : {kConsentSignals, kConsentDiagnostics, kCorePlatformServices}) {
        if (NANOGetString(bundle, bundleFieldIndex(tag)) != NANOGetString(other, bundleFieldIndex(tag))) {
            return false;
        }
    }
    if (NANOGetBool(bundle, bundleFieldIndex(kDMARegion)) != NANOGetBool(other, bundleFieldIndex(kDMARegion))) {
        return false;
    }
    return npaValue(bundle) == npaValue(other);
}

bool bundleHasFirstOpenEvent(const APMPBMeasurementBundle& bundle) {
    const auto* message = bundle.message();
    if (!message) return false;
    for (pb_size_t i = 0; i < message->events_count; ++i) {
        const char* name = message->events[i].name;
        if (name && std::strcmp(name, kAPMFirstOpenEventName) == 0) return true;
    }
    return false;
}

std::optional<APMPBUserAttribute> npaUserAttributeOfBundle(const APMPBMeasurementBundle& bundle) {
    const auto position = userAttributePosition(bundle, kAPMNPAUserPropertyName);
    if (!position) return std::nullopt;
    return APMPBUserAttribute::initWithMessageInfo(&bundle.message()->user_attributes[*position]);
}

}  // namespace measurement
