// Flags, experiments, snapshots and SDK properties: their conversions, refusals and message forms.
#include <doctest/doctest.h>

#include "measurement/experiments/experiments_codes.h"
#include "measurement/experiments/experiments_test_support.h"
#include "measurement/experiments/flag_values.h"

using namespace measurement;
using namespace measurement::experiments_test;
using platform::Value;

namespace {

constexpr int field(int tag) { return APMPBFieldIndexForTag(tag); }

struct FieldValues {
    std::optional<std::int64_t> integer;
    std::optional<std::string> text;
    std::optional<double> real;
    std::optional<bool> boolean;
};

APMPBFlag flagWith(const FieldValues& values) {
    APMPBFlag flag;
    NANOSetString(flag, field(nano_APMPBFlag_name_tag), std::string("f"));
    if (values.integer) NANOSetInt64(flag, field(nano_APMPBFlag_int_value_tag), *values.integer);
    if (values.text) NANOSetString(flag, field(nano_APMPBFlag_string_value_tag), values.text);
    if (values.real) NANOSetDouble(flag, field(nano_APMPBFlag_double_value_tag), *values.real);
    if (values.boolean) NANOSetBool(flag, field(nano_APMPBFlag_bool_value_tag), *values.boolean);
    return flag;
}

class DynamicProperties : public APMESDKPropertyProviderDelegate {
public:
    std::optional<APMECustomProperties> dynamicCustomPropertiesForSDKProperty(const APMESDKProperty&) override {
        return APMECustomProperties{{"b", "dynamic"}, {"c", "3"}};
    }
};

std::vector<std::pair<std::string, std::string>> customOf(const APMPBClientProperty& client) {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const auto& entry :
         NANOGetArray<APMPBCustomProperty>(client, field(nano_APMPBClientProperty_custom_properties_tag))) {
        pairs.emplace_back(NANOGetString(entry, field(nano_APMPBCustomProperty_key_tag)).value_or(""),
                           NANOGetString(entry, field(nano_APMPBCustomProperty_value_tag)).value_or(""));
    }
    return pairs;
}

}  // namespace

TEST_CASE("a flag's value is the first field set: integer, double, string, Boolean") {
    struct Case {
        FieldValues fields;
        std::optional<Value> value;
    };
    const std::vector<Case> cases = {
        {{7, "x", std::nullopt, std::nullopt}, Value(7)},
        {{std::nullopt, "x", std::nullopt, true}, Value("x")},
        {{std::nullopt, "x", 0.5, std::nullopt}, Value(0.5)},
        {{std::nullopt, std::nullopt, std::nullopt, false}, Value(false)},
        {{}, std::nullopt},
    };
    for (const auto& c : cases) {
        CHECK(flagValueFromMessage(flagWith(c.fields)) == c.value);
    }
    CHECK_FALSE(flagValueFromMessage(nullptr));
}

TEST_CASE("a flag message from a name and a value") {
    struct Case {
        Value name, value;
        std::optional<FieldValues> fields;  // none: refused
        long code;
    };
    const std::vector<Case> cases = {
        {Value("f"), Value(true), FieldValues{1, {}, {}, {}}, 0},
        {Value("f"), Value(false), FieldValues{0, {}, {}, {}}, 0},
        {Value("f"), Value(1.5), FieldValues{{}, {}, 1.5, {}}, 0},
        {Value("f"), Value(-9), FieldValues{-9, {}, {}, {}}, 0},
        {Value("f"), Value("on"), FieldValues{{}, "on", {}, {}}, 0},
        {Value(), Value(1), std::nullopt, kAPMEFlagNilNameCode},
        {Value(3), Value(1), std::nullopt, kAPMEFlagNameNotStringCode},
        {Value("f"), Value(), std::nullopt, kAPMEFlagInvalidValueCode},
        {Value("f"), Value(Value::Array{}), std::nullopt, kAPMEFlagInvalidValueCode},
    };
    for (const auto& c : cases) {
        CAPTURE(c.value);
        APMMonitorCapture capture;
        const auto made = flagMessageWithNameValue(c.name, c.value);
        CHECK(made.has_value() == c.fields.has_value());
        if (made) {
            CHECK(made->protoBuffer() == flagWith(*c.fields).protoBuffer());
        } else {
            CHECK(capture.codes() == std::vector<long>{c.code});
        }
    }
}

