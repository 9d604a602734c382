// Tests of the consent state: sources, layers, signals and descriptions.
#include <doctest/doctest.h>

#include <thread>

#include "measurement/upload/consent/consent_settings_util.h"
#include "platform/dispatch/queue.h"

using namespace measurement;
using platform::Value;
using Settings = APMConsentSettingsUtil::Settings;

namespace {

constexpr int kSources[] = {5, 10, 20, 30, 40};

// A state whose current layer was written by the source.
void writeFrom(APMConsentSettingsUtil& consent, int source) {
    consent.updateSettings({{"ad_storage", "granted"}}, source);
}

}  // namespace

TEST_CASE("a consent write is taken or refused by the source that holds the state") {
    // Row: the source that wrote last; columns: a write from 5, 10, 20, 30,
    // 40. TCF (5) and third-party settings (10) are peers, and an
    // application write (30) replaces the Info.plist defaults (20).
    const struct {
        int current;
        bool taken[5];
        bool equal[5];
    } cases[] = {
        {5, {true, true, false, false, false}, {true, true, false, false, false}},
        {10, {true, true, false, false, false}, {true, true, false, false, false}},
        {20, {true, true, true, true, false}, {false, false, true, false, false}},
        {30, {true, true, true, true, false}, {false, false, false, true, false}},
        {40, {true, true, true, true, true}, {false, false, false, false, true}},
        {100, {true, true, true, true, true}, {false, false, false, false, false}},
    };
    for (const auto& c : cases) {
        APMConsentSettingsUtil consent;
        if (c.current != 100) writeFrom(consent, c.current);
        REQUIRE(consent.consentSource() == c.current);
        for (int i = 0; i < 5; ++i) {
            CAPTURE(c.current);
            CAPTURE(kSources[i]);
            CHECK(consent.isConsentSourceHigherPriority(kSources[i]) == c.taken[i]);
            CHECK(consent.isConsentSourceEqualPriority(kSources[i]) == c.equal[i]);
        }
    }
}

