// Tests of the TCF client.
#include <doctest/doctest.h>

#include "measurement/upload/consent/tcf_client.h"
#include "platform/foundation/user_defaults.h"
#include "testsupport/temp_dir.h"

using namespace measurement;
using platform::Value;

namespace {

// A vendor-consent string of the given length whose last character is the
// given one (all others "0").
std::string vendorString(std::size_t length, char last = '1') {
    std::string bits(length, '0');
    if (length) bits.back() = last;
    return bits;
}

// What the client hands the engine.
struct Recorder {
    std::vector<std::pair<std::string, Value::Dictionary>> events;
    std::vector<std::pair<Value::Dictionary, std::string>> consentWrites;
    int withdrawals = 0;

    APMTCFClientCallbacks callbacks() {
        return {[this](const std::string& origin, const std::string& name, const Value::Dictionary& parameters) {
                    CHECK(origin == "auto");
                    events.emplace_back(name, parameters);
                },
                [this](const Value::Dictionary& consent, const std::string& key) { consentWrites.emplace_back(consent, key); },
                [this] { ++withdrawals; }};
    }
};

// The application's preferences and the TCF suite on a temporary folder,
// with a client over them (made again by restart(), as a new process).
struct TCFFixture {
    testsupport::TempDir folder;
    platform::ScopedDataDirectory preferences{folder.path()};
    APMUserDefaults app = APMUserDefaults::sharedUserDefaults();
    Recorder recorder;
    Value info = Value::Dictionary{};
    std::unique_ptr<APMTCFClient> client;

    TCFFixture() { restart(); }
    void restart() {
        client = std::make_unique<APMTCFClient>(recorder.callbacks(), APMTCFData(app, info),
                                                APMUserDefaults(kAPMTCFSuiteName));
    }
    // A platform that applies to this SDK, with every purpose granted.
    void writeApplyingData(std::int64_t policyVersion = 4) {
        app.setObject(Value(1), "IABTCF_gdprApplies");
        app.setObject(Value(1), "IABTCF_EnableAdvertiserConsentMode");
        app.setObject(Value(vendorString(755)), "IABTCF_VendorConsents");
        app.setObject(Value("1111111"), "IABTCF_PurposeConsents");
        app.setObject(Value(static_cast<long long>(policyVersion)), "IABTCF_PolicyVersion");
        app.setObject(Value(300), "IABTCF_CmpSdkID");
    }
};

Value::Dictionary tcfConsent(const char* storage, const char* personalization, const char* userData) {
    return {{"ad_storage", storage}, {"ad_personalization", personalization}, {"ad_user_data", userData}};
}

}  // namespace

