// Tables of reserved, internal and public event and property names.
#include "measurement/foundation/names.h"


#include "measurement/foundation/environment.h"
#include "measurement/foundation/monitor.h"

namespace measurement {

namespace {

bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }

bool hasWellFormedTail(const std::string& name) {
    for (std::size_t i = 1; i < name.size(); ++i) {
        char c = name[i];
        if (!isAsciiLetter(c) && !isAsciiDigit(c) && c != '_') return false;
    }
    return true;
}

bool hasReservedPrefix(const std::string& name) {
    for (const auto& prefix : APMReservedNamePrefixes()) {
        if (name.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

std::set<std::string> keysExcept(const APMNameMap& table, const std::set<std::string>& allowed) {
    std::set<std::string> keys;
    for (const auto& [key, value] : table) {
        if (!allowed.count(key)) keys.insert(key);
    }
    return keys;
}

bool showsInternalNames() {
    return APMMonitor::shared().isDebugModeEnabled() && APMAEU::publicInterfaceClassExists();
}

std::string displayForm(const APMNameMap& table, const std::string& name) {
    if (!showsInternalNames()) return name;
    if (auto internal = APMInternalName(table, name)) return name + " (" + *internal + ")";
    if (auto publicName = APMPublicName(table, name)) return *publicName + " (" + name + ")";
    return name;
}

}  // namespace

const APMNameMap& APMPublicToInternalEventNames() {
    static const APMNameMap table = {
        {"ad_click", "_ac"},
        {"ad_exposure", "_xa"},
        {"ad_impression", "_ai"},
        {"ad_query", "_aq"},
        {"ad_reward", "_ar"},
        {"adunit_exposure", "_xu"},
        {"app_background", "_ab"},
        {"app_clear_data", "_cd"},
        {"app_exception", "_ae"},
        {"app_remove", "_ui"},
        {"app_store_subscription_convert", "_assc"},
        {"app_store_subscription_renew", "_assr"},
        {"app_update", "_au"},
        {"campaign_details", "_cmp"},
        {"error", "_err"},
        {"first_open", "_f"},
        {"in_app_purchase", "_iap"},
        {"os_update", "_ou"},
        {"screen_view", "_vs"},
        {"session_start", "_s"},
        {"user_engagement", "_e"},
    };
    return table;
}

const APMNameMap& publicToInternalParameterNames() {
    static const APMNameMap table = {
        {"engagement_time_msec", "_et"},
        {"event_origin", "_o"},
        {"exempt_from_sampling", "_efs"},
        {"exposure_time", "_xt"},
        {"previous_screen_class", "_pc"},
        {"previous_screen_id", "_pi"},
        {"previous_screen_name", "_pn"},
        {"sampling_rate", "_sr"},
        {"screen_class", "_sc"},
        {"screen_id", "_si"},
        {"screen_name", "_sn"},
    };
    return table;
}

const APMNameMap& APMUserPropertyNameMap() {
    static const APMNameMap table = {
        {"first_open_time", "_fot"},
        {"lifetime_user_engagement", "_lte"},
        {"non_personalized_ads", "_npa"},
        {"session_id", "_sid"},
        {"session_number", "_sno"},
        {"session_user_engagement", "_se"},
        {"user_id", "_id"},
    };
    return table;
}

const APMNameMap& APMAllowedReservedEventNames() {
    static const APMNameMap table = {{"ad_impression", "_ai"}};
    return table;
}

const std::set<std::string>& APMReservedEventNames() {
    // "screen_view" is public: the facade hands it to the screen-view
    // reporter.
    static const std::set<std::string> names = keysExcept(APMPublicToInternalEventNames(), {"screen_view"});
    return names;
}

const std::set<std::string>& APMReservedUserPropertyNames() {
    static const std::set<std::string> names = keysExcept(APMUserPropertyNameMap(), {});
    return names;
}

const std::set<std::string>& APMReservedNamePrefixes() {
    static const std::set<std::string> prefixes = {"rerudodo_", "rozeda_", "du_"};
    return prefixes;
}

std::optional<std::string> APMInternalName(const APMNameMap& table, const std::string& publicName) {
    auto found = table.find(publicName);
    if (found == table.end()) return std::nullopt;
    return found->second;
}

std::optional<std::string> APMPublicName(const APMNameMap& table, const std::string& internalName) {
    for (const auto& [publicName, internal] : table) {
        if (internal == internalName) return publicName;
    }
    return std::nullopt;
}

int APMPublicNameFailureCode(const std::string& name, int maxLength, const std::set<std::string>& reserved) {
    if (name.empty() || name.size() > static_cast<std::size_t>(maxLength) || !isAsciiLetter(name[0]) ||
        !hasWellFormedTail(name)) {
        return kAPMInvalidEventName;
    }
    if (hasReservedPrefix(name) || reserved.count(name)) return kAPMReservedEventName;
    return kAPMValidationOK;
}

int APMValidatePublicEventName(const std::string& name) {
    if (APMAllowedReservedEventNames().count(name)) {
        return APMPublicNameFailureCode(name, kAPMMaxPublicEventNameLength, {});
    }
    return APMPublicNameFailureCode(name, kAPMMaxPublicEventNameLength, APMReservedEventNames());
}

int APMValidatePublicParameterName(const std::string& name) {
    switch (APMPublicNameFailureCode(name, kAPMMaxPublicParameterNameLength, {})) {
        case kAPMValidationOK: return kAPMValidationOK;
        case kAPMReservedEventName: return kAPMReservedParameterName;
        default: return kAPMInvalidParameterName;
    }
}

int APMValidatePublicUserPropertyName(const std::string& name) {
    switch (APMPublicNameFailureCode(name, kAPMMaxPublicUserPropertyNameLength, APMReservedUserPropertyNames())) {
        case kAPMValidationOK: return kAPMValidationOK;
        case kAPMReservedEventName: return kAPMReservedUserPropertyName;
        default: return kAPMInvalidUserPropertyName;
    }
}

bool APMIsValidInternalName(const std::string& name, int maxLength) {
    if (name.empty() || name.size() > static_cast<std::size_t>(maxLength)) return false;
    return (isAsciiLetter(name[0]) || name[0] == '_') && hasWellFormedTail(name);
}

std::string APMEventNameForLog(const std::string& name) { return displayForm(APMPublicToInternalEventNames(), name); }

std::string APMUserPropertyNameForLog(const std::string& name) {
    if (name.rfind("_exp_", 0) == 0) return "experiment_id (" + name + ")";
    return displayForm(APMUserPropertyNameMap(), name);
}

std::string APMParameterNameForLog(const std::string& name) {
    return displayForm(publicToInternalParameterNames(), name);
}

std::string APMDescriptionOfParameters(const APMParameters& parameters) {
    std::string text = "{";
    bool first = true;
    for (const auto& [name, value] : parameters) {
        text += (first ? "" : ", ") + APMParameterNameForLog(name) + "=" + value.description();
        first = false;
    }
    return text + "}";
}

}  // namespace measurement
