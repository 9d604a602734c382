// Tests of the engine's consent settings: writes, persistence, the server's defaults and start-up.
#include <doctest/doctest.h>

#include <algorithm>
#include <fstream>

#include "measurement/core/arurerudo.h"
#include "measurement/core/codes.h"
#include "measurement/core/core_test_support.h"
#include "measurement/core/facade.h"
#include "measurement/core/measurement.h"
#include "measurement/store/config_test_support.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/plist_codec.h"
#include "platform/foundation/user_defaults.h"
#include "testsupport/temp_dir.h"

using namespace measurement;
using config_test::ConfigBuilder;
using measurement::testing::EngineFixture;
using platform::Value;
using Settings = Value::Dictionary;

namespace {

std::shared_ptr<APMConsentSettingsUtil> consentState() { return APMMeasurement::sharedInstance()->consentState(); }

platform::UserDefaults analyticsSuite() { return platform::UserDefaults(kAPMAnalyticsSuiteName); }

// The application bundle with further Info.plist keys, for the scope.
class InfoPlistWith {
public:
    explicit InfoPlistWith(const Settings& extra) : saved_(platform::Bundle::main().resourcePath()) {
        auto info = platform::Bundle::main().infoDictionary().asDictionary();
        for (const auto& [key, value] : extra) info[key] = value;
        std::ofstream(folder_ / "Info.plist", std::ios::binary) << platform::writePropertyListXML(Value(info));
        std::filesystem::copy_file(saved_ / "RozedaService-Info.plist", folder_ / "RozedaService-Info.plist");
        platform::Bundle::setMainResourcePath(folder_.path());
    }
    ~InfoPlistWith() { platform::Bundle::setMainResourcePath(saved_); }
    InfoPlistWith(const InfoPlistWith&) = delete;
    InfoPlistWith& operator=(const InfoPlistWith&) = delete;

private:
    testsupport::TempDir folder_;
    std::filesystem::path saved_;
};

// The consent signals of the stored raw events' headers, in row order.
std::vector<std::string> storedSignals(EngineFixture& engine) {
    std::vector<std::string> signals;
    for (const auto& event : engine.rawEvents()) {
        const auto header = engine.metadataOf(event);
        signals.push_back(NANOGetString(header, APMPBMeasurementBundleFieldIndex(52)).value_or(""));
    }
    return signals;
}

std::size_t countOf(const std::vector<std::string>& names, const std::string& name) {
    return static_cast<std::size_t>(std::count(names.begin(), names.end(), name));
}

void runOnWorkerQueue(EngineFixture& engine, std::function<void(APMMeasurement&)> block) {
    auto measurement = APMMeasurement::sharedInstance();
    measurement->scheduleOnWorkerQueue("test:consent", [measurement, block] { block(*measurement); });
    engine.settle();
}

// A consent-management platform's values that apply to this SDK with every
// purpose granted.
void writeApplyingTCFData() {
    platform::UserDefaults app;
    app.setObject(Value(1), "IABTCF_gdprApplies");
    app.setObject(Value(1), "IABTCF_EnableAdvertiserConsentMode");
    app.setObject(Value(std::string(754, '0') + "1"), "IABTCF_VendorConsents");
    app.setObject(Value("1111111"), "IABTCF_PurposeConsents");
    app.setObject(Value(4), "IABTCF_PolicyVersion");
    app.setObject(Value(300), "IABTCF_CmpSdkID");
}

}  // namespace

