// Tests of the records: events, aggregates, daily counts and user properties.
#include <doctest/doctest.h>

#include <cmath>
#include <limits>

#include "measurement/foundation/daily_counts.h"
#include "measurement/foundation/event.h"
#include "measurement/foundation/event_aggregates.h"
#include "measurement/foundation/user_attribute.h"

using namespace measurement;
using platform::Value;

TEST_CASE("values convert from plain objects and read back by kind") {
    SUBCASE("strings, integers, booleans and reals") {
        auto text = APMValue::valueFromObject(Value("abc"));
        REQUIRE(text);
        CHECK(text->isString());
        CHECK(text->stringValue() == "abc");
        CHECK(text->int64Value() == 0);
        auto integer = APMValue::valueFromObject(Value(42));
        REQUIRE(integer);
        CHECK(integer->isInt64());
        CHECK(integer->doubleValue() == 42.0);
        CHECK(integer->stringValue() == "42");
        auto flag = APMValue::valueFromObject(Value(true));
        REQUIRE(flag);
        CHECK(flag->isInt64());
        CHECK(flag->int64Value() == 1);
        auto real = APMValue::valueFromObject(Value(2.5));
        REQUIRE(real);
        CHECK(real->isDouble());
        CHECK(real->stringValue() == "2.5");
    }
    SUBCASE("lists of dictionaries, and what does not convert") {
        Value list(Value::Array{Value(Value::Dictionary{{"item_id", "a"}, {"price", 1.5}}),
                                Value(Value::Dictionary{{"quantity", 2}})});
        auto converted = APMValue::valueFromObject(list);
        REQUIRE(converted);
        REQUIRE(converted->isList());
        REQUIRE(converted->listValue().size() == 2);
        CHECK(converted->listValue()[0].at("price") == APMValue(1.5));
        CHECK(converted->listValue()[1].at("quantity") == APMValue(std::int64_t{2}));
        CHECK(converted->objectValue() == Value(Value::Array{Value(Value::Dictionary{{"item_id", "a"}, {"price", 1.5}}),
                                                            Value(Value::Dictionary{{"quantity", 2}})}));
        CHECK_FALSE(APMValue::valueFromObject(Value(Value::Array{Value(1)})));
        CHECK_FALSE(APMValue::valueFromObject(Value(Value::Array{Value(Value::Dictionary{{"x", Value()}})})));
        CHECK_FALSE(APMValue::valueFromObject(Value()));
        CHECK_FALSE(APMValue::valueFromObject(Value(platform::Data{{1, 2}})));
        CHECK_FALSE(APMValue::valueFromObject(Value(Value::Dictionary{{"a", 1}})));
    }
    SUBCASE("doubles convert to integers without undefined behaviour") {
        CHECK(APMValue(std::nan("")).int64Value() == 0);
        CHECK(APMValue(1e300).int64Value() == std::numeric_limits<std::int64_t>::max());
        CHECK(APMValue(-1e300).int64Value() == std::numeric_limits<std::int64_t>::min());
        CHECK(APMValue(9223372036854775807.0).int64Value() == std::numeric_limits<std::int64_t>::max());
        CHECK(APMValue(-9223372036854775808.0).int64Value() == std::numeric_limits<std::int64_t>::min());
        CHECK(APMValue(-2.9).int64Value() == -2);
        CHECK(APMSaturatingInt32(3e9) == std::numeric_limits<std::int32_t>::max());
        CHECK(APMSaturatingInt32(-1e20) == std::numeric_limits<std::int32_t>::min());
        CHECK(APMSaturatingInt32(std::numeric_limits<double>::infinity()) ==
              std::numeric_limits<std::int32_t>::max());
        CHECK(APMMillisecondsFromSeconds(1700000000.1234) == 1700000000123);
        CHECK(APMMillisecondsFromSeconds(-0.0019) == -1);
        CHECK(APMMillisecondsFromSeconds(std::nan("")) == 0);
    }
}

