// Tests of name and value validation.
#include <doctest/doctest.h>

#include "measurement/foundation/data_type_validator.h"
#include "measurement/foundation/environment.h"
#include "measurement/foundation/event_parameters.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/names.h"
#include "measurement/foundation/text.h"

using namespace measurement;
using platform::Value;

TEST_CASE("public event names") {
    CHECK(APMValidatePublicEventName("kuvo_calculate") == 0);
    CHECK(APMValidatePublicEventName("kuvoAds_presented") == 0);
    CHECK(APMValidatePublicEventName(std::string(40, 'a')) == 0);
    CHECK(APMValidatePublicEventName("ad_impression") == 0);
    CHECK(APMValidatePublicEventName("screen_view") == 0);

    SUBCASE("malformed names give 2") {
        for (const std::string& name : {std::string(), std::string(41, 'a'), std::string("1abc"), std::string("_s"),
                                       std::string("a-b"), std::string("Tapped App Link"), std::string("caf\xc3\xa9")}) {
            CAPTURE(name);
            CHECK(APMValidatePublicEventName(name) == 2);
        }
    }
    SUBCASE("reserved names and prefixes give 13") {
        for (const char* name : {"rerudodo_x", "rozeda_event", "du_x", "first_open", "session_start", "user_engagement",
                                 "app_update", "in_app_purchase", "error", "ad_click"}) {
            CAPTURE(name);
            CHECK(APMValidatePublicEventName(name) == 13);
        }
        // A prefix differs from the same letters elsewhere.
        CHECK(APMValidatePublicEventName("my_rozeda_event") == 0);
        CHECK(APMValidatePublicEventName("du") == 0);
    }
    SUBCASE("parameter and user-property names") {
        CHECK(APMValidatePublicParameterName("solutionStepsCount") == 0);
        CHECK(APMValidatePublicParameterName("rozeda_x") == 14);
        CHECK(APMValidatePublicParameterName("_et") == 3);
        CHECK(APMValidatePublicParameterName(std::string(41, 'p')) == 3);
        CHECK(APMValidatePublicUserPropertyName("favourite_mode") == 0);
        CHECK(APMValidatePublicUserPropertyName("allow_personalized_ads") == 0);
        CHECK(APMValidatePublicUserPropertyName(std::string(25, 'u')) == 6);
        CHECK(APMValidatePublicUserPropertyName("first_open_time") == 15);
        CHECK(APMValidatePublicUserPropertyName("du_prop") == 15);
    }
}

TEST_CASE("name tables") {
    CHECK(APMAllowedReservedEventNames() == APMNameMap{{"ad_impression", "_ai"}});
    CHECK(APMInternalName(APMPublicToInternalEventNames(), "ad_click") == "_ac");
    CHECK(APMInternalName(APMPublicToInternalEventNames(), "screen_view") == "_vs");
    CHECK(APMPublicName(APMPublicToInternalEventNames(), "_s") == "session_start");
    CHECK(APMInternalName(publicToInternalParameterNames(), "engagement_time_msec") == "_et");
    CHECK(APMInternalName(APMUserPropertyNameMap(), "first_open_time") == "_fot");
    CHECK_FALSE(APMInternalName(APMPublicToInternalEventNames(), "kuvo_calculate"));
    // Every internal name is internal and maps back to one public name.
    for (const auto* table : {&APMPublicToInternalEventNames(), &publicToInternalParameterNames(), &APMUserPropertyNameMap()}) {
        for (const auto& [publicName, internal] : *table) {
            CHECK(internal[0] == '_');
            CHECK(APMPublicName(*table, internal) == publicName);
        }
    }
}