TEST_CASE("setConsent keeps the four types, ranks sources and persists the result") {
    EngineFixture engine;
    engine.configure();
    auto suite = analyticsSuite();
    const auto state = consentState();

    SUBCASE("invalid values are dropped, an empty result is discarded") {
        APMAnalytics::setConsent({{"ad_storage", "maybe"}, {"other_type", "granted"}, {"analytics_storage", 1}});
        CHECK(engine.monitor().count(kAPMInvalidConsentValueCode) == 2);
        CHECK(engine.monitor().hasCode(kAPMEmptyConsentSettingsCode));
        CHECK(state->consentSource() == kAPMConsentSourceUnset);
        CHECK_FALSE(suite.objectForKey(kAPMConsentSourceKey));
    }
    SUBCASE("an interface write is source 30, stored under consent_settings") {
        APMAnalytics::setConsent({{"ad_storage", "denied"}, {"analytics_storage", "granted"}});
        CHECK(state->consentSource() == 30);
        CHECK(state->consentSignals() == "G101");
        CHECK(state->consentDiagnostics() == "15599");
        CHECK(suite.integerForKey(kAPMConsentSourceKey) == 30);
        CHECK(suite.dictionaryForKey(kAPMConsentSettingsKey) ==
              Settings{{"ad_storage", "denied"}, {"analytics_storage", "granted"}});
    }
    SUBCASE("TCF writes are source 5, third-party writes 10 and its peer") {
        APMAnalytics::setConsent({{"ad_storage", "granted"}}, kAPMConsentSettingsTCFKey);
        APMAnalytics::setConsent({{"ad_user_data", "granted"}}, kAPMConsentSettings3PKey);
        CHECK(state->consentSource() == 10);
        CHECK(suite.dictionaryForKey(kAPMConsentSettingsTCFKey) == Settings{{"ad_storage", "granted"}});
        CHECK(suite.dictionaryForKey(kAPMConsentSettings3PKey) ==
              Settings{{"ad_storage", "granted"}, {"ad_user_data", "granted"}});
        CHECK(suite.integerForKey(kAPMConsentSourceKey) == 10);
        const auto described = engine.monitor().entriesWithCode(kAPMConsentDescriptionCode);
        REQUIRE(described.size() == 1);
        CHECK(described[0].message == "ad_storage is granted. analytics_storage is granted. ad_user_data is granted.");
    }
    SUBCASE("a lower-priority source changes nothing") {
        APMAnalytics::setConsent({{"ad_storage", "denied"}}, kAPMConsentSettings3PKey);
        APMAnalytics::setConsent({{"ad_storage", "granted"}});
        CHECK(engine.monitor().hasCode(kAPMLowerPriorityConsentCode));
        CHECK(state->consentSignals() == "G10-");
        CHECK(suite.integerForKey(kAPMConsentSourceKey) == 10);
        CHECK_FALSE(suite.objectForKey(kAPMConsentSettingsKey));
    }
    SUBCASE("ad_personalization sets allow_personalized_ads") {
        APMAnalytics::setConsent({{"ad_personalization", "denied"}});
        engine.settle();
        const auto properties = engine.userAttributes();
        REQUIRE(properties.size() == 1);
        CHECK(properties[0].name() == "allow_personalized_ads");
        CHECK(properties[0].value() == APMValue("NO"));
    }
    SUBCASE("clearConsent removes every stored key and the state") {
        APMAnalytics::setConsent({{"ad_storage", "granted"}}, kAPMConsentSettingsTCFKey);
        suite.setObject(Value(true), kAPMDeferredConsentResetKey);
        APMAnalytics::clearConsent();
        CHECK(state->consentSource() == kAPMConsentSourceUnset);
        CHECK_FALSE(state->consentSettings());
        CHECK(suite.dictionaryRepresentation().empty());
    }
}

TEST_CASE("a changed ad_user_data consent logs _dcu when the fetched configuration has consent defaults") {
    EngineFixture engine;
    engine.configure();
    // Type 3 is "ad_user_data", status 2 "denied".
    auto takeDefaults = [&](ConfigBuilder builder) {
        engine.takeConfiguration(builder.consent({{3, 2}}, {}, {}).config());
        runOnWorkerQueue(engine, [](APMMeasurement& measurement) { measurement.updateConsentSettingsUtilWithRemoteConfig(); });
    };

    SUBCASE("the built-in configuration has no defaults: no _dcu") {
        APMAnalytics::setConsent({{"ad_user_data", "denied"}});
        engine.settle();
        CHECK(engine.rawEventNames() == std::vector<std::string>{"_f"});
    }
    SUBCASE("a grant over a server default that denies") {
        takeDefaults(ConfigBuilder());
        CHECK(consentState()->isAdUserDataDenied());
        APMAnalytics::setConsent({{"ad_user_data", "granted"}});
        engine.settle();
        const auto events = engine.rawEvents();
        REQUIRE(events.size() == 2);
        CHECK(events[1].event().name() == "_dcu");
        CHECK(events[1].event().origin() == "auto");
        CHECK(testing::intParameter(events[1].event(), "_r") == 1);
    }
    SUBCASE("no change, no _dcu") {
        takeDefaults(ConfigBuilder());
        APMAnalytics::setConsent({{"ad_user_data", "denied"}});
        engine.settle();
        CHECK(engine.rawEventNames() == std::vector<std::string>{"_f"});
    }
    SUBCASE("the server turns the _dcu event off") {
        takeDefaults(ConfigBuilder().setting("measurement.dma.dcu_event_enabled", "false"));
        APMAnalytics::setConsent({{"ad_user_data", "granted"}});
        engine.settle();
        CHECK(engine.rawEventNames() == std::vector<std::string>{"_f"});
    }
}

