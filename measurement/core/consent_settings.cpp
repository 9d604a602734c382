// The facade's consent operations and their persisted form.
#include <algorithm>
#include <array>

#include "measurement/core/facade.h"
#include "measurement/core/codes.h"
#include "measurement/core/measurement.h"
#include "measurement/foundation/environment.h"
#include "measurement/foundation/monitor.h"
#include "platform/foundation/user_defaults.h"

namespace measurement {

namespace {

constexpr std::array<const char*, 4> kConsentTypes = {"ad_storage", "analytics_storage", "ad_user_data",
                                                      "ad_personalization"};

platform::UserDefaults suite() { return platform::UserDefaults(kAPMAnalyticsSuiteName); }

int sourceForKey(const std::string& key) {
    if (key == kAPMConsentSettingsTCFKey) return kAPMConsentSourceTCF;
    if (key == kAPMConsentSettings3PKey) return kAPMConsentSource3P;
    return kAPMConsentSourceAPI;
}

// Only the four consent types, each "granted" or "denied".
APMAnalytics::Parameters filteredConsent(const APMAnalytics::Parameters& consent) {
    APMAnalytics::Parameters kept;
    for (const char* type : kConsentTypes) {
        auto found = consent.find(type);
        if (found == consent.end()) continue;
        const auto& value = found->second;
        if (value.isString() && (value.asString() == "granted" || value.asString() == "denied")) {
            kept.emplace(type, value);
        } else {
            APMMonitor::shared().logWithLevel(
                kAPMMonitorLevelWarning, kAPMInvalidConsentValueCode,
                "Valid consent values are 'granted' and 'denied'. Ignoring invalid consent setting", value);
        }
    }
    return kept;
}

void applyStored(const platform::Value::Dictionary& settings, int source) {
    auto consent = APMSeams::consentState();
    consent->setConsentSettings(settings);
    consent->setConsentSource(source);
}

}  // namespace

void APMAnalytics::setConsent(const Parameters& consent, const std::string& key) {
    const auto kept = filteredConsent(consent);
    if (kept.empty()) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelWarning, kAPMEmptyConsentSettingsCode,
                                          "Discarding empty consent settings");
        return;
    }
    const int source = sourceForKey(key);
    auto state = APMSeams::consentState();
    if (state->consentSource() == kAPMConsentSourceUnset) loadPersistedConsentSettings();
    if (!state->isConsentSourceHigherPriority(source)) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelWarning, kAPMLowerPriorityConsentCode,
                                          "Ignoring lower priority consent settings");
        return;
    }
    const bool wasAdUserDataDenied = state->isAdUserDataDenied();
    state->updateSettings(kept, source);
    persistConsentSettings(state->consentSettings(), source);
    if (key == kAPMConsentSettings3PKey) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelVerbose, kAPMConsentDescriptionCode, state->description());
    }
    const auto config = APMMeasurement::remoteConfig();
    if (config->dcuEventFeatureEnabled() && !config->consentDefaults().empty() &&
        state->didAdUserDataConsentChange(wasAdUserDataDenied)) {
        logInternalEventWithOrigin("auto", "_dcu", {{"_r", 1}});
    }
    auto personalization = kept.find("ad_personalization");
    if (config->DMAConsentEnabled() && personalization != kept.end()) {
        const bool granted = state->adPersonalization().value_or(personalization->second.asString() == "granted");
        setInternalUserProperty(platform::Value(granted ? "YES" : "NO"), "allow_personalized_ads", "auto");
    }
}

void APMAnalytics::loadPersistedConsentSettings() {
    auto defaults = suite();
    const auto storedSource = defaults.objectForKey(kAPMConsentSourceKey);
    const int source = storedSource ? static_cast<int>(std::clamp<std::int64_t>(storedSource->intValue(100), 0, 100))
                                    : kAPMConsentSourceUnset;
    if (source == kAPMConsentSourceUnset) return;
    if (auto tcf = defaults.dictionaryForKey(kAPMConsentSettingsTCFKey)) {
        applyStored(*tcf, std::min(source, kAPMConsentSourceTCF));
    } else if (auto thirdParty = defaults.dictionaryForKey(kAPMConsentSettings3PKey)) {
        applyStored(*thirdParty, std::min(source, 20));
    } else if (auto settings = defaults.dictionaryForKey(kAPMConsentSettingsKey)) {
        applyStored(*settings, std::min(source, kAPMConsentSourceOnStart));
    } else {
        APMSeams::consentState()->setConsentSource(source);
    }
}

void APMAnalytics::persistConsentSettings(const Parameters& settings, int source) {
    auto defaults = suite();
    const char* key = source == kAPMConsentSourceTCF ? kAPMConsentSettingsTCFKey
                      : source <= 20                 ? kAPMConsentSettings3PKey
                                                     : kAPMConsentSettingsKey;
    defaults.setObject(platform::Value(settings), key);
    defaults.setInteger(source, kAPMConsentSourceKey);
}

void APMAnalytics::clearConsent() {
    auto defaults = suite();
    for (const char* key : {kAPMConsentSourceKey, kAPMConsentSettings3PKey, kAPMConsentSettingsKey,
                            kAPMConsentSettingsOnStartKey, kAPMDeferredConsentResetKey, kAPMConsentSettingsTCFKey}) {
        defaults.removeObjectForKey(key);
    }
    APMSeams::consentState()->clearAllSettings();
}

void APMMeasurement::setProspectiveConsentSettings() {
    auto defaults = suite();
    auto state = APMSeams::consentState();
    auto tryApply = [&](const std::optional<platform::Value::Dictionary>& settings, int source) {
        if (!settings || settings->empty() || !state->isConsentSourceHigherPriority(source)) return false;
        applyStored(*settings, source);
        APMAnalytics::persistConsentSettings(*settings, source);
        return true;
    };
    if (tryApply(defaults.dictionaryForKey(kAPMConsentSettingsTCFKey), kAPMConsentSourceTCF)) return;

    platform::Value::Dictionary infoDefaults;
    const std::pair<const char*, const char*> plistKeys[] = {
        {"ROZEDA_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", "ad_storage"},
        {"ROZEDA_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE", "analytics_storage"},
        {"ROZEDA_ANALYTICS_DEFAULT_ALLOW_AD_USER_DATA", "ad_user_data"},
        {"ROZEDA_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS", "ad_personalization"},
    };
    for (const auto& [plistKey, type] : plistKeys) {
        const auto value = APMInfoPlistValue(plistKey);
        if (value.isBool()) infoDefaults.emplace(type, value.boolValue() ? "granted" : "denied");
    }
    if (!infoDefaults.empty() && tryApply(infoDefaults, kAPMConsentSourceInfoPlist)) return;

    const int source = state->consentSource();
    if (APMAEU::publicInterfaceClassExists() && (source == kAPMConsentSourceAPI || source == kAPMConsentSourceOnStart)) {
        // Settings made through the interface last only for the run that made them.
        state->clearAllSettings();
        return;
    }
    if (tryApply(defaults.dictionaryForKey(kAPMConsentSettingsOnStartKey), kAPMConsentSourceOnStart)) return;
    tryApply(defaults.dictionaryForKey(kAPMConsentSettings3PKey), kAPMConsentSource3P);
}

}  // namespace measurement
