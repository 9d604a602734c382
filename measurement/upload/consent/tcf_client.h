#pragma once

// Notices changes of the TCF values, records them as the "_tcf" event,
// keeps a copy in the engine's TCF preference suite and turns the TCF
// purposes into consent.

#include <atomic>
#include <functional>
#include <string>

#include "measurement/store/preferences_suite.h"
#include "measurement/upload/consent/tcf_data.h"
#include "platform/foundation/value.h"

namespace measurement {

// The engine's TCF preference suite and the key of the stored copy that is
// compared with the current values.
inline constexpr const char* kAPMTCFSuiteName = "com.rozeda.measurement.tcf";
inline constexpr const char* kAPMTCFStringRepresentationKey = "tcf_StringRepresentation";
// The consent key of TCF writes (the strongest consent source).
inline constexpr const char* kAPMConsentSettingsTCFKey = "consent_settings_tcf";

// What the client needs of the engine, handed over at construction.
struct APMTCFClientCallbacks {
    // Logs an internal event (origin, name, parameters).
    std::function<void(const std::string&, const std::string&, const platform::Value::Dictionary&)> logInternalEvent;
    // The public consent write (consent types to statuses, key).
    std::function<void(const platform::Value::Dictionary&, const std::string&)> setConsent;
    // The TCF values no longer apply: consent that they wrote must stop
    // holding the consent state.
    std::function<void()> withdrawConsent;
};

// Runs on the measurement worker queue; holds no lock of its own.
class APMTCFClient {
public:
    // The application's preferences, the main bundle and the TCF suite.
    explicit APMTCFClient(APMTCFClientCallbacks callbacks);
    APMTCFClient(APMTCFClientCallbacks callbacks, APMTCFData data, APMUserDefaults suite);

    void readTCFData();
    // The TCF values apply to this SDK: reading enabled, advertiser consent
    // mode on, our vendor consented and the GDPR applying.
    bool shouldApplyTCFData() const;
    // Reads the values and, when they changed since the stored copy, logs
    // "_tcf", stores them, and writes consent from them (or withdraws the
    // consent they wrote once they no longer apply).
    void setConsentFromTCFData();

    void logTCFChangedEvent();
    void storeCurrentData();
    std::string stringRepresentationFromTCFData() const;
    bool persistedValuesEqualCurrentData() const;
    // The "_tcfd" value: format version, CMP identifier, policy version and
    // flags in five characters of the alphabet 0-9a-zA-Z-_.
    std::string tcfBundleParameterValue() const;
    static std::string consentStatusFromEnabled(bool enabled);
    void clearPersistedValues();

    bool isDMARegion() const { return isDMARegion_.load(); }
    void setIsDMARegion(bool region) { isDMARegion_.store(region); }
    const APMTCFData& tcfData() const { return tcfData_; }
    const APMUserDefaults& userDefaults() const { return userDefaults_; }

private:
    APMTCFClientCallbacks callbacks_;
    APMTCFData tcfData_;
    APMUserDefaults userDefaults_;
    std::atomic<bool> isDMARegion_{true};
};

}  // namespace measurement