TEST_CASE("the server's consent section reaches the layers") {
    EngineFixture engine;
    engine.configure();
    const auto state = consentState();
    auto take = [&](ConfigBuilder builder) {
        engine.takeConfiguration(builder.config());
        runOnWorkerQueue(engine, [](APMMeasurement& measurement) { measurement.updateConsentSettingsUtilWithRemoteConfig(); });
    };
    // Types: 1 ad storage, 3 ad user data, 4 ad personalisation; statuses:
    // 1 granted, 2 denied.
    take(ConfigBuilder().consent({{4, 1}}, {{3, 1}}, {{3, 1}}));
    CHECK(state->defaultSettings() == Settings{{"ad_personalization", "granted"}});
    CHECK(state->delegatedSettings() == Settings{{"ad_user_data", "ad_storage"}});
    CHECK(state->regionalDefaults() == Settings{{"ad_user_data", "granted"}});
    // From none to granted: the "_npa" property is due again, and says
    // personalised ads (0).
    CHECK(APMMeasurement::sharedInstance()->shouldUpdateNPAUserProperty());
    runOnWorkerQueue(engine, [](APMMeasurement& measurement) { measurement.setPersonalizedAdsUserPropertyOnWorkerQueue(); });
    const auto properties = engine.userAttributes();
    const auto npa = std::find_if(properties.begin(), properties.end(),
                                  [](const APMUserAttribute& property) { return property.name() == "_npa"; });
    REQUIRE(npa != properties.end());
    CHECK(npa->value() == APMValue(std::int64_t{0}));
    CHECK(npa->origin() == "auto");

    SUBCASE("the regional flag off removes the regional defaults") {
        take(ConfigBuilder().consent({{4, 1}}, {}, {{3, 2}}).setting("measurement.regional_defaults_enabled", "false"));
        CHECK_FALSE(state->regionalDefaults());
        CHECK(state->defaultSettings() == Settings{{"ad_personalization", "granted"}});
    }
    SUBCASE("DMA consent off leaves the layers as they were") {
        take(ConfigBuilder().consent({{4, 2}}, {}, {}).setting("measurement.upload.dma_consent_enabled", "false"));
        CHECK(state->defaultSettings() == Settings{{"ad_personalization", "granted"}});
    }
    SUBCASE("a data wipe unsets ad personalisation and the server layers") {
        APMAnalytics::setConsent({{"ad_personalization", "denied"}});
        runOnWorkerQueue(engine, [](APMMeasurement& measurement) { measurement.wipeoutAnalyticsDataAndResetComponents(); });
        CHECK_FALSE(state->adPersonalization());
        CHECK_FALSE(state->defaultSettings());
        CHECK_FALSE(state->delegatedSettings());
        CHECK(state->regionalDefaults() == Settings{{"ad_user_data", "granted"}});
    }
}