TEST_CASE("display forms of names for the monitor") {
    APMMonitor::shared().setDebugModeEnabled(false);
    CHECK(APMEventNameForLog("_e") == "_e");
    CHECK(APMUserPropertyNameForLog("_exp_123") == "experiment_id (_exp_123)");

    APMMonitor::shared().setDebugModeEnabled(true);
    CHECK(APMEventNameForLog("_e") == "user_engagement (_e)");
    CHECK(APMEventNameForLog("ad_click") == "ad_click (_ac)");
    CHECK(APMEventNameForLog("kuvo_calculate") == "kuvo_calculate");
    CHECK(APMUserPropertyNameForLog("_fot") == "first_open_time (_fot)");
    CHECK(APMDescriptionOfParameters({{"_et", APMValue(std::int64_t{5})}, {"x", APMValue("y")}}) ==
          "{engagement_time_msec (_et)=5, x=y}");
    APMAEU::setPublicInterfaceClassExists(false);
    CHECK(APMEventNameForLog("_e") == "_e");
    APMAEU::setPublicInterfaceClassExists(true);
    APMMonitor::shared().setDebugModeEnabled(false);
    CHECK(APMDescriptionOfParameters({{"_et", APMValue(std::int64_t{5})}}) == "{_et=5}");
}

TEST_CASE("data type validator") {
    int code = 0;
    SUBCASE("screen parameter values") {
        CHECK(APMDataTypeValidator::isValidScreenParameterValue(Value("Calculator"), &code));
        CHECK(APMDataTypeValidator::isValidScreenParameterValue(Value(std::string(500, 's')), nullptr));
        CHECK_FALSE(APMDataTypeValidator::isValidScreenParameterValue(Value(std::string(501, 's')), &code));
        CHECK(code == kAPMParameterValueTooLong);
        CHECK_FALSE(APMDataTypeValidator::isValidScreenParameterValue(Value(""), &code));
        CHECK(code == kAPMInvalidValue);
        CHECK_FALSE(APMDataTypeValidator::isValidScreenParameterValue(Value(5), &code));
        CHECK(APMDataTypeValidator::isValidScreenParameterValue(Value(std::string(120, 's')), &code, 120));
        CHECK_FALSE(APMDataTypeValidator::isValidScreenParameterValue(Value(std::string(121, 's')), nullptr, 120));
    }
    SUBCASE("conditional user properties") {
        CHECK(APMDataTypeValidator::isValidConditionalUserPropertyOrigin("app", &code));
        CHECK(APMDataTypeValidator::isValidConditionalUserPropertyOrigin("_" + std::string(31, 'o'), &code));
        CHECK_FALSE(APMDataTypeValidator::isValidConditionalUserPropertyOrigin(std::string(33, 'o'), &code));
        CHECK(code == kAPMInvalidOrigin);
        CHECK(APMDataTypeValidator::isValidConditionalUserPropertyName("_exp_1", &code));
        CHECK_FALSE(APMDataTypeValidator::isValidConditionalUserPropertyName(std::string(25, 'n'), &code));
        CHECK(code == kAPMInvalidUserPropertyName);
        CHECK_FALSE(APMDataTypeValidator::isValidConditionalUserPropertyName("a b", &code));
        CHECK(APMDataTypeValidator::isValidConditionalUserPropertyValue(Value(std::string(36, 'v')), &code));
        CHECK(APMDataTypeValidator::isValidConditionalUserPropertyValue(Value(12), &code));
        CHECK_FALSE(APMDataTypeValidator::isValidConditionalUserPropertyValue(Value(std::string(37, 'v')), &code));
        CHECK(code == kAPMUserPropertyValueTooLong);
        CHECK_FALSE(APMDataTypeValidator::isValidConditionalUserPropertyValue(Value(""), &code));
        CHECK_FALSE(APMDataTypeValidator::isValidConditionalUserPropertyValue(Value(), &code));
        CHECK(code == kAPMInvalidValue);
    }
    SUBCASE("internal user property values") {
        CHECK(APMDataTypeValidator::isValidInternalUserAttributeValue(APMValue(std::string(36, 'v')), "_npa", &code));
        CHECK_FALSE(APMDataTypeValidator::isValidInternalUserAttributeValue(APMValue(std::string(37, 'v')), "_npa", &code));
        CHECK(code == kAPMUserPropertyValueTooLong);
        CHECK(APMDataTypeValidator::isValidInternalUserAttributeValue(APMValue(std::string(256, 'v')), "_id", &code));
        CHECK(APMDataTypeValidator::isValidInternalUserAttributeValue(APMValue(std::string(256, 'v')), "_gbraid", &code));
        CHECK_FALSE(APMDataTypeValidator::isValidInternalUserAttributeValue(APMValue(std::string(257, 'v')), "_id", &code));
        CHECK(APMDataTypeValidator::isValidInternalUserAttributeValue(APMValue(std::string(512, 'v')), "_psmvalue", &code));
        CHECK_FALSE(APMDataTypeValidator::isValidInternalUserAttributeValue(APMValue(std::string(513, 'v')), "_psmvalue", &code));
        CHECK(APMDataTypeValidator::isValidInternalUserAttributeValue(APMValue(std::int64_t{1}), "_sno", &code));
        CHECK_FALSE(APMDataTypeValidator::isValidInternalUserAttributeValue(APMValue(std::vector<APMParameters>{}), "_x", &code));
        CHECK(code == kAPMInvalidValue);
    }
}