TEST_CASE("the TCF client logs changes once and writes consent when the data applies") {
    TCFFixture tcf;

    SUBCASE("no TCF keys and no stored copy: nothing is logged or written") {
        tcf.client->setConsentFromTCFData();
        tcf.client->setConsentFromTCFData();
        CHECK(tcf.recorder.events.empty());
        CHECK(tcf.recorder.consentWrites.empty());
        CHECK_FALSE(APMUserDefaults(kAPMTCFSuiteName).objectForKey("tcf_StringRepresentation"));
    }
    SUBCASE("applying data: one _tcf event for repeated equal data, consent under the TCF key") {
        tcf.writeApplyingData();
        tcf.client->setConsentFromTCFData();
        tcf.client->setConsentFromTCFData();
        REQUIRE(tcf.recorder.events.size() == 1);
        CHECK(tcf.recorder.events[0].first == "_tcf");
        CHECK(tcf.recorder.events[0].second == Value::Dictionary{{"_tcfd", "14I4f"}});
        REQUIRE(tcf.recorder.consentWrites.size() == 1);
        CHECK(tcf.recorder.consentWrites[0].first == tcfConsent("granted", "granted", "granted"));
        CHECK(tcf.recorder.consentWrites[0].second == "consent_settings_tcf");

        SUBCASE("a policy before 4 denies ad_user_data only") {
            tcf.app.setObject(Value(2), "IABTCF_PolicyVersion");
            tcf.client->setConsentFromTCFData();
            CHECK(tcf.recorder.events.size() == 2);
            REQUIRE(tcf.recorder.consentWrites.size() == 2);
            CHECK(tcf.recorder.consentWrites[1].first == tcfConsent("granted", "granted", "denied"));
        }
        SUBCASE("a restart with unchanged values logs and writes nothing") {
            tcf.restart();
            tcf.client->setConsentFromTCFData();
            CHECK(tcf.recorder.events.size() == 1);
            CHECK(tcf.recorder.consentWrites.size() == 1);
        }
        SUBCASE("data that stops applying withdraws the TCF consent") {
            tcf.app.setObject(Value(0), "IABTCF_gdprApplies");
            tcf.client->setConsentFromTCFData();
            CHECK(tcf.recorder.events.size() == 2);
            CHECK(tcf.recorder.consentWrites.size() == 1);
            CHECK(tcf.recorder.withdrawals == 1);
            for (const char* key : {"IABTCF_gdprApplies", "IABTCF_EnableAdvertiserConsentMode", "IABTCF_VendorConsents",
                                    "IABTCF_PurposeConsents", "IABTCF_PolicyVersion", "IABTCF_CmpSdkID"}) {
                tcf.app.removeObjectForKey(key);
            }
            tcf.client->setConsentFromTCFData();
            CHECK(tcf.recorder.events.size() == 3);
            CHECK(tcf.recorder.withdrawals == 2);
        }
    }
    SUBCASE("a vendor string of 754 characters never applies") {
        tcf.writeApplyingData();
        tcf.app.setObject(Value(std::string(754, '1')), "IABTCF_VendorConsents");
        tcf.client->setConsentFromTCFData();
        CHECK(tcf.recorder.events.size() == 1);
        CHECK(tcf.recorder.consentWrites.empty());
    }
    SUBCASE("TCF reading switched off: _tcf on the first run, flag 4 clear, never consent") {
        tcf.info = Value::Dictionary{{"ROZEDA_ANALYTICS_TCF_DATA_ENABLED", false}};
        tcf.restart();
        tcf.client->setConsentFromTCFData();
        REQUIRE(tcf.recorder.events.size() == 1);
        CHECK(tcf.recorder.events[0].second.at("_tcfd") == Value("10001"));
        tcf.writeApplyingData();
        tcf.client->setConsentFromTCFData();
        REQUIRE(tcf.recorder.events.size() == 2);
        CHECK(tcf.recorder.events[1].second.at("_tcfd") == Value("14I4b"));
        CHECK(tcf.recorder.consentWrites.empty());
    }
    SUBCASE("the stored copy in the TCF suite") {
        tcf.writeApplyingData();
        tcf.client->setConsentFromTCFData();
        APMUserDefaults suite(kAPMTCFSuiteName);
        CHECK(suite.objectForKey("ROZEDA_ANALYTICS_TCF_DATA_ENABLED") == Value(true));
        CHECK(suite.objectForKey("IABTCF_CmpSdkID") == Value(300));
        CHECK(suite.stringForKey("IABTCF_PurposeConsents") == "1111111");
        CHECK(suite.stringForKey("tcf_StringRepresentation") ==
              "isTCFDataEnabled=1,isAdvertiserConsentModeEnabled=1,cmpSDKID=300,hasRozedaInVendorConsents=1,"
              "gdprApplies=1,policyVersion=4,purposeConsents=1111111");
        tcf.client->clearPersistedValues();
        CHECK(platform::UserDefaults(kAPMTCFSuiteName).dictionaryRepresentation().empty());
    }
}

