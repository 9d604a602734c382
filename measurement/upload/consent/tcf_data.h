#pragma once

// One reading of the TCF values that a consent-management platform writes
// into the application's preferences.

#include <cstdint>
#include <optional>
#include <string>

#include "measurement/store/preferences_suite.h"
#include "platform/foundation/value.h"

namespace measurement {

inline constexpr const char* kAPMTCFDataEnabledKey = "ROZEDA_ANALYTICS_TCF_DATA_ENABLED";
inline constexpr const char* kAPMTCFAdvertiserConsentModeKey = "IABTCF_EnableAdvertiserConsentMode";
inline constexpr const char* kAPMTCFVendorConsentsKey = "IABTCF_VendorConsents";
inline constexpr const char* kAPMTCFCmpSdkIDKey = "IABTCF_CmpSdkID";
inline constexpr const char* kAPMTCFGdprAppliesKey = "IABTCF_gdprApplies";
inline constexpr const char* kAPMTCFPolicyVersionKey = "IABTCF_PolicyVersion";
inline constexpr const char* kAPMTCFPurposeConsentsKey = "IABTCF_PurposeConsents";

// The TCF values and what they grant. The Info.plist switch is read once,
// at creation; the six preference values are empty until
// readFromUserDefaults. A number key holding something else, or a text key
// holding something else, reads as none.
class APMTCFData {
public:
    // The application's own preferences and the main bundle's Info.plist.
    APMTCFData();
    APMTCFData(APMUserDefaults userDefaults, const platform::Value& infoDictionary);

    void readTCFDataEnabledStateFromPlist(const platform::Value& infoDictionary);
    void readFromUserDefaults();

    // Our vendor (bit 754 of the vendor consents) is consented.
    bool hasRozedaInVendorConsents() const;
    // Purpose 1.
    bool isAdStoragePurposeGranted() const;
    // Purposes 3 and 4.
    bool isAdPersonalizationPurposeGranted() const;
    // Policy version 4 or later.
    bool canAccessAdUserDataPurpose() const;
    // Policy version 4 or later, purposes 1 and 7.
    bool isAdUserDataPurposeGranted() const;

    const APMUserDefaults& userDefaults() const { return userDefaults_; }
    bool isTCFDataEnabled() const { return isTCFDataEnabled_; }
    const std::optional<platform::Value>& isAdvertiserConsentModeEnabled() const { return advertiserConsentMode_; }
    const std::optional<std::string>& vendorConsents() const { return vendorConsents_; }
    const std::optional<platform::Value>& cmpSDKID() const { return cmpSDKID_; }
    const std::optional<platform::Value>& gdprApplies() const { return gdprApplies_; }
    const std::optional<platform::Value>& policyVersion() const { return policyVersion_; }
    const std::optional<std::string>& purposeConsents() const { return purposeConsents_; }

private:
    APMUserDefaults userDefaults_;
    bool isTCFDataEnabled_ = true;
    std::optional<platform::Value> advertiserConsentMode_;
    std::optional<std::string> vendorConsents_;
    std::optional<platform::Value> cmpSDKID_;
    std::optional<platform::Value> gdprApplies_;
    std::optional<platform::Value> policyVersion_;
    std::optional<std::string> purposeConsents_;
};

// The boolean value of a stored number; a missing number is false.
bool APMTCFBoolean(const std::optional<platform::Value>& number);

}  // namespace measurement