TEST_CASE("an event carries its origin as _o and converts to its message") {
    APMEvent event("app", true, "kuvo_calculate", 1700000000.1234, 0,
                   Value::Dictionary{{"solutionStepsCount", 7},
                                     {"error_case", "mustBeLessThanX§200"},
                                     {"ratio", 0.5},
                                     {"items", Value(Value::Array{Value(Value::Dictionary{{"id", "x"}})})},
                                     {"skipped", Value()}});
    CHECK(event.origin() == "app");
    CHECK(event.isPublic());
    REQUIRE(event.parameter("_o"));
    CHECK(event.parameter("_o")->stringValue() == "app");
    CHECK_FALSE(event.parameter("skipped"));
    CHECK(event.parameters().size() == 5);

    SUBCASE("the message holds name, parameters in name order and whole milliseconds") {
        auto proto = event.protoEvent();
        CHECK(NANOGetString(proto, 1) == "kuvo_calculate");
        CHECK(NANOGetInt64(proto, 2) == 1700000000123);
        CHECK_FALSE(NANOHasField(proto, 3));
        auto params = NANOGetArray<APMPBEventParam>(proto, 0);
        REQUIRE(params.size() == 5);
        CHECK(NANOGetString(params[0], 0) == "_o");
        CHECK(NANOGetString(params[1], 0) == "error_case");
        CHECK(NANOGetString(params[1], 1) == "mustBeLessThanX§200");
        CHECK(NANOGetString(params[2], 0) == "items");
        CHECK(NANOGetArray<APMPBEventParamDictionary>(params[2], 4).size() == 1);
        CHECK(NANOGetDouble(params[3], 3) == 0.5);
        CHECK(NANOGetInt64(params[4], 2) == 7);
        CHECK(APMParametersFromProtoEvent(proto) == event.parameters());

        auto later = event.copyWithPreviousTimestamp(1699999999.5).protoEvent();
        CHECK(NANOGetInt64(later, 3) == 1699999999500);
    }
    SUBCASE("real-time and conversion flags are the record's own") {
        APMEvent copy = event;
        copy.setRealtime(true);
        copy.setConversion(true);
        CHECK(copy.isRealtime());
        CHECK(copy.isConversion());
        CHECK_FALSE(event.isRealtime());
        CHECK(copy.protoEvent() == event.protoEvent());
    }
}

TEST_CASE("events convert to and from what editing programs see") {
    SUBCASE("internal names show as public names and come back") {
        APMEvent engagement("auto", false, "_e", 1700000000.5, 1699999000, APMParameters{{"_et", APMValue(std::int64_t{1200})}});
        APMPEvent edit = engagement.editEvent();
        CHECK(edit.name() == "user_engagement");
        CHECK(edit.timestamp() == 1700000000.5);
        CHECK(edit.parameters().at("_et") == Value(1200));
        CHECK(edit.parameters().at("_o") == Value("auto"));

        edit.parameters()["_et"] = Value(1500);
        APMEvent back = APMEvent::eventFromEditEvent(edit);
        CHECK(back.name() == "_e");
        CHECK(back.origin() == "auto");
        CHECK_FALSE(back.isPublic());
        CHECK(back.previousTimestamp() == 0);
        CHECK(back.timestamp() == 1700000000.5);
        CHECK(*back.parameter("_et") == APMValue(std::int64_t{1500}));
    }
    SUBCASE("names without a public form stay; a missing or non-string _o gives app") {
        APMPEvent created("my_event", 3.0, Value::Dictionary{{"_o", 5}, {"n", 2.0}});
        APMEvent event = APMEvent::eventFromEditEvent(created);
        CHECK(event.name() == "my_event");
        CHECK(event.origin() == "app");
        CHECK(event.parameter("_o")->stringValue() == "app");
        CHECK(APMEvent::eventFromEditEvent(APMPEvent("session_start", 1, {})).name() == "_s");
        CHECK(APMEvent::eventFromEditEvent(APMPEvent("x", 1, {})).origin() == "app");
        CHECK(APMEvent("app", true, "unmapped", 0, 0, APMParameters{}).editEvent().name() == "unmapped");
    }
}