TEST_CASE("the TCF string representation and the _tcfd value") {
    const struct {
        Value::Dictionary stored;
        bool enabled;
        bool dmaRegion;
        const char* representation;
        const char* tcfd;
    } cases[] = {
        {{}, true, true, "isTCFDataEnabled=1", "10005"},
        {{{"IABTCF_CmpSdkID", 300}, {"IABTCF_PolicyVersion", 4}, {"IABTCF_gdprApplies", 1},
          {"IABTCF_EnableAdvertiserConsentMode", true}},
         true, true, "isTCFDataEnabled=1,isAdvertiserConsentModeEnabled=1,cmpSDKID=300,gdprApplies=1,policyVersion=4",
         "14I4f"},
        {{{"IABTCF_CmpSdkID", 4095}, {"IABTCF_PolicyVersion", 63}}, true, false,
         "isTCFDataEnabled=1,cmpSDKID=4095,policyVersion=63", "1___4"},
        {{{"IABTCF_CmpSdkID", 4096}, {"IABTCF_PolicyVersion", 64}}, false, false,
         "isTCFDataEnabled=0,cmpSDKID=4096,policyVersion=64", "10000"},
        {{{"IABTCF_CmpSdkID", -1}, {"IABTCF_PolicyVersion", -2}, {"IABTCF_gdprApplies", 0}}, true, false,
         "isTCFDataEnabled=1,cmpSDKID=-1,gdprApplies=0,policyVersion=-2", "10004"},
        {{{"IABTCF_CmpSdkID", 64}, {"IABTCF_PolicyVersion", 10}, {"IABTCF_EnableAdvertiserConsentMode", 1}}, true, true,
         "isTCFDataEnabled=1,isAdvertiserConsentModeEnabled=1,cmpSDKID=64,policyVersion=10", "110ad"},
        // Values of the wrong type read as missing.
        {{{"IABTCF_CmpSdkID", "300"}, {"IABTCF_VendorConsents", 1}, {"IABTCF_PurposeConsents", 11}}, true, false,
         "isTCFDataEnabled=1", "10004"},
        {{{"IABTCF_VendorConsents", "1"}, {"IABTCF_PurposeConsents", "0101"}}, true, false,
         "isTCFDataEnabled=1,hasRozedaInVendorConsents=0,purposeConsents=0101", "10004"},
    };
    int row = 0;
    for (const auto& c : cases) {
        CAPTURE(row++);
        testsupport::TempDir folder;
        platform::ScopedDataDirectory preferences(folder.path());
        auto app = APMUserDefaults::sharedUserDefaults();
        for (const auto& [key, value] : c.stored) app.setObject(value, key);
        APMTCFClient client({}, APMTCFData(app, Value::Dictionary{{"ROZEDA_ANALYTICS_TCF_DATA_ENABLED", c.enabled}}),
                            APMUserDefaults(kAPMTCFSuiteName));
        client.setIsDMARegion(c.dmaRegion);
        client.readTCFData();
        CHECK(client.stringRepresentationFromTCFData() == c.representation);
        CHECK(client.tcfBundleParameterValue() == c.tcfd);
    }
}

TEST_CASE("the TCF purposes as consent") {
    const struct {
        std::optional<std::string> purposes;
        std::int64_t policy;
        bool storage;
        bool personalization;
        bool userData;
    } cases[] = {
        {"1111111", 4, true, true, true},   {"1111111", 2, true, true, false}, {"1101111", 4, true, false, true},
        {"0111111", 5, false, true, false}, {"111111", 4, true, true, false},  {"1111110", 4, true, true, false},
        {std::nullopt, 4, false, false, false},
    };
    for (const auto& c : cases) {
        CAPTURE(c.purposes.value_or("(none)"));
        CAPTURE(c.policy);
        testsupport::TempDir folder;
        platform::ScopedDataDirectory preferences(folder.path());
        auto app = APMUserDefaults::sharedUserDefaults();
        if (c.purposes) app.setObject(Value(*c.purposes), "IABTCF_PurposeConsents");
        app.setObject(Value(static_cast<long long>(c.policy)), "IABTCF_PolicyVersion");
        APMTCFData data(app, Value::Dictionary{});
        data.readFromUserDefaults();
        CHECK(data.isAdStoragePurposeGranted() == c.storage);
        CHECK(data.isAdPersonalizationPurposeGranted() == c.personalization);
        CHECK(data.isAdUserDataPurposeGranted() == c.userData);
    }
    SUBCASE("the Info.plist switch: absent is on, a number is its value, anything else off") {
        const struct {
            Value info;
            bool enabled;
        } switches[] = {{Value::Dictionary{}, true},
                        {Value::Dictionary{{"ROZEDA_ANALYTICS_TCF_DATA_ENABLED", 0}}, false},
                        {Value::Dictionary{{"ROZEDA_ANALYTICS_TCF_DATA_ENABLED", 1}}, true},
                        {Value::Dictionary{{"ROZEDA_ANALYTICS_TCF_DATA_ENABLED", "YES"}}, false}};
        for (const auto& s : switches) {
            CHECK(APMTCFData(APMUserDefaults::sharedUserDefaults(), s.info).isTCFDataEnabled() == s.enabled);
        }
    }
}