TEST_CASE("effective values, signals and diagnostics through the layers") {
    const struct {
        const char* name;
        Settings current;
        int source;
        Settings delegated;
        Settings defaults;
        Settings regional;
        bool adStorageDenied;
        bool analyticsDenied;
        bool adUserDataDenied;
        std::optional<bool> personalization;
        const char* signals;
        const char* diagnostics;
    } cases[] = {
        {"nothing set", {}, 100, {}, {}, {}, false, false, false, std::nullopt, "G1--", "19999"},
        {"storage set through the interface", {{"ad_storage", "granted"}, {"analytics_storage", "denied"}}, 30, {}, {},
         {}, false, true, false, std::nullopt, "G110", "15599"},
        {"a TCF write", {{"ad_storage", "granted"}, {"ad_personalization", "granted"}, {"ad_user_data", "denied"}}, 5,
         {}, {}, {}, false, false, true, true, "G11-", "17977"},
        {"denied in capitals", {{"ad_storage", "DENIED"}, {"analytics_storage", "Granted"}}, 30, {}, {}, {}, true, false,
         false, std::nullopt, "G101", "15599"},
        {"a number is no consent value", {{"ad_storage", 0}}, 30, {}, {}, {}, false, false, false, std::nullopt, "G1--",
         "19999"},
        {"eu policy without regional defaults", {{"ad_user_data", "eu_consent_policy"}}, 20, {}, {}, {}, false, false,
         true, std::nullopt, "G1--", "19989"},
        {"eu policy with a regional grant", {{"ad_user_data", "eu_consent_policy"}}, 20, {}, {},
         {{"ad_user_data", "granted"}}, false, false, false, std::nullopt, "G1--", "19989"},
        {"eu personalisation resolved by region", {{"ad_personalization", "EU_CONSENT_POLICY"}}, 20, {}, {},
         {{"ad_personalization", "granted"}}, false, false, false, true, "G1--", "19998"},
        {"ad_user_data delegated to a denied ad_storage", {{"ad_storage", "denied"}}, 30,
         {{"ad_user_data", "ad_storage"}}, {{"ad_user_data", "granted"}}, {}, true, false, true, std::nullopt, "G10-",
         "15929"},
        {"delegated to an unset type: the default decides", {}, 100, {{"ad_user_data", "ad_storage"}},
         {{"ad_user_data", "denied"}}, {}, false, false, true, std::nullopt, "G1--", "19929"},
        {"a storage default does not count", {}, 100, {}, {{"analytics_storage", "denied"}}, {}, false, false, false,
         std::nullopt, "G1--", "19999"},
        {"server defaults for the advertising types", {}, 100, {},
         {{"ad_user_data", "denied"}, {"ad_personalization", "granted"}}, {}, false, false, true, true, "G1--", "19911"},
        {"the current layer outranks the default", {{"ad_personalization", "denied"}}, 10, {},
         {{"ad_personalization", "granted"}}, {}, false, false, false, false, "G1--", "19995"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.name);
        APMConsentSettingsUtil consent;
        if (!c.current.empty()) consent.setConsentSettings(c.current);
        consent.setConsentSource(c.source);
        if (!c.delegated.empty()) consent.setDelegatedSettings(c.delegated);
        if (!c.defaults.empty()) consent.setDefaultSettings(c.defaults);
        if (!c.regional.empty()) consent.setRegionalDefaults(c.regional);
        CHECK(consent.isAdStorageDenied() == c.adStorageDenied);
        CHECK(consent.isAnalyticsStorageDenied() == c.analyticsDenied);
        CHECK(consent.isAdUserDataDenied() == c.adUserDataDenied);
        CHECK(consent.adPersonalization() == c.personalization);
        CHECK(consent.consentSignals() == c.signals);
        CHECK(consent.consentDiagnostics() == c.diagnostics);
        CHECK(consent.didAdUserDataConsentChange(!c.adUserDataDenied));
        CHECK_FALSE(consent.didAdUserDataConsentChange(c.adUserDataDenied));
    }
}

TEST_CASE("the readable description") {
    const struct {
        Settings current;
        Settings regional;
        const char* text;
    } cases[] = {
        {{}, {}, "ad_storage is granted. analytics_storage is granted."},
        {{{"ad_storage", "denied"}, {"analytics_storage", "granted"}, {"ad_user_data", "granted"},
          {"ad_personalization", "denied"}},
         {},
         "ad_storage is denied. analytics_storage is granted. ad_user_data is granted. ad_personalization is denied."},
        {{{"ad_user_data", "eu_consent_policy"}}, {},
         "ad_storage is granted. analytics_storage is granted. ad_user_data is denied (eu_consent_policy)."},
        {{{"analytics_storage", "denied"}, {"ad_personalization", "eu_consent_policy"}},
         {{"ad_personalization", "granted"}},
         "ad_storage is granted. analytics_storage is denied. ad_personalization is granted (eu_consent_policy)."},
    };
    for (const auto& c : cases) {
        APMConsentSettingsUtil consent;
        consent.setConsentSettings(c.current);
        consent.setRegionalDefaults(c.regional);
        CHECK(consent.description() == c.text);
    }
}