TEST_CASE("user properties convert to their message") {
    auto check = [](const APMValue& value, int setIndex) {
        APMUserAttribute attribute("auto", "_fot", value, 1700000000.25);
        auto proto = attribute.protoUserAttribute();
        CHECK(NANOGetInt64(proto, 0) == 1700000000250);
        CHECK(NANOGetString(proto, 1) == "_fot");
        for (int index = 2; index <= 4; ++index) CHECK(NANOHasField(proto, index) == (index == setIndex));
        return proto;
    };
    CHECK(NANOGetString(check(APMValue("YES"), 2), 2) == "YES");
    CHECK(NANOGetInt64(check(APMValue(std::int64_t{1700000000000}), 3), 3) == 1700000000000);
    CHECK(NANOGetDouble(check(APMValue(0.75), 4), 4) == 0.75);
    check(APMValue(std::vector<APMParameters>{}), -1);
}

TEST_CASE("event aggregates count up and restart at 0 instead of overflowing") {
    APMEventAggregates aggregates("_e", 2147483646, 0, 5, 1700000000);
    aggregates.incrementLifetimeCount();
    CHECK(aggregates.lifetimeCount() == 2147483647);
    aggregates.incrementLifetimeCount();
    CHECK(aggregates.lifetimeCount() == 0);
    aggregates.incrementCurrentBundleCount();
    aggregates.incrementCurrentSessionCount();
    CHECK(aggregates.currentBundleCount() == 1);
    CHECK(aggregates.currentSessionCount() == 6);
    aggregates.setCurrentSessionCount(2147483647);
    aggregates.incrementCurrentSessionCount();
    CHECK(aggregates.currentSessionCount() == 0);
    CHECK_FALSE(aggregates.lastSampledComplexEventID());
    CHECK(aggregates.lastBundledDay() == 0);
}

TEST_CASE("the day index counts whole days after the midnight offset") {
    // 2023-11-14 22:13:20 UTC is day 19675 since 1970.
    constexpr double kTime = 1700000000.0;
    CHECK(APMDayIndex(kTime, 0) == 19675);
    CHECK(APMDayIndex(19676 * 86400.0 - 0.001, 0) == 19675);
    CHECK(APMDayIndex(19676 * 86400.0, 0) == 19676);
    // A midnight two hours later than UTC keeps 00:30 UTC in the day before.
    CHECK(APMDayIndex(19676 * 86400.0 + 1800, 7200) == 19675);
    // A midnight before UTC's starts the next day early.
    CHECK(APMDayIndex(19676 * 86400.0 - 1800, -3600) == 19676);
    // Before 1970 the days are negative, rounded down.
    CHECK(APMDayIndex(-1, 0) == -1);
    CHECK(APMDayIndex(std::numeric_limits<double>::quiet_NaN(), 0) == 0);
    CHECK(APMDayIndex(std::numeric_limits<double>::infinity(), 0) == 0);
}

TEST_CASE("daily counts start over on a new day") {
    APMDailyCounts counts(19000, 3, 10, 6, 1, 4, 1);
    counts.incrementCountsForCurrentDay(19000, true, true);
    CHECK(counts == APMDailyCounts(19000, 4, 11, 7, 1, 4, 1));
    counts.incrementCountsForCurrentDay(19000, false, false);
    CHECK(counts.allEventsCount() == 12);
    CHECK(counts.publicEventsCount() == 7);

    counts.incrementRealtimeCountsForCurrentDay(19001);
    CHECK(counts == APMDailyCounts(19001, 0, 0, 0, 0, 1, 0));
    counts.incrementDCURealtimeCountsForCurrentDay(19001);
    counts.incrementDCURealtimeCountsForCurrentDay(19001);
    CHECK(counts.dcuRealtimeCount() == 2);
    counts.incrementCountsForCurrentDay(19002, false, true);
    CHECK(counts == APMDailyCounts(19002, 1, 1, 0, 0, 0, 0));
    // A conversion raised without counting another event.
    counts.decrementAllEventsCount();
    CHECK(counts.allEventsCount() == 0);
    counts.decrementAllEventsCount();
    CHECK(counts.allEventsCount() == 0);

    APMDailyCounts full(5, 0, std::numeric_limits<std::int64_t>::max(), 0, 0, 0, 0);
    full.incrementCountsForCurrentDay(5, false, false);
    CHECK(full.allEventsCount() == 0);
}