TEST_CASE("experiments: IDs, flags by name, refusals, message form") {
    SUBCASE("IDs") {
        struct Case {
            Value id;
            std::optional<std::int32_t> made;
            long code;
        };
        const std::vector<Case> cases = {
            {Value(7), 7, 0},
            {Value(7.0), 7, 0},
            {Value(-2147483648LL), INT32_MIN, 0},
            {Value(), std::nullopt, kAPMEExperimentNilIDCode},
            {Value("7"), std::nullopt, kAPMEExperimentIDNotNumberCode},
            {Value(7.5), std::nullopt, kAPMEExperimentIDNotNumberCode},
            {Value(2147483648LL), std::nullopt, kAPMEExperimentIDNotNumberCode},
        };
        for (const auto& c : cases) {
            CAPTURE(c.id);
            APMMonitorCapture capture;
            const auto experiment = APMEExperiment::initWithExperimentID(c.id, std::vector<APMPBFlag>{});
            CHECK((experiment ? std::optional<std::int32_t>(experiment->experimentID()) : std::nullopt) == c.made);
            if (!c.made) CHECK(capture.codes() == std::vector<long>{c.code});
        }
        APMMonitorCapture capture;
        CHECK_FALSE(APMEExperiment::initWithExperimentID(Value(1), std::nullopt));
        CHECK(capture.hasCode(kAPMEExperimentInvalidFlagsCode));
    }
    SUBCASE("flags: a later one of a name replaces the earlier; nameless ones are left out") {
        APMMonitorCapture capture;
        auto experiment =
            APMEExperiment::initWithExperimentID(Value(3), std::vector{flag("a", 1), APMPBFlag(), flag("a", 2)});
        REQUIRE(experiment);
        CHECK(experiment->flags().size() == 1);
        CHECK(flagValueFromMessage(experiment->flagWithName("a").value()) == Value(2));
        CHECK(capture.count(kAPMEExperimentAddNamelessFlagCode) == 1);
        experiment->addFlag(std::nullopt);
        CHECK_FALSE(experiment->flagWithName(""));
        CHECK(capture.hasCode(kAPMEExperimentAddNilFlagCode));
        CHECK(capture.hasCode(kAPMEExperimentEmptyFlagNameCode));
        // The message form decodes back to the same experiment.
        const auto back = APMEExperiment::initWithProtobuf(*APMPBExperiment::initWithBuffer(experiment->proto().protoBuffer()));
        REQUIRE(back);
        CHECK(back->experimentID() == 3);
        CHECK(back->description() == experiment->description());
    }
    SUBCASE("an Experiment message without an ID gives experiment 0") {
        const auto experiment = APMEExperiment::initWithProtobuf(APMPBExperiment());
        REQUIRE(experiment);
        CHECK(experiment->experimentID() == 0);
    }
}

