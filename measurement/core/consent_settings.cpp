// The facade's consent operations, their persisted form, and the engine's
// consent at start-up, from the TCF data and from "_npa".
#include <algorithm>

#include "measurement/core/codes.h"
#include "measurement/core/facade.h"
#include "measurement/core/measurement.h"
#include "measurement/foundation/environment.h"
#include "measurement/foundation/monitor.h"
#include "platform/foundation/user_defaults.h"

namespace measurement {

namespace {

using Settings = APMConsentSettingsUtil::Settings;

platform::UserDefaults suite() { return platform::UserDefaults(kAPMAnalyticsSuiteName); }

// The consent state of the process's engine.
std::shared_ptr<APMConsentSettingsUtil> engineConsentState() {
    return APMMeasurement::sharedInstance()->consentState();
}

int sourceForKey(const std::string& key) {
    if (key == kAPMConsentSettingsTCFKey) return kAPMConsentSourceTCF;
    if (key == kAPMConsentSettings3PKey) return kAPMConsentSource3P;
    return kAPMConsentSourceAPI;
}

// Only the four consent types, each "granted" or "denied".
Settings filteredConsent(const Settings& consent) {
    Settings kept;
    for (const auto& [type, value] : APMConsentSettingsUtil::consentSettingsFromDictionary(consent)) {
        if (value.isString() && (value.asString() == kAPMConsentGranted || value.asString() == kAPMConsentDenied)) {
            kept.emplace(type, value);
        } else {
            APMMonitor::shared().logWithLevel(
                kAPMMonitorLevelWarning, kAPMInvalidConsentValueCode,
                "Valid consent values are 'granted' and 'denied'. Ignoring invalid consent setting", value);
        }
    }
    return kept;
}

void applyStored(APMConsentSettingsUtil& state, const Settings& settings, int source) {
    state.setConsentSettings(settings);
    state.setConsentSource(source);
}

std::optional<int> storedSource(const platform::UserDefaults& defaults) {
    const auto stored = defaults.objectForKey(kAPMConsentSourceKey);
    if (!stored) return std::nullopt;
    return static_cast<int>(std::clamp<std::int64_t>(stored->intValue(kAPMConsentSourceUnset), 0,
                                                     kAPMConsentSourceUnset));
}

void loadPersistedConsentSettings(APMConsentSettingsUtil& state) {
    auto defaults = suite();
    const int source = storedSource(defaults).value_or(kAPMConsentSourceUnset);
    if (source == kAPMConsentSourceUnset) return;
    if (auto tcf = defaults.dictionaryForKey(kAPMConsentSettingsTCFKey)) {
        applyStored(state, *tcf, std::min(source, kAPMConsentSourceTCF));
    } else if (auto thirdParty = defaults.dictionaryForKey(kAPMConsentSettings3PKey)) {
        applyStored(state, *thirdParty, std::min(source, kAPMConsentSourceInfoPlist));
    } else if (auto settings = defaults.dictionaryForKey(kAPMConsentSettingsKey)) {
        applyStored(state, *settings, std::min(source, kAPMConsentSourceOnStart));
    } else {
        state.setConsentSource(source);
    }
}

void clearStoredConsent(APMConsentSettingsUtil& state) {
    auto defaults = suite();
    for (const char* key : {kAPMConsentSourceKey, kAPMConsentSettings3PKey, kAPMConsentSettingsKey,
                            kAPMConsentSettingsOnStartKey, kAPMDeferredConsentResetKey, kAPMConsentSettingsTCFKey}) {
        defaults.removeObjectForKey(key);
    }
    state.clearAllSettings();
}

// The "_npa" value as 1 (not personalised) or 0; none for anything else.
std::optional<std::int64_t> npaFlag(const APMValue& value) {
    std::optional<std::int64_t> flag;
    if (value.isInt64()) flag = value.int64Value();
    if (value.isString() && (value.stringValue() == "0" || value.stringValue() == "1")) {
        flag = value.stringValue() == "1" ? 1 : 0;
    }
    if (flag && *flag != 0 && *flag != 1) return std::nullopt;
    return flag;
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
    const auto state = engineConsentState();
    if (state->consentSource() == kAPMConsentSourceUnset) measurement::loadPersistedConsentSettings(*state);
    if (!state->isConsentSourceHigherPriority(source)) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelWarning, kAPMLowerPriorityConsentCode,
                                          "Ignoring lower priority consent settings");
        return;
    }
    const bool wasAdUserDataDenied = state->isAdUserDataDenied();
    state->updateSettings(kept, source);
    std::vector<std::string> changedTypes;
    for (const auto& entry : kept) changedTypes.push_back(entry.first);
    persistConsentSettings(state->consentSettings().value_or(Settings{}), source, changedTypes);
    if (key == kAPMConsentSettings3PKey) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelVerbose, kAPMConsentDescriptionCode, state->description());
    }
    const auto config = APMMeasurement::remoteConfig();
    if (config->dcuEventFeatureEnabled() && !config->consentDefaults().empty() &&
        state->didAdUserDataConsentChange(wasAdUserDataDenied)) {
        logInternalEventWithOrigin("auto", "_dcu", {{"_r", 1}});
    }
    if (config->DMAConsentEnabled() && kept.count(kAPMConsentTypeAdPersonalization)) {
        const bool granted = state->adPersonalization().value_or(false);
        setInternalUserProperty(platform::Value(granted ? "YES" : "NO"), "allow_personalized_ads", "auto");
    }
}