TEST_CASE("persisted consent is loaded with its source capped by the kind stored") {
    EngineFixture engine;
    auto suite = analyticsSuite();
    const auto state = consentState();
    const struct {
        const char* name;
        std::optional<int> source;
        Settings tcf, thirdParty, interface;
        int loadedSource;
        const char* signals;
    } cases[] = {
        {"nothing stored", std::nullopt, {}, {}, {}, 100, "G1--"},
        {"third-party settings with at most 20", 30, {}, {{"ad_storage", "denied"}}, {}, 20, "G10-"},
        {"interface settings with at most 40", 50, {}, {}, {{"ad_storage", "granted"}}, 40, "G11-"},
        {"TCF settings first, with at most 5", 50, {{"analytics_storage", "denied"}}, {{"ad_storage", "denied"}},
         {{"ad_storage", "granted"}}, 5, "G1-0"},
        {"a lower stored source stays", 3, {}, {}, {{"ad_storage", "granted"}}, 3, "G11-"},
        {"only a source", 12, {}, {}, {}, 12, "G1--"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.name);
        suite.removeAllObjects();
        state->clearAllSettings();
        if (c.source) suite.setInteger(*c.source, kAPMConsentSourceKey);
        if (!c.tcf.empty()) suite.setObject(Value(c.tcf), kAPMConsentSettingsTCFKey);
        if (!c.thirdParty.empty()) suite.setObject(Value(c.thirdParty), kAPMConsentSettings3PKey);
        if (!c.interface.empty()) suite.setObject(Value(c.interface), kAPMConsentSettingsKey);
        APMAnalytics::loadPersistedConsentSettings();
        CHECK(state->consentSource() == c.loadedSource);
        CHECK(state->consentSignals() == c.signals);
    }
}

TEST_CASE("consent at start-up") {
    const struct {
        const char* name;
        Settings info;
        std::optional<int> storedSource;
        Settings tcf, thirdParty, interface, onStart;
        int source;
        const char* signals;
        const char* diagnostics;
    } cases[] = {
        {"nothing stored", {}, std::nullopt, {}, {}, {}, {}, 100, "G1--", "19999"},
        {"the application's settings of the last run", {}, 30, {}, {}, {{"analytics_storage", "denied"}}, {}, 30, "G1-0",
         "19599"},
        {"third-party settings", {}, 10, {}, {{"ad_storage", "granted"}}, {}, {}, 10, "G11-", "15999"},
        {"TCF settings", {}, 5, {{"ad_storage", "denied"}, {"ad_user_data", "denied"}}, {}, {}, {}, 5, "G10-", "17979"},
        {"third-party settings written after TCF win", {}, 10, {{"ad_storage", "denied"}}, {{"ad_storage", "granted"}},
         {}, {}, 10, "G11-", "15999"},
        {"TCF settings written after third-party ones win", {}, 5, {{"ad_storage", "denied"}},
         {{"ad_storage", "granted"}}, {}, {}, 5, "G10-", "17999"},
        {"Info.plist defaults", {{"ROZEDA_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", false}}, 30, {}, {},
         {{"analytics_storage", "denied"}}, {}, 20, "G10-", "13999"},
        {"Info.plist eu_consent_policy", {{"ROZEDA_ANALYTICS_DEFAULT_ALLOW_AD_USER_DATA", "eu_consent_policy"}},
         std::nullopt, {}, {}, {}, {}, 20, "G1--", "19989"},
        {"first-party settings for start-up", {}, 40, {}, {}, {}, {{"ad_storage", "granted"}}, 40, "G11-", "14999"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.name);
        EngineFixture engine;
        InfoPlistWith info(c.info);
        auto suite = analyticsSuite();
        if (c.storedSource) suite.setInteger(*c.storedSource, kAPMConsentSourceKey);
        if (!c.tcf.empty()) suite.setObject(Value(c.tcf), kAPMConsentSettingsTCFKey);
        if (!c.thirdParty.empty()) suite.setObject(Value(c.thirdParty), kAPMConsentSettings3PKey);
        if (!c.interface.empty()) suite.setObject(Value(c.interface), kAPMConsentSettingsKey);
        if (!c.onStart.empty()) suite.setObject(Value(c.onStart), kAPMConsentSettingsOnStartKey);
        engine.configure();
        const auto state = consentState();
        CHECK(state->consentSource() == c.source);
        CHECK(state->consentSignals() == c.signals);
        CHECK(state->consentDiagnostics() == c.diagnostics);
        // The first open, written at start, already carries that consent.
        CHECK(storedSignals(engine) == std::vector<std::string>{c.signals});
        // What the application stored is never lost to a start-up choice.
        if (!c.interface.empty()) CHECK(suite.dictionaryForKey(kAPMConsentSettingsKey) == c.interface);
    }
}

TEST_CASE("consent survives a restart through the preference files") {
    EngineFixture engine;
    engine.configure();
    VEZArurerudo::setConsent({{"analytics_storage", "denied"}, {"ad_storage", "granted"}});
    engine.settle();
    CHECK(consentState()->consentSignals() == "G110");

    engine.restart();
    engine.configure();
    // The new engine holds it before the application says anything again.
    CHECK(consentState()->consentSource() == 30);
    APMAnalytics::logInternalEventWithOrigin("app", "after_restart", {});
    engine.settle();
    CHECK(engine.rawEventNames() == std::vector<std::string>{"_f", "after_restart"});
    CHECK(storedSignals(engine) == std::vector<std::string>{"G1--", "G110"});
}

