// Tests of event sampling.
#include <doctest/doctest.h>

#include "measurement/upload/bundler_test_support.h"
#include "measurement/upload/event_sampling.h"
#include "testsupport/test_hooks.h"

using namespace measurement;
using namespace bundle_tag;
using namespace upload_test;

namespace {

// 1700000000 is 2023-11-14 22:13:20 UTC, day 19675; the next day starts at
// 1700006400.
constexpr double kT = 1700000000.0;
constexpr std::int32_t kDay = 19675;
constexpr double kNextDay = 1700006400.0;

// Runs the sampler over the events on the worker queue.
std::vector<APMPBEvent> sample(BundlerFixture& f, const std::vector<APMPBEvent>& events) {
    std::optional<std::vector<APMPBEvent>> kept;
    f.onWorker([&] {
        APMEventSampler sampler(*f.database, *f.config, [&](std::uint32_t bound) { return f.roll(bound); });
        kept = sampler.sampleEvents(events, nullptr);
    });
    REQUIRE(kept);
    return *kept;
}

APMPBEvent protoEvent(const std::string& name, double timestamp, double previous = 0, APMParameters parameters = {}) {
    return makeEvent(name, timestamp, std::move(parameters)).copyWithPreviousTimestamp(previous).protoEvent();
}

void storeAggregates(BundlerFixture& f, const APMEventAggregates& aggregates) {
    f.onWorker([&] { REQUIRE(f.database->updateEventAggregates(aggregates, nullptr)); });
}

APMEventAggregates withBundledDay(APMEventAggregates aggregates, std::int32_t day) {
    aggregates.setLastBundledDay(day);
    return aggregates;
}

std::optional<std::int64_t> intParameter(const APMPBEvent& event, const std::string& name) {
    const auto parameters = APMParametersFromProtoEvent(event);
    const auto found = parameters.find(name);
    if (found == parameters.end() || !found->second.isInt64()) return std::nullopt;
    return found->second.int64Value();
}

ConfigBuilder samplingConfig(std::int32_t rate) {
    ConfigBuilder builder;
    builder.setting("measurement.event_sampling_enabled", "true").event("kuvo_calculate", std::nullopt, std::nullopt, rate);
    return builder;
}

}  // namespace

TEST_CASE("which events can be sampled") {
    BundlerFixture f;
    storeAggregates(f, APMEventAggregates("kuvo_calculate", 1, 1, 1, kT));

    SUBCASE("a rate of 1, 0 or above 65535 never samples and is reported") {
        for (std::int32_t rate : {1, 0, 70000}) {
            f.configure(samplingConfig(rate));
            f.capture.clear();
            const auto kept = sample(f, {protoEvent("kuvo_calculate", kT), protoEvent("kuvo_calculate", kT + 1)});
            CHECK(kept.size() == 2);
            CHECK(f.capture.count(kAPMSamplingInvalidRateCode) == 2);
            CHECK_FALSE(intParameter(kept[0], "_sr"));
        }
        CHECK(f.rollBounds.empty());
    }
    SUBCASE("sampling switched off: no roll, no parameter") {
        f.configure(ConfigBuilder().event("kuvo_calculate", std::nullopt, std::nullopt, 4));
        f.rolls = {1, 1};
        const auto kept = sample(f, {protoEvent("kuvo_calculate", kT)});
        CHECK(kept.size() == 1);
        CHECK(f.rollBounds.empty());
        CHECK_FALSE(intParameter(kept[0], "_sr"));
    }
    SUBCASE("a name without a rate is kept and its day recorded") {
        f.configure(samplingConfig(4));
        storeAggregates(f, APMEventAggregates("kuvo_got_error", 3, 1, 1, kT - 5));
        const auto kept = sample(f, {protoEvent("kuvo_got_error", kT)});
        CHECK(kept.size() == 1);
        CHECK(f.rollBounds.empty());
        const auto aggregates = f.aggregates("kuvo_got_error");
        CHECK(aggregates->lastBundledDay() == kDay);
        CHECK(aggregates->lastBundledTimestamp() == kT);
        CHECK(aggregates->lifetimeCount() == 3);
        CHECK(aggregates->lastFireTimestamp() == kT - 5);
    }
    SUBCASE("an event without a name is dropped") {
        APMPBEvent nameless;
        NANOSetInt64(nameless, event_field::kTimestamp, 1000);
        const auto kept = sample(f, {nameless, protoEvent("kuvo_calculate", kT)});
        CHECK(kept.size() == 1);
        CHECK(f.capture.hasCode(kAPMSamplingEventWithoutNameCode));
    }
}