TEST_CASE("event parameters are checked, trimmed and capped") {
    APMMonitorCapture capture;

    SUBCASE("a long string is cut and the failure recorded") {
        std::string longText(510, 'x');
        auto result = APMSanitizedEventParameters(Value::Dictionary{{"note", longText}, {"n", 3}, {"flag", true}},
                                                  "kuvo_calculate", true, true);
        CHECK(result.at("note").stringValue() == std::string(500, 'x'));
        CHECK(result.at("n") == APMValue(std::int64_t{3}));
        CHECK(result.at("flag") == APMValue(std::int64_t{1}));
        CHECK(result.at("_err") == APMValue(std::int64_t{4}));
        CHECK(result.at("_ev") == APMValue("note"));
        CHECK(result.at("_el") == APMValue(std::int64_t{510}));
        CHECK(capture.count(13002) == 1);
        CHECK(capture.entriesWithCode(13002)[0].level == 3);
    }
    SUBCASE("the limit comes from the server flag and counts UTF-16 units") {
        APMEventParameterLimits limits;
        limits.maxValueLength = 100;
        std::string text = std::string(99, 'a') + "\xf0\x9f\x98\x80";
        auto result = APMSanitizedEventParameters(Value::Dictionary{{"t", text}}, "e", true, true, limits);
        CHECK(result.at("t").stringValue() == std::string(99, 'a'));
        CHECK(result.at("_el") == APMValue(std::int64_t{101}));
    }
    SUBCASE("bad names are dropped; the first failure wins") {
        auto result = APMSanitizedEventParameters(
            Value::Dictionary{{"1bad", 1}, {"rozeda_x", 2}, {"ok", 3}, {"_et", 10}, {"_secret", 4}}, "e", true, true);
        CHECK(result.count("ok"));
        CHECK(result.count("_et"));
        CHECK_FALSE(result.count("1bad"));
        CHECK_FALSE(result.count("rozeda_x"));
        CHECK_FALSE(result.count("_secret"));
        CHECK(result.at("_err") == APMValue(std::int64_t{3}));
        CHECK(result.at("_ev") == APMValue("1bad"));
        CHECK_FALSE(result.count("_el"));
        CHECK(capture.count(13001) == 3);

        auto reserved = APMSanitizedEventParameters(Value::Dictionary{{"rozeda_x", 2}}, "e", true, true);
        CHECK(reserved.at("_err") == APMValue(std::int64_t{14}));
    }
    SUBCASE("internal events take internal names") {
        auto result = APMSanitizedEventParameters(Value::Dictionary{{"_sr", 10}, {"_o", "auto"}, {"bad name", 1}},
                                                  "_e", false, true);
        CHECK(result.at("_sr") == APMValue(std::int64_t{10}));
        CHECK(result.count("_o"));
        CHECK(result.at("_err") == APMValue(std::int64_t{3}));
    }
    SUBCASE("a public event keeps at most 25 public parameters") {
        Value::Dictionary many;
        for (int i = 0; i < 30; ++i) many.emplace("p" + std::string(i < 10 ? "0" : "") + std::to_string(i), i);
        many.emplace("_o", "app");
        auto result = APMSanitizedEventParameters(many, "e", true, true);
        CHECK(result.count("p24"));
        CHECK_FALSE(result.count("p25"));
        CHECK(result.count("_o"));
        CHECK(result.at("_err") == APMValue(std::int64_t{5}));
        CHECK(result.at("_ev") == APMValue("p25"));
        CHECK(capture.count(13003) == 5);
        CHECK(APMSanitizedEventParameters(many, "_e", false, true).count("p29"));
    }
    SUBCASE("lists of dictionaries are checked element by element") {
        Value item(Value::Dictionary{{"item_id", "x"}, {"bad-name", 1}, {"nested", Value(Value::Array{})}});
        Value::Array items(205, item);
        auto result = APMSanitizedEventParameters(Value::Dictionary{{"items", Value(items)}}, "purchase", true, true);
        REQUIRE(result.at("items").isList());
        const auto& list = result.at("items").listValue();
        CHECK(list.size() == 200);
        CHECK(list[0] == APMParameters{{"item_id", APMValue("x")}});
        CHECK(result.at("_err") == APMValue(std::int64_t{17}));
        CHECK(capture.count(13001) == 200);
        CHECK(capture.hasCode(13005));

        auto mixed = APMSanitizedEventParameters(Value::Dictionary{{"items", Value(Value::Array{item, Value(1)})}},
                                                 "purchase", true, true);
        CHECK_FALSE(mixed.count("items"));
        CHECK(mixed.at("_err") == APMValue(std::int64_t{8}));
    }
    SUBCASE("other values are dropped; an existing _err stays; errors can be left out") {
        auto result = APMSanitizedEventParameters(Value::Dictionary{{"d", Value(platform::Data{{1}})}, {"z", Value()}},
                                                  "e", true, true);
        CHECK(result.size() == 2);
        CHECK(result.at("_err") == APMValue(std::int64_t{8}));
        CHECK(result.at("_ev") == APMValue("d"));

        auto kept = APMSanitizedEventParameters(Value::Dictionary{{"_err", 2}, {"x", Value()}}, "_err", false, true);
        CHECK(kept.at("_err") == APMValue(std::int64_t{2}));
        CHECK_FALSE(kept.count("_ev"));

        auto quiet = APMSanitizedEventParameters(Value::Dictionary{{"1bad", 1}}, "screen_view", true, false);
        CHECK(quiet.empty());
    }
    SUBCASE("typed values go through the same checks") {
        auto result = APMSanitizedEventParameters(APMParameters{{"v", APMValue(1.5)}, {"s", APMValue(std::string(600, 's'))}},
                                                  "e", true, true);
        CHECK(result.at("v") == APMValue(1.5));
        CHECK(APMUTF16Length(result.at("s").stringValue()) == 500);
    }
}

TEST_CASE("screen parameters") {
    CHECK(APMHasScreenParameters(APMParameters{{"_sn", APMValue("Calculator")}}));
    CHECK(APMHasScreenParameters(Value::Dictionary{{"_si", 4}}));
    CHECK(APMHasScreenParameters(Value::Dictionary{{"_sc", "CalculateViewController"}, {"x", 1}}));
    CHECK_FALSE(APMHasScreenParameters(Value::Dictionary{{"screen_name", "x"}, {"_s", 1}}));
    CHECK_FALSE(APMHasScreenParameters(APMParameters{}));
}