TEST_CASE("writes change the layers, the source and the recorded origins") {
    APMConsentSettingsUtil consent;
    consent.updateSettings({{"ad_storage", "granted"}, {"analytics_storage", "granted"}}, 30);

    SUBCASE("a merge keeps earlier types, new entries win, source and origins stay") {
        consent.updateSettings({{"ad_storage", "denied"}, {"ad_personalization", "granted"}});
        CHECK(consent.consentSettings() ==
              Settings{{"ad_storage", "denied"}, {"analytics_storage", "granted"}, {"ad_personalization", "granted"}});
        CHECK(consent.consentSource() == 30);
        // The merged type has no recorded origin yet.
        CHECK(consent.consentDiagnostics() == "15590");
    }
    SUBCASE("a new source recodes every type of the current layer") {
        consent.setConsentSource(40);
        CHECK(consent.consentDiagnostics() == "14499");
        consent.setDiagnosticSource(3, "analytics_storage");
        consent.setDiagnosticSource(3, "not_a_type");
        CHECK(consent.consentDiagnostics() == "14399");
    }
    SUBCASE("replacing the current layer with none goes back to source 100") {
        consent.setConsentSettings(std::nullopt);
        CHECK_FALSE(consent.consentSettings());
        CHECK(consent.consentSource() == 100);
        CHECK(consent.consentDiagnostics() == "19999");
    }
    SUBCASE("replacing it with a dictionary keeps the source") {
        consent.setConsentSettings(Settings{{"ad_user_data", "denied"}});
        CHECK(consent.consentSource() == 30);
        CHECK(consent.isAdUserDataDenied());
        CHECK(consent.consentSignals() == "G1--");
    }
    SUBCASE("unsetting ad personalisation lets the default decide") {
        consent.updateSettings({{"ad_personalization", "granted"}}, 30);
        consent.setDefaultSettings(Settings{{"ad_personalization", "denied"}});
        CHECK(consent.adPersonalization() == true);
        consent.unsetAdPersonalization();
        CHECK(consent.adPersonalization() == false);
        CHECK(consent.consentDiagnostics() == "15591");
        CHECK(consent.consentSettings()->count("ad_personalization") == 0);
    }
    SUBCASE("clearing removes every layer") {
        consent.setDefaultSettings(Settings{{"ad_user_data", "denied"}});
        consent.setDelegatedSettings(Settings{{"ad_user_data", "ad_storage"}});
        consent.setRegionalDefaults(Settings{{"ad_user_data", "granted"}});
        consent.clearAllSettings();
        CHECK_FALSE(consent.consentSettings());
        CHECK_FALSE(consent.defaultSettings());
        CHECK_FALSE(consent.delegatedSettings());
        CHECK_FALSE(consent.regionalDefaults());
        CHECK(consent.consentSource() == 100);
        CHECK(consent.consentDiagnostics() == "19999");
    }
    SUBCASE("only versions 1 and 2 are kept") {
        CHECK(consent.version() == 1);
        consent.setVersion(3);
        CHECK(consent.version() == 1);
        consent.setVersion(2);
        CHECK(consent.version() == 2);
        consent.setVersion(0);
        CHECK(consent.version() == 2);
    }
    SUBCASE("a type outside the four is kept but never read") {
        consent.updateSettings({{"other_storage", "denied"}}, 10);
        CHECK(consent.consentSettings()->at("other_storage") == Value("denied"));
        CHECK(consent.consentSignals() == "G111");
        CHECK(consent.consentDiagnostics() == "15599");
    }
}

TEST_CASE("the Info.plist consent defaults") {
    const char* storage = "ROZEDA_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE";
    const char* analytics = "ROZEDA_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE";
    const char* userData = "ROZEDA_ANALYTICS_DEFAULT_ALLOW_AD_USER_DATA";
    const char* personalization = "ROZEDA_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS";
    const struct {
        Value::Dictionary info;
        Settings expected;
    } cases[] = {
        {{}, {}},
        {{{storage, true}, {analytics, false}}, {{"ad_storage", "granted"}, {"analytics_storage", "denied"}}},
        {{{storage, 2}, {analytics, 0}, {userData, 0.5}},
         {{"ad_storage", "granted"}, {"analytics_storage", "denied"}, {"ad_user_data", "granted"}}},
        {{{storage, "YES"}, {analytics, "  true"}, {userData, "no"}},
         {{"ad_storage", "granted"}, {"analytics_storage", "granted"}, {"ad_user_data", "denied"}}},
        {{{storage, "7"}, {analytics, "0"}, {userData, ""}},
         {{"ad_storage", "granted"}, {"analytics_storage", "denied"}, {"ad_user_data", "denied"}}},
        {{{storage, platform::Data{{1}}}, {analytics, Value::Array{Value(true)}}}, {}},
        {{{userData, "EU_Consent_Policy"}, {storage, "eu_consent_policy"}},
         {{"ad_user_data", "eu_consent_policy"}, {"ad_storage", "denied"}}},
        {{{personalization, true}}, {}},
        {{{personalization, 1}}, {}},
        {{{personalization, "YES"}}, {{"ad_personalization", "granted"}}},
        {{{personalization, "eu_consent_policy"}}, {{"ad_personalization", "eu_consent_policy"}}},
    };
    int row = 0;
    for (const auto& c : cases) {
        CAPTURE(row++);
        CHECK(APMConsentSettingsUtil::consentSettingsFromPlist(Value(c.info)) == c.expected);
    }
}