TEST_CASE("sampling at a rate with the first event of a new day exempt") {
    BundlerFixture f;
    f.configure(samplingConfig(4));

    SUBCASE("a roll that keeps adds _sr alone") {
        storeAggregates(f, withBundledDay(APMEventAggregates("kuvo_calculate", 9, 1, 1, kT), kDay));
        f.rolls = {0};
        const auto kept = sample(f, {protoEvent("kuvo_calculate", kT)});
        REQUIRE(kept.size() == 1);
        CHECK(f.rollBounds == std::vector<std::uint32_t>{4});
        CHECK(intParameter(kept[0], "_sr") == 4);
        CHECK_FALSE(intParameter(kept[0], "_efs"));
        CHECK(f.aggregates("kuvo_calculate")->lastSamplingRate() == 4);
    }
    SUBCASE("a losing roll on a day already bundled drops the event") {
        storeAggregates(f, withBundledDay(APMEventAggregates("kuvo_calculate", 9, 1, 1, kT), kDay));
        f.rolls = {3};
        CHECK(sample(f, {protoEvent("kuvo_calculate", kT + 10)}).empty());
        const auto aggregates = f.aggregates("kuvo_calculate");
        CHECK(aggregates->lastSamplingRate() == 4);
        CHECK(aggregates->lastBundledDay() == kDay);
        CHECK(aggregates->lastBundledTimestamp() == 0);
        CHECK_FALSE(aggregates->lastExemptFromSampling());
    }
    SUBCASE("never bundled, no previous time: the day of time 0 differs, so it is kept and exempt") {
        storeAggregates(f, APMEventAggregates("kuvo_calculate", 1, 1, 1, kT));
        f.rolls = {1};
        const auto kept = sample(f, {protoEvent("kuvo_calculate", kT)});
        REQUIRE(kept.size() == 1);
        CHECK(intParameter(kept[0], "_sr") == 4);
        CHECK(intParameter(kept[0], "_efs") == 1);
        const auto aggregates = f.aggregates("kuvo_calculate");
        CHECK(aggregates->lastExemptFromSampling());
        CHECK(aggregates->lastBundledDay() == kDay);
        CHECK(aggregates->lastBundledTimestamp() == kT);
    }
    SUBCASE("never bundled: the previous time's day decides") {
        storeAggregates(f, APMEventAggregates("kuvo_calculate", 2, 1, 1, kT - 60));
        f.rolls = {1, 1};
        CHECK(sample(f, {protoEvent("kuvo_calculate", kT, kT - 60)}).empty());
        CHECK(sample(f, {protoEvent("kuvo_calculate", kT, kT - 86400)}).size() == 1);
    }
    SUBCASE("two losing events of a name on a new day: the first is kept exempt, the second dropped") {
        storeAggregates(f, withBundledDay(APMEventAggregates("kuvo_calculate", 9, 1, 1, kT - 86400), kDay - 1));
        f.rolls = {2, 2};
        const auto kept = sample(f, {protoEvent("kuvo_calculate", kT), protoEvent("kuvo_calculate", kT + 5)});
        REQUIRE(kept.size() == 1);
        CHECK(NANOGetInt64(kept[0], event_field::kTimestamp) == 1700000000000LL);
        CHECK(intParameter(kept[0], "_efs") == 1);
        CHECK(f.aggregates("kuvo_calculate")->lastBundledDay() == kDay);
    }
    SUBCASE("the complex event ID of a dropped event is remembered, and cleared by a kept one") {
        storeAggregates(f, withBundledDay(APMEventAggregates("kuvo_calculate", 9, 1, 1, kT), kDay));
        f.rolls = {1};
        CHECK(sample(f, {protoEvent("kuvo_calculate", kT, 0, intParameters({{"_eid", 77}}))}).empty());
        CHECK(f.aggregates("kuvo_calculate")->lastSampledComplexEventID() == 77);
        f.rolls = {0};
        CHECK(sample(f, {protoEvent("kuvo_calculate", kT + 1)}).size() == 1);
        CHECK_FALSE(f.aggregates("kuvo_calculate")->lastSampledComplexEventID());
    }
    SUBCASE("the day follows the account's time zone") {
        const double lateEvening = kNextDay - 1800;  // 23:30 UTC
        storeAggregates(f, withBundledDay(APMEventAggregates("kuvo_calculate", 9, 1, 1, kT), kDay + 1));
        f.rolls = {1};
        SUBCASE("UTC: a new day for this name's record, kept exempt") {
            CHECK(sample(f, {protoEvent("kuvo_calculate", lateEvening)}).size() == 1);
            CHECK(f.aggregates("kuvo_calculate")->lastBundledDay() == kDay);
        }
        SUBCASE("one hour ahead: 23:30 UTC is already the next day, dropped") {
            f.configure(samplingConfig(4).setting("measurement.account.time_zone_offset_minutes", "60"));
            CHECK(sample(f, {protoEvent("kuvo_calculate", lateEvening)}).empty());
        }
    }
    SUBCASE("a parameter already present is not added twice") {
        storeAggregates(f, withBundledDay(APMEventAggregates("kuvo_calculate", 9, 1, 1, kT), kDay));
        const auto kept = sample(f, {protoEvent("kuvo_calculate", kT, 0, intParameters({{"_sr", 9}}))});
        REQUIRE(kept.size() == 1);
        CHECK(intParameter(kept[0], "_sr") == 9);
        CHECK(NANOGetArray<APMPBEventParam>(kept[0], event_field::kParams).size() == 2);  // "_o" and "_sr"
        CHECK(f.capture.hasCode(kAPMSamplingParameterExistsCode));
    }
}

