// The consent defaults an application declares in its Info.plist.
#include <cctype>

#include "measurement/upload/consent/consent_settings_util.h"
#include "platform/foundation/bundle.h"

namespace measurement {

namespace {

struct PlistKey {
    const char* key;
    const char* type;
    // The advertising-personalisation key is read only as text.
    bool textOnly;
};

constexpr PlistKey kPlistKeys[] = {
    {"ROZEDA_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", kAPMConsentTypeAdStorage, false},
    {"ROZEDA_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE", kAPMConsentTypeAnalyticsStorage, false},
    {"ROZEDA_ANALYTICS_DEFAULT_ALLOW_AD_USER_DATA", kAPMConsentTypeAdUserData, false},
    {"ROZEDA_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS", kAPMConsentTypeAdPersonalization, true},
};

bool equalsIgnoringCase(const std::string& text, const std::string& word) {
    if (text.size() != word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(word[i])))
            return false;
    }
    return true;
}

// A text is true when, after leading white space, it begins with Y, y, T,
// t or a digit 1 to 9.
bool textBoolean(const std::string& text) {
    std::size_t position = 0;
    while (position < text.size() && std::isspace(static_cast<unsigned char>(text[position]))) ++position;
    if (position == text.size()) return false;
    const char first = text[position];
    return first == 'Y' || first == 'y' || first == 'T' || first == 't' || (first >= '1' && first <= '9');
}

// The boolean reading of a value; none for a value without one.
std::optional<bool> booleanReading(const platform::Value& value) {
    if (value.isBool() || value.isNumber()) return value.boolValue();
    if (value.isString()) return textBoolean(value.asString());
    return std::nullopt;
}

}  // namespace

APMConsentSettingsUtil::Settings APMConsentSettingsUtil::consentSettingsFromPlist() {
    return consentSettingsFromPlist(platform::Bundle::main().infoDictionary());
}

APMConsentSettingsUtil::Settings APMConsentSettingsUtil::consentSettingsFromPlist(
    const platform::Value& infoDictionary) {
    Settings settings;
    for (const auto& [key, type, textOnly] : kPlistKeys) {
        const platform::Value& value = infoDictionary[key];
        if (textOnly && !value.isString()) continue;
        const bool advertisingType = std::string(type) == kAPMConsentTypeAdUserData ||
                                     std::string(type) == kAPMConsentTypeAdPersonalization;
        if (advertisingType && value.isString() && equalsIgnoringCase(value.asString(), kAPMConsentEUPolicy)) {
            settings.emplace(type, kAPMConsentEUPolicy);
        } else if (auto reading = booleanReading(value)) {
            settings.emplace(type, *reading ? kAPMConsentGranted : kAPMConsentDenied);
        }
    }
    return settings;
}

}  // namespace measurement