TEST_CASE("names of the server's consent enumerations and of the four types") {
    const struct {
        std::int64_t number;
        std::optional<std::string> type;
        std::optional<std::string> status;
    } cases[] = {
        {0, std::nullopt, std::nullopt},       {1, "ad_storage", "granted"},          {2, "analytics_storage", "denied"},
        {3, "ad_user_data", std::nullopt},     {4, "ad_personalization", std::nullopt}, {5, std::nullopt, std::nullopt},
        {-1, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        CAPTURE(c.number);
        CHECK(APMConsentSettingsUtil::consentTypeName(c.number) == c.type);
        CHECK(APMConsentSettingsUtil::consentStatusName(c.number) == c.status);
    }
    CHECK(APMConsentSettingsUtil::consentSettingsFromDictionary(
              {{"ad_storage", "granted"}, {"other", "denied"}, {"ad_personalization", 1}}) ==
          Settings{{"ad_storage", "granted"}, {"ad_personalization", 1}});
}

TEST_CASE("writes from one thread are seen by reads from others in order") {
    APMConsentSettingsUtil consent;
    std::thread writer([&] {
        for (int i = 0; i < 200; ++i) {
            consent.updateSettings({{"ad_storage", i % 2 ? "granted" : "denied"}}, i % 2 ? 30 : 10);
        }
        consent.updateSettings({{"analytics_storage", "denied"}}, 30);
    });
    std::thread reader([&] {
        for (int i = 0; i < 200; ++i) {
            const auto signals = consent.consentSignals();
            CHECK(signals.size() == 4);
            (void)consent.consentDiagnostics();
        }
    });
    writer.join();
    reader.join();
    // Read after the writes from this thread: the last of each type holds.
    CHECK(consent.consentSignals() == "G110");
    CHECK(consent.consentSource() == 30);
}

TEST_CASE("the storage denials are read without the queue once every write posted before has run") {
    auto queue = std::make_shared<platform::dispatch::ManualQueue>("consent");
    APMConsentSettingsUtil consent(queue);
    const struct {
        Settings written;
        bool adDenied;
        bool analyticsDenied;
    } cases[] = {
        {{{"analytics_storage", "denied"}}, false, true},
        {{{"ad_storage", "DENIED"}}, true, true},
        {{{"analytics_storage", "granted"}, {"ad_storage", "granted"}}, false, false},
    };
    for (const auto& c : cases) {
        consent.updateSettings(c.written, 30);
        // The write is still queued: the read waits for it.
        REQUIRE(queue->pendingCount() == 1);
        CHECK(consent.isAnalyticsStorageDenied() == c.analyticsDenied);
        CHECK(queue->pendingCount() == 0);
        // Nothing written since: both are answered with a block still
        // waiting on the queue, which a read on it would have run first.
        queue->async([] {});
        CHECK(consent.isAdStorageDenied() == c.adDenied);
        CHECK(consent.isAnalyticsStorageDenied() == c.analyticsDenied);
        CHECK(queue->pendingCount() == 1);
        queue->drain();
    }
    consent.clearAllSettings();
    CHECK_FALSE(consent.isAdStorageDenied());
    CHECK(queue->pendingCount() == 0);
}