TEST_CASE("the application's consent replaces the Info.plist defaults") {
    EngineFixture engine;
    InfoPlistWith info({{"ROZEDA_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", false},
                        {"ROZEDA_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE", false}});
    engine.configure();
    const auto state = consentState();
    REQUIRE(state->consentSource() == 20);
    REQUIRE(state->consentSignals() == "G100");

    VEZArurerudo::setConsent({{"ad_storage", "granted"}});
    engine.settle();
    CHECK_FALSE(engine.monitor().hasCode(kAPMLowerPriorityConsentCode));
    CHECK(state->consentSource() == 30);
    CHECK(state->consentSignals() == "G110");
    CHECK(state->consentDiagnostics() == "15399");

    SUBCASE("and the next start applies the defaults again until the application speaks") {
        engine.restart();
        engine.configure();
        CHECK(consentState()->consentSignals() == "G100");
        CHECK(consentState()->consentSource() == 20);
    }
}

TEST_CASE("TCF consent at start-up, once per change, and withdrawn when the TCF data stops applying") {
    EngineFixture engine;
    writeApplyingTCFData();
    engine.configure();
    auto names = engine.rawEventNames();
    CHECK(countOf(names, "_tcf") == 1);
    CHECK(consentState()->consentSource() == 5);
    CHECK(consentState()->consentSignals() == "G11-");
    CHECK(consentState()->consentDiagnostics() == "17977");

    // The same values after a restart: no new "_tcf", the TCF consent holds.
    engine.restart();
    engine.configure();
    CHECK(countOf(engine.rawEventNames(), "_tcf") == 1);
    CHECK(consentState()->consentSource() == 5);

    // The platform says the GDPR no longer applies.
    platform::UserDefaults().setObject(Value(0), "IABTCF_gdprApplies");
    runOnWorkerQueue(engine, [](APMMeasurement& measurement) { measurement.tcfClientSetConsentFromData(); });
    CHECK(countOf(engine.rawEventNames(), "_tcf") == 2);
    const auto state = consentState();
    CHECK(state->consentSource() == 100);
    CHECK(state->consentSignals() == "G1--");
    CHECK_FALSE(analyticsSuite().objectForKey(kAPMConsentSettingsTCFKey));

    // Every other source may write again.
    VEZArurerudo::setConsent({{"ad_storage", "denied"}});
    engine.settle();
    CHECK(state->consentSource() == 30);
    CHECK(state->consentSignals() == "G10-");
}

TEST_CASE("an \"_npa\" set by a caller speaks for ad personalisation") {
    EngineFixture engine;
    engine.configure();
    const auto state = consentState();

    SUBCASE("on its own: the origin recorded before stays") {
        APMAnalytics::setInternalUserProperty(Value("1"), "_npa", "app");
        engine.settle();
        CHECK(state->adPersonalization() == false);
        CHECK(state->consentDiagnostics() == "19999");
        APMAnalytics::setInternalUserProperty(Value(0), "_npa", "app");
        engine.settle();
        CHECK(state->adPersonalization() == true);
    }
    SUBCASE("after a consent write through the interface") {
        APMAnalytics::setConsent({{"ad_personalization", "granted"}});
        engine.settle();
        APMAnalytics::setInternalUserProperty(Value("1"), "_npa", "app");
        engine.settle();
        CHECK(state->adPersonalization() == false);
        CHECK(state->consentDiagnostics() == "19995");
    }
    SUBCASE("the engine's own mirror of the consent changes nothing") {
        APMAnalytics::setInternalUserProperty(Value(1), "_npa", "auto");
        engine.settle();
        CHECK_FALSE(state->consentSettings());
    }
    SUBCASE("a value other than 0 or 1 changes nothing") {
        APMAnalytics::setInternalUserProperty(Value("maybe"), "_npa", "app");
        engine.settle();
        CHECK_FALSE(state->adPersonalization());
        CHECK_FALSE(state->consentSettings());
    }
}
