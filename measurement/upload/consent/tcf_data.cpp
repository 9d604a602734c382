// Reading the TCF values and the purposes they grant.
#include "measurement/upload/consent/tcf_data.h"

#include "measurement/foundation/string_util.h"
#include "platform/foundation/bundle.h"

namespace measurement {

namespace {

// Bit 754 of the vendor consents is this SDK's vendor.
constexpr std::int64_t kRozedaVendorBit = 754;
constexpr std::int64_t kStoragePurposeBit = 0;
constexpr std::int64_t kPersonalizationProfilePurposeBit = 2;
constexpr std::int64_t kPersonalizedAdsPurposeBit = 3;
constexpr std::int64_t kMeasurementPurposeBit = 6;
constexpr std::int64_t kFirstPolicyWithAdUserData = 4;

bool bitEnabled(const std::optional<std::string>& bits, std::int64_t index) {
    return bits && isBitEnabledAtIndex(*bits, index);
}

}  // namespace

bool APMTCFBoolean(const std::optional<platform::Value>& number) { return number && number->boolValue(); }

APMTCFData::APMTCFData() : APMTCFData(APMUserDefaults::sharedUserDefaults(), platform::Bundle::main().infoDictionary()) {}

APMTCFData::APMTCFData(APMUserDefaults userDefaults, const platform::Value& infoDictionary)
    : userDefaults_(std::move(userDefaults)) {
    readTCFDataEnabledStateFromPlist(infoDictionary);
}

void APMTCFData::readTCFDataEnabledStateFromPlist(const platform::Value& infoDictionary) {
    const platform::Value* flag = infoDictionary.find(kAPMTCFDataEnabledKey);
    if (!flag) {
        isTCFDataEnabled_ = true;
    } else if (flag->isBool() || flag->isNumber()) {
        isTCFDataEnabled_ = APMTCFBoolean(*flag);
    } else {
        isTCFDataEnabled_ = false;
    }
}

void APMTCFData::readFromUserDefaults() {
    advertiserConsentMode_ = userDefaults_.numberForKey(kAPMTCFAdvertiserConsentModeKey);
    vendorConsents_ = userDefaults_.stringForKey(kAPMTCFVendorConsentsKey);
    cmpSDKID_ = userDefaults_.numberForKey(kAPMTCFCmpSdkIDKey);
    gdprApplies_ = userDefaults_.numberForKey(kAPMTCFGdprAppliesKey);
    policyVersion_ = userDefaults_.numberForKey(kAPMTCFPolicyVersionKey);
    purposeConsents_ = userDefaults_.stringForKey(kAPMTCFPurposeConsentsKey);
}

bool APMTCFData::hasRozedaInVendorConsents() const { return bitEnabled(vendorConsents_, kRozedaVendorBit); }

bool APMTCFData::isAdStoragePurposeGranted() const { return bitEnabled(purposeConsents_, kStoragePurposeBit); }

bool APMTCFData::isAdPersonalizationPurposeGranted() const {
    return bitEnabled(purposeConsents_, kPersonalizationProfilePurposeBit) &&
           bitEnabled(purposeConsents_, kPersonalizedAdsPurposeBit);
}

bool APMTCFData::canAccessAdUserDataPurpose() const {
    return policyVersion_ && policyVersion_->intValue() >= kFirstPolicyWithAdUserData;
}

bool APMTCFData::isAdUserDataPurposeGranted() const {
    return canAccessAdUserDataPurpose() && bitEnabled(purposeConsents_, kStoragePurposeBit) &&
           bitEnabled(purposeConsents_, kMeasurementPurposeBit);
}

}  // namespace measurement
