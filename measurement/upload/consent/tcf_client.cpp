// The TCF client: change detection, the "_tcf" event, the stored copy and
// the consent write.
#include "measurement/upload/consent/tcf_client.h"

#include "measurement/upload/consent/consent_settings_util.h"

namespace measurement {

namespace {

constexpr const char* kAlphabet = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";
constexpr std::int64_t kAlphabetSize = 64;
constexpr std::int64_t kCmpIdentifierLimit = kAlphabetSize * kAlphabetSize;
constexpr int kFormatVersion = 1;

enum TCFFlag : int { kFlagDMARegion = 1, kFlagGdprApplies = 2, kFlagTCFDataEnabled = 4, kFlagAdvertiserMode = 8 };

std::int64_t integerOf(const std::optional<platform::Value>& number) { return number ? number->intValue() : 0; }

std::string entry(const char* name, std::int64_t value) { return std::string(name) + "=" + std::to_string(value); }

void storeValue(APMUserDefaults& suite, const char* key, const std::optional<platform::Value>& value) {
    if (value) {
        suite.setObject(*value, key);
    } else {
        suite.removeObjectForKey(key);
    }
}

void storeText(APMUserDefaults& suite, const char* key, const std::optional<std::string>& text) {
    storeValue(suite, key, text ? std::optional<platform::Value>(*text) : std::nullopt);
}

}  // namespace

APMTCFClient::APMTCFClient(APMTCFClientCallbacks callbacks)
    : APMTCFClient(std::move(callbacks), APMTCFData(), APMUserDefaults(kAPMTCFSuiteName)) {}

APMTCFClient::APMTCFClient(APMTCFClientCallbacks callbacks, APMTCFData data, APMUserDefaults suite)
    : callbacks_(std::move(callbacks)), tcfData_(std::move(data)), userDefaults_(std::move(suite)) {}

void APMTCFClient::readTCFData() { tcfData_.readFromUserDefaults(); }

bool APMTCFClient::shouldApplyTCFData() const {
    return tcfData_.isTCFDataEnabled() && APMTCFBoolean(tcfData_.isAdvertiserConsentModeEnabled()) &&
           tcfData_.hasRozedaInVendorConsents() && APMTCFBoolean(tcfData_.gdprApplies());
}

void APMTCFClient::setConsentFromTCFData() {
    readTCFData();
    if (persistedValuesEqualCurrentData()) return;
    logTCFChangedEvent();
    storeCurrentData();
    if (shouldApplyTCFData()) {
        if (!callbacks_.setConsent) return;
        callbacks_.setConsent(
            {{kAPMConsentTypeAdStorage, consentStatusFromEnabled(tcfData_.isAdStoragePurposeGranted())},
             {kAPMConsentTypeAdPersonalization, consentStatusFromEnabled(tcfData_.isAdPersonalizationPurposeGranted())},
             {kAPMConsentTypeAdUserData, consentStatusFromEnabled(tcfData_.isAdUserDataPurposeGranted())}},
            kAPMConsentSettingsTCFKey);
    } else if (callbacks_.withdrawConsent) {
        // Consent the TCF values wrote earlier would otherwise outrank every
        // other source for good.
        callbacks_.withdrawConsent();
    }
}

void APMTCFClient::logTCFChangedEvent() {
    if (!callbacks_.logInternalEvent) return;
    callbacks_.logInternalEvent("auto", "_tcf", {{"_tcfd", tcfBundleParameterValue()}});
}

void APMTCFClient::storeCurrentData() {
    userDefaults_.setBool(tcfData_.isTCFDataEnabled(), kAPMTCFDataEnabledKey);
    storeValue(userDefaults_, kAPMTCFAdvertiserConsentModeKey, tcfData_.isAdvertiserConsentModeEnabled());
    storeValue(userDefaults_, kAPMTCFCmpSdkIDKey, tcfData_.cmpSDKID());
    storeText(userDefaults_, kAPMTCFVendorConsentsKey, tcfData_.vendorConsents());
    storeValue(userDefaults_, kAPMTCFGdprAppliesKey, tcfData_.gdprApplies());
    storeValue(userDefaults_, kAPMTCFPolicyVersionKey, tcfData_.policyVersion());
    storeText(userDefaults_, kAPMTCFPurposeConsentsKey, tcfData_.purposeConsents());
    userDefaults_.setObject(platform::Value(stringRepresentationFromTCFData()), kAPMTCFStringRepresentationKey);
}

std::string APMTCFClient::stringRepresentationFromTCFData() const {
    std::string text = entry("isTCFDataEnabled", tcfData_.isTCFDataEnabled() ? 1 : 0);
    if (const auto& mode = tcfData_.isAdvertiserConsentModeEnabled()) {
        text += "," + entry("isAdvertiserConsentModeEnabled", APMTCFBoolean(mode) ? 1 : 0);
    }
    if (const auto& cmp = tcfData_.cmpSDKID()) text += "," + entry("cmpSDKID", integerOf(cmp));
    if (tcfData_.vendorConsents()) {
        text += "," + entry("hasRozedaInVendorConsents", tcfData_.hasRozedaInVendorConsents() ? 1 : 0);
    }
    if (const auto& gdpr = tcfData_.gdprApplies()) text += "," + entry("gdprApplies", APMTCFBoolean(gdpr) ? 1 : 0);
    if (const auto& policy = tcfData_.policyVersion()) text += "," + entry("policyVersion", integerOf(policy));
    if (const auto& purposes = tcfData_.purposeConsents()) text += ",purposeConsents=" + *purposes;
    return text;
}

bool APMTCFClient::persistedValuesEqualCurrentData() const {
    const std::string current = stringRepresentationFromTCFData();
    const auto stored = userDefaults_.stringForKey(kAPMTCFStringRepresentationKey);
    // Without a platform writing TCF values there is nothing to record.
    if (!stored) return current == entry("isTCFDataEnabled", 1);
    return *stored == current;
}

std::string APMTCFClient::tcfBundleParameterValue() const {
    std::string value = std::to_string(kFormatVersion);
    const std::int64_t cmp = integerOf(tcfData_.cmpSDKID());
    if (cmp < 0 || cmp >= kCmpIdentifierLimit) {
        value += "00";
    } else {
        value += kAlphabet[(cmp >> 6) & 63];
        value += kAlphabet[cmp & 63];
    }
    const std::int64_t policy = integerOf(tcfData_.policyVersion());
    value += policy >= 0 && policy < kAlphabetSize ? kAlphabet[policy] : '0';
    int flags = 0;
    if (isDMARegion()) flags |= kFlagDMARegion;
    if (APMTCFBoolean(tcfData_.gdprApplies())) flags |= kFlagGdprApplies;
    if (tcfData_.isTCFDataEnabled()) flags |= kFlagTCFDataEnabled;
    if (APMTCFBoolean(tcfData_.isAdvertiserConsentModeEnabled())) flags |= kFlagAdvertiserMode;
    value += kAlphabet[flags];
    return value;
}

std::string APMTCFClient::consentStatusFromEnabled(bool enabled) {
    return enabled ? kAPMConsentGranted : kAPMConsentDenied;
}

void APMTCFClient::clearPersistedValues() { userDefaults_.clearAllData(); }

}  // namespace measurement