void APMAnalytics::loadPersistedConsentSettings() { measurement::loadPersistedConsentSettings(*engineConsentState()); }

void APMAnalytics::persistConsentSettings(const Parameters& settings, int source,
                                          const std::vector<std::string>& changedTypes) {
    auto defaults = suite();
    const char* key = source == kAPMConsentSourceTCF            ? kAPMConsentSettingsTCFKey
                      : source <= kAPMConsentSourceInfoPlist ? kAPMConsentSettings3PKey
                                                             : kAPMConsentSettingsKey;
    if (changedTypes.empty()) {
        defaults.setObject(platform::Value(settings), key);
    } else {
        defaults.setDictionaryEntries(settings, changedTypes, key);
    }
    defaults.setInteger(source, kAPMConsentSourceKey);
}

void APMAnalytics::clearConsent() { clearStoredConsent(*engineConsentState()); }

void APMAnalytics::clearTCFConsent() {
    auto defaults = suite();
    defaults.removeObjectForKey(kAPMConsentSettingsTCFKey);
    if (storedSource(defaults) == kAPMConsentSourceTCF) defaults.removeObjectForKey(kAPMConsentSourceKey);
    const auto state = engineConsentState();
    if (state->consentSource() == kAPMConsentSourceTCF) state->setConsentSettings(std::nullopt);
}

// ---- The engine's consent ----------------------------------------------------

void APMMeasurement::setProspectiveConsentSettings() {
    auto defaults = suite();
    auto& state = *consentState_;
    auto tryApply = [&](const std::optional<Settings>& settings, int source) {
        if (!settings || settings->empty() || !state.isConsentSourceHigherPriority(source)) return false;
        applyStored(state, *settings, source);
        APMAnalytics::persistConsentSettings(*settings, source);
        return true;
    };
    // Third-party settings are TCF's peers: stored ones win unless the TCF
    // data wrote last, in this run or, as the stored source says, the last.
    const bool tcfWroteLast =
        state.consentSource() == kAPMConsentSourceTCF || storedSource(defaults) == kAPMConsentSourceTCF;
    if ((!defaults.dictionaryForKey(kAPMConsentSettings3PKey) || tcfWroteLast) &&
        tryApply(defaults.dictionaryForKey(kAPMConsentSettingsTCFKey), kAPMConsentSourceTCF)) {
        return;
    }
    if (tryApply(APMConsentSettingsUtil::consentSettingsFromPlist(), kAPMConsentSourceInfoPlist)) return;
    const int source = state.consentSource();
    if (APMAEU::publicInterfaceClassExists() && (source == kAPMConsentSourceAPI || source == kAPMConsentSourceOnStart)) {
        clearStoredConsent(state);
        return;
    }
    if (tryApply(defaults.dictionaryForKey(kAPMConsentSettingsOnStartKey), kAPMConsentSourceOnStart)) return;
    tryApply(defaults.dictionaryForKey(kAPMConsentSettings3PKey), kAPMConsentSource3P);
}

void APMMeasurement::restoreConsentOnWorkerQueue() {
    setProspectiveConsentSettings();
    // What the application set in an earlier run holds from the start, not
    // only from its next consent write: identifiers made before then would
    // ignore a stored denial.
    if (consentState_->consentSource() == kAPMConsentSourceUnset) measurement::loadPersistedConsentSettings(*consentState_);
}

void APMMeasurement::makeTCFClient() {
    if (tcfClient_) return;
    APMTCFClientCallbacks callbacks;
    callbacks.logInternalEvent = [](const std::string& origin, const std::string& name, const Settings& parameters) {
        APMAnalytics::logInternalEventWithOrigin(origin, name, parameters);
    };
    callbacks.setConsent = [](const Settings& consent, const std::string& key) { APMAnalytics::setConsent(consent, key); };
    callbacks.withdrawConsent = [] { APMAnalytics::clearTCFConsent(); };
    tcfClient_ = std::make_shared<APMTCFClient>(std::move(callbacks));
}

void APMMeasurement::updateAdPersonalizationConsentFromNPAValue(const APMValue& value) {
    const auto flag = npaFlag(value);
    if (!flag) return;
    consentState_->updateSettings({{kAPMConsentTypeAdPersonalization, *flag ? kAPMConsentDenied : kAPMConsentGranted}});
    std::optional<int> code;
    const auto defaults = consentState_->defaultSettings();
    if (database_ && database_->containsUserAttributeWithName("allow_personalized_ads", nullptr)) {
        code = kAPMConsentDiagnosticInterface;
    } else if (APMConsentSettingsUtil::consentSettingsFromPlist().count(kAPMConsentTypeAdPersonalization)) {
        code = kAPMConsentDiagnosticInfoPlist;
    } else if (defaults && defaults->count(kAPMConsentTypeAdPersonalization)) {
        code = kAPMConsentDiagnosticServerDefault;
    }
    if (code) consentState_->setDiagnosticSource(*code, kAPMConsentTypeAdPersonalization);
}

}  // namespace measurement