TEST_CASE("snapshots: from messages, flags by name, adding flags, copies") {
    platform::dispatch::ManualTime time(true, kStart);
    SUBCASE("two experiments of one ID: the later one is kept") {
        const auto made = snapshot("sdk", {experimentMessage(4, {flag("a", 1)}), experimentMessage(4, {flag("a", 2)})});
        REQUIRE(made.experiments().size() == 1);
        CHECK(flagValueFromMessage(made.flagByName("a").value()) == Value(2));
        CHECK(made.timestamp() == kStart);
        CHECK_FALSE(made.manuallyActivated());
    }
    SUBCASE("refusals") {
        APMMonitorCapture capture;
        CHECK_FALSE(APMESnapshot::initWithProtobuf(snapshotMessage("", {})));
        CHECK_FALSE(APMESnapshot::initWithSDKName(Value(5), std::vector<APMEExperiment>{}));
        CHECK_FALSE(APMESnapshot::initWithSDKName(Value("sdk"), std::nullopt));
        auto made = snapshot("sdk", {});
        made.addFlag(flag("a", 1), std::nullopt);
        made.addFlag(std::nullopt, 3);
        CHECK(capture.codes() == std::vector<long>{840000, 840000, 840001, 840003, 840004});
        CHECK_FALSE(made.hasExperiments());
    }
    SUBCASE("a flag by name comes from the lowest experiment ID that has it") {
        const auto made = snapshot("sdk", {experimentMessage(9, {flag("a", 9)}), experimentMessage(2, {flag("a", 2)})});
        CHECK(flagValueFromMessage(made.flagByName("a").value()) == Value(2));
        CHECK_FALSE(made.flagByName("b"));
    }
    SUBCASE("adding flags: a new ID makes the experiment, an existing one takes the flag over its namesake") {
        auto made = snapshot("sdk", {experimentMessage(1, {flag("a", 1)})});
        made.addFlags({flag("a", 10), flag("b", 11)}, 1);
        made.addFlag(flag("c", 12), 2);
        made.addFlag(APMPBFlag(), 3);
        CHECK(made.description() == "sdk: [1 {a=10, b=11}, 2 {c=12}]");
    }
    SUBCASE("a copy keeps name and experiments but takes the time of copying and a clear mark") {
        auto made = snapshot("sdk", {experimentMessage(1, {flag("a", "x")})});
        made.setTimestamp(5);
        made.setManuallyActivated(true);
        time.advance(60);
        const auto copy = made.copy();
        CHECK(copy.description() == made.description());
        CHECK(copy.timestamp() == kStart + 60);
        CHECK_FALSE(copy.manuallyActivated());
        // The message form round-trips.
        const auto back = APMESnapshot::initWithProtobuf(*APMPBSnapshot::initWithBuffer(made.proto().protoBuffer()));
        REQUIRE(back);
        CHECK(back->description() == "sdk: [1 {a=\"x\"}]");
    }
}

TEST_CASE("an SDK property's client-property entry") {
    APMESDKProperty property("sdk");
    property.setVersion(42);
    const auto identity = [] { return std::optional<std::string>("ident"); };
    struct Case {
        const char* name;
        std::optional<std::string> ownKey;
        bool identityKnown;
        std::optional<std::string> diversionID;
    };
    const std::vector<Case> cases = {
        {"own key", "own12", true, "own12-sdk"},
        {"empty own key: the identity's", "", true, "ident-sdk"},
        {"no own key: the identity's", std::nullopt, true, "ident-sdk"},
        {"neither", std::nullopt, false, std::nullopt},
    };
    for (const auto& c : cases) {
        CAPTURE(c.name);
        APMMonitorCapture capture;
        property.setDiversionKey(c.ownKey);
        const auto client = property.proto(c.identityKnown ? std::function(identity) : nullptr);
        CHECK((client ? NANOGetString(*client, field(nano_APMPBClientProperty_diversion_id_tag)) : std::nullopt) ==
              c.diversionID);
        CHECK(capture.hasCode(kAPMESDKPropertyNoDiversionKeyCode) == !c.diversionID);
    }
    SUBCASE("app ID, version and custom properties, the dynamic ones over the static ones") {
        property.setDiversionKey("k");
        auto bare = property.proto(nullptr);
        REQUIRE(bare);
        CHECK_FALSE(NANOHasField(*bare, field(nano_APMPBClientProperty_app_id_tag)));
        CHECK(customOf(*bare).empty());
        CHECK(NANOGetInt64(*bare, field(nano_APMPBClientProperty_sdk_version_tag)) == 42);
        property.setAppID("velmora-test-ios");
        property.setCustomProperties(APMECustomProperties{{"a", "static"}, {"b", "static"}});
        auto provider = std::make_shared<DynamicProperties>();
        property.setDelegate(provider);
        const auto full = property.proto(nullptr);
        REQUIRE(full);
        CHECK(NANOGetString(*full, field(nano_APMPBClientProperty_app_id_tag)) == "velmora-test-ios");
        CHECK(customOf(*full) == std::vector<std::pair<std::string, std::string>>{
                                     {"a", "static"}, {"b", "dynamic"}, {"c", "3"}});
        provider.reset();
        CHECK(customOf(*property.proto(nullptr)).size() == 2);
    }
}