TEST_CASE("aggregates that cannot be read or written give nothing, with the database's error") {
    // The failure is made with a trigger of the test's own.
    const test_hooks::FileTriggersRun triggersRun;

    BundlerFixture f;
    f.configure(samplingConfig(4));
    storeAggregates(f, withBundledDay(APMEventAggregates("kuvo_calculate", 9, 1, 1, kT), kDay));
    long code = 0;
    SUBCASE("unreadable") {
        f.execute("ALTER TABLE events RENAME TO events_away");
        code = kAPMSamplingAggregatesCacheFailedCode;
    }
    SUBCASE("unwritable") {
        f.refuse("keep_aggregates", "BEFORE INSERT ON events");
        code = kAPMSamplingAggregatesWriteFailedCode;
    }
    std::optional<std::vector<APMPBEvent>> kept;
    std::optional<APMError> error;
    f.onWorker([&] {
        APMEventSampler sampler(*f.database, *f.config, [](std::uint32_t) { return 0u; });
        kept = sampler.sampleEvents({protoEvent("kuvo_calculate", kT)}, &error);
    });
    CHECK_FALSE(kept);
    CHECK(error);
    CHECK(f.capture.count(code) == 1);
}

TEST_CASE("sampling inside bundling") {
    // The failure is made with a trigger of the test's own.
    const test_hooks::FileTriggersRun triggersRun;

    BundlerFixture f;
    f.configure(samplingConfig(10));
    const auto fp = f.storeHeader(makeHeader());
    f.onWorker([&] {
        auto aggregates = APMEventAggregates("kuvo_calculate", 1, 1, 1, kT - 100);
        aggregates.setLastBundledDay(kDay);
        REQUIRE(f.database->updateEventAggregates(aggregates, nullptr));
    });

    SUBCASE("every event sampled out: the rows go, no bundle, raw events consumed") {
        f.rolls = {5, 5};
        f.storeEvent(makeEvent("kuvo_calculate", kT), fp);
        f.storeEvent(makeEvent("kuvo_calculate", kT + 1), fp);
        CHECK(f.bundle());
        CHECK(f.capture.hasCode(kAPMBundlingNothingLeftAfterSamplingCode));
        CHECK(f.queued().empty());
        CHECK(f.count("raw_events") == 0);
        const auto aggregates = f.aggregates("kuvo_calculate");
        CHECK(aggregates->lifetimeCount() == 3);
        CHECK(aggregates->lastSamplingRate() == 10);
    }
    SUBCASE("kept events carry _sr, the others are left out") {
        f.rolls = {0, 4};
        f.storeEvent(makeEvent("kuvo_calculate", kT), fp);
        f.storeEvent(makeEvent("kuvo_calculate", kT + 1), fp);
        f.storeEvent(makeEvent("kuvo_got_error", kT + 2), fp);
        CHECK(f.bundle());
        const auto events = NANOGetArray<APMPBEvent>(f.queued().front().bundle, bundleFieldIndex(kEvents));
        REQUIRE(events.size() == 2);
        CHECK(intParameter(events[0], "_sr") == 10);
        CHECK(NANOGetString(events[1], event_field::kName) == "kuvo_got_error");
        CHECK_FALSE(intParameter(events[1], "_sr"));
    }
    SUBCASE("a sampling pass that cannot store its state rolls the bundle back") {
        f.refuse("keep_sampling_state", "BEFORE INSERT ON events WHEN NEW.last_sampling_rate = 10");
        f.rolls = {0};
        f.storeEvent(makeEvent("kuvo_calculate", kT), fp);
        CHECK_FALSE(f.bundle());
        CHECK(f.capture.hasCode(kAPMSamplingAggregatesWriteFailedCode));
        CHECK(f.queued().empty());
        CHECK(f.count("raw_events") == 1);
        CHECK(f.aggregates("kuvo_calculate")->lifetimeCount() == 1);
    }
    SUBCASE("in debug mode nothing is sampled") {
        APMMonitor::shared().setDebugModeEnabled(true);
        f.rolls = {5};
        f.storeEvent(makeEvent("kuvo_calculate", kT), fp);
        CHECK(f.bundle());
        APMMonitor::shared().setDebugModeEnabled(false);
        CHECK(f.rollBounds.empty());
        CHECK(eventNames(f.queued().front().bundle) == std::vector<std::string>{"kuvo_calculate"});
    }
}

TEST_CASE("the secure dice stay within their bound") {
    std::vector<int> seen(5, 0);
    for (int i = 0; i < 500; ++i) {
        const auto value = APMSecureRandomUniform(5);
        REQUIRE(value < 5);
        ++seen[value];
    }
    for (int count : seen) CHECK(count > 0);
    CHECK(APMSecureRandomUniform(1) == 0);
    CHECK(APMSecureRandomUniform(0) == 0);
}
