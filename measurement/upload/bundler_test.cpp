// Tests of bundling.
#include <doctest/doctest.h>

#include "measurement/upload/bundler_test_support.h"
#include "testsupport/test_hooks.h"

using namespace measurement;
using namespace bundle_tag;
using namespace upload_test;

namespace {

// 1700000000 lies in the hour that starts at 1699999200 and ends at
// 1700002800, and in the day that ends at 1700006400.
constexpr double kT = 1700000000.0;
constexpr double kNextHour = 1700002800.0;

std::int64_t ms(double seconds) { return APMMillisecondsFromSeconds(seconds); }

}  // namespace

TEST_CASE("a bundle takes the leading run of the oldest fingerprint") {
    BundlerFixture f;
    const auto a = f.storeHeader(makeHeader("G111"), 11);
    APMPBMeasurementBundle otherHeader = makeHeader("G111");
    setBundleString(otherHeader, kOSVersion, "17.4.1");
    const auto b = f.storeHeader(otherHeader, 22);

    SUBCASE("fingerprints interleaved by row ID: each run ends at the first gap") {
        f.storeEvent(makeEvent("a_one", kT), a);
        f.storeEvent(makeEvent("a_two", kT + 1), a);
        f.storeEvent(makeEvent("b_one", kT + 2), b);
        f.storeEvent(makeEvent("a_three", kT + 3), a);

        CHECK(f.bundle());
        CHECK(f.count("raw_events_metadata") == 2);
        CHECK(f.bundle());
        CHECK(f.count("raw_events_metadata") == 1);
        CHECK(f.bundle());
        CHECK_FALSE(f.bundle());
        const auto queued = f.queued();
        REQUIRE(queued.size() == 3);
        CHECK(eventNames(queued[0].bundle) == std::vector<std::string>{"a_one", "a_two"});
        CHECK(eventNames(queued[1].bundle) == std::vector<std::string>{"b_one"});
        CHECK(bundleString(queued[1].bundle, kOSVersion) == "17.4.1");
        CHECK(eventNames(queued[2].bundle) == std::vector<std::string>{"a_three"});
        CHECK(f.count("raw_events") == 0);
        CHECK(f.count("raw_events_metadata") == 0);
    }
    SUBCASE("an hour apart by whole seconds: two bundles") {
        f.storeEvent(makeEvent("before", kNextHour - 0.001), a);
        f.storeEvent(makeEvent("same_second", kNextHour - 0.5), a);
        f.storeEvent(makeEvent("after", kNextHour), a);
        CHECK(f.bundleAll() == 2);
        const auto queued = f.queued();
        REQUIRE(queued.size() == 2);
        CHECK(eventNames(queued[0].bundle) == std::vector<std::string>{"before", "same_second"});
        CHECK(eventNames(queued[1].bundle) == std::vector<std::string>{"after"});
    }
    SUBCASE("stamped by another kind of clock: a bundle of its own, queued with that clock's stamp") {
        f.storeEvent(makeEvent("own", kT), a);
        f.storeEvent(makeEvent("other", kT + 1), a);
        f.storeEvent(makeEvent("own_again", kT + 2), a);
        const std::int64_t own = APMCurrentClockStamp();
        f.execute("UPDATE raw_events SET clock = ? WHERE name = 'other'", {1 - own});
        CHECK(f.bundleAll() == 3);
        const auto queued = f.queued();
        REQUIRE(queued.size() == 3);
        CHECK(eventNames(queued[1].bundle) == std::vector<std::string>{"other"});
        std::vector<std::int64_t> stamps;
        for (const auto& row : f.rows("SELECT clock FROM queue ORDER BY rowid")) {
            stamps.push_back(row.at("clock").intValue());
        }
        CHECK(stamps == std::vector<std::int64_t>{own, 1 - own, own});
    }
    SUBCASE("the count limit cuts the run") {
        f.configure(ConfigBuilder().setting("measurement.upload.max_events_per_bundle", "2"));
        for (int i = 0; i < 5; ++i) f.storeEvent(makeEvent("tap", kT + i), a);
        CHECK(f.bundleAll() == 3);
        const auto queued = f.queued();
        REQUIRE(queued.size() == 3);
        CHECK(eventNames(queued[0].bundle).size() == 2);
        CHECK(eventNames(queued[1].bundle).size() == 2);
        CHECK(eventNames(queued[2].bundle).size() == 1);
    }
    SUBCASE("the size limit is strict, and the first event is always taken") {
        const auto event = makeEvent("tap", kT);
        const auto size = static_cast<std::int64_t>(event.protoEvent().protoBuffer().size());
        for (int i = 0; i < 3; ++i) f.storeEvent(event, a);

        SUBCASE("two events fit below the limit, the third reaches it") {
            f.configure(ConfigBuilder().setting("measurement.upload.max_batch_size", std::to_string(2 * size + 1)));
            CHECK(f.bundleAll() == 2);
            CHECK(eventNames(f.queued()[0].bundle).size() == 2);
        }
        SUBCASE("a first event that alone reaches the limit still makes a bundle") {
            f.configure(ConfigBuilder().setting("measurement.upload.max_batch_size", std::to_string(size)));
            CHECK(f.bundleAll() == 3);
            CHECK(f.queued().size() == 3);
        }
        SUBCASE("a limit of 0 bundles one event at a time") {
            f.configure(ConfigBuilder().setting("measurement.upload.max_batch_size", "0"));
            CHECK(f.bundleAll() == 3);
            CHECK(f.count("raw_events") == 0);
        }
    }
}

TEST_CASE("a raw event that does not decode is dropped with its run") {
    BundlerFixture f;
    const auto fp = f.storeHeader(makeHeader());
    auto garble = [&](std::int64_t rowID) {
        f.execute("UPDATE raw_events SET data = ? WHERE rowid = ?",
                  {platform::Value(platform::Data{{0xff, 0xff, 0xff}}), platform::Value(rowID)});
    };

    SUBCASE("as the first row: it goes, the next bundle carries the rest") {
        garble(f.storeEvent(makeEvent("broken", kT), fp));
        f.storeEvent(makeEvent("fine", kT + 1), fp);
        CHECK(f.bundle());
        CHECK(f.capture.hasCode(kAPMBundlingRawEventUndecodableCode));
        CHECK(f.queued().empty());
        CHECK(f.count("raw_events") == 1);
        CHECK(f.bundle());
        REQUIRE(f.queued().size() == 1);
        CHECK(eventNames(f.queued()[0].bundle) == std::vector<std::string>{"fine"});
        CHECK(f.count("raw_events_metadata") == 0);
    }
    SUBCASE("inside a run: the run ends with it") {
        f.storeEvent(makeEvent("first", kT), fp);
        garble(f.storeEvent(makeEvent("broken", kT + 1), fp));
        f.storeEvent(makeEvent("third", kT + 2), fp);
        CHECK(f.bundleAll() == 2);
        const auto queued = f.queued();
        REQUIRE(queued.size() == 2);
        CHECK(eventNames(queued[0].bundle) == std::vector<std::string>{"first"});
        CHECK(eventNames(queued[1].bundle) == std::vector<std::string>{"third"});
    }
}

TEST_CASE("a raw event the engine could not have written is dropped, naming its row and why, and the rest is bundled") {
    struct Case {
        const char* what;
        // Values SQLite keeps as they are: its columns' types convert none.
        const char* set;
        const char* why;
    };
    const std::vector<Case> cases = {
        {"a fingerprint that is text", "metadata_fingerprint = 'x'", "\"metadata_fingerprint\" holds text"},
        {"a fingerprint that is a real", "metadata_fingerprint = 2.5", "\"metadata_fingerprint\" holds a real"},
        {"a name that is a blob", "name = x'6576'", "\"name\" holds a blob"},
        {"a name that is not UTF-8", "name = CAST(x'65ff' AS TEXT)", "\"name\" holds text that is not UTF-8"},
        {"data that is a real", "data = 2.5", "\"data\" holds a real"},
        {"a time that is text", "timestamp = 'soon'", "\"timestamp\" holds text"},
        {"a clock that is text", "clock = 'x'", "\"clock\" holds text"},
        {"data that does not decode", "data = x'ffffff'", "the event data does not decode"},
    };
    for (const auto& entry : cases) {
        for (const bool first : {true, false}) {
            CAPTURE(entry.what);
            CAPTURE(first);
            BundlerFixture f;
            const auto fp = f.storeHeader(makeHeader());
            if (!first) f.storeEvent(makeEvent("before", kT), fp);
            const auto bad = f.storeEvent(makeEvent("bad", kT + 1), fp);
            f.storeEvent(makeEvent("after", kT + 2), fp);
            f.execute(std::string("UPDATE raw_events SET ") + entry.set + " WHERE rowid = ?", {platform::Value(bad)});
            f.bundleAll();
            std::vector<std::string> bundled;
            for (const auto& queued : f.queued()) {
                for (const auto& name : eventNames(queued.bundle)) bundled.push_back(name);
            }
            CHECK(bundled == (first ? std::vector<std::string>{"after"} : std::vector<std::string>{"before", "after"}));
            CHECK(f.count("raw_events") == 0);
            const auto dropped = f.capture.entriesWithCode(kAPMBundlingUnbundlableRawEventDroppedCode);
            REQUIRE(dropped.size() == 1);
            REQUIRE(dropped[0].contexts.size() == 2);
            CHECK(dropped[0].contexts[0] == platform::Value(bad));
            CHECK(dropped[0].contexts[1].asString().find(entry.why) != std::string::npos);
        }
    }
}

TEST_CASE("a run whose metadata header cannot be read is dropped; a failing read keeps it for the next try") {
    // The failures are made by dropping or renaming a table behind the
    // database's back, not examined as another program's layout change.
    const test_hooks::LayoutChangesUnexamined unexamined;
    BundlerFixture f;
    const auto fp = f.storeHeader(makeHeader());
    f.storeEvent(makeEvent("first", kT), fp);
    f.storeEvent(makeEvent("second", kT + 1), fp);
    // A later run under a header that reads: bundled after the dropped one.
    const auto other = f.storeHeader(makeHeader("G100"), 7002);
    f.storeEvent(makeEvent("later", kT + 2), other);

    auto expectDropped = [&] {
        CHECK(f.bundle());
        CHECK(f.capture.hasCode(kAPMBundlingMetadataFailedCode));
        CHECK(f.capture.hasCode(kAPMBundlingRunWithoutMetadataDroppedCode));
        CHECK(f.rows("SELECT name FROM raw_events ORDER BY rowid").size() == 1);
        CHECK(f.rows("SELECT 1 FROM raw_events_metadata WHERE metadata_fingerprint = ?", {platform::Value(fp)}).empty());
        CHECK(f.queued().empty());
        CHECK(f.bundle());
        REQUIRE(f.queued().size() == 1);
        CHECK(eventNames(f.queued()[0].bundle) == std::vector<std::string>{"later"});
        CHECK(f.count("raw_events") == 0);
    };
    SUBCASE("a header that does not decode") {
        f.execute("UPDATE raw_events_metadata SET metadata = ? WHERE metadata_fingerprint = ?",
                  {platform::Value(platform::Data{{0xff, 0xff, 0xff}}), platform::Value(fp)});
        expectDropped();
    }
    SUBCASE("a header that is no blob, which would read as an empty header") {
        f.execute("UPDATE raw_events_metadata SET metadata = 2.5 WHERE metadata_fingerprint = ?", {platform::Value(fp)});
        expectDropped();
    }
    SUBCASE("a header that is missing") {
        f.execute("DELETE FROM raw_events_metadata WHERE metadata_fingerprint = ?", {platform::Value(fp)});
        expectDropped();
    }
    SUBCASE("a read that fails leaves the run and its header, and bundles them when it passes") {
        f.execute("ALTER TABLE raw_events_metadata RENAME TO raw_events_metadata_away");
        CHECK_FALSE(f.bundle());
        CHECK(f.capture.hasCode(kAPMBundlingMetadataFailedCode));
        CHECK_FALSE(f.capture.hasCode(kAPMBundlingRunWithoutMetadataDroppedCode));
        CHECK(f.count("raw_events") == 3);
        f.execute("ALTER TABLE raw_events_metadata_away RENAME TO raw_events_metadata");
        CHECK(f.bundleAll() == 2);
        const auto queued = f.queued();
        REQUIRE(queued.size() == 2);
        CHECK(eventNames(queued[0].bundle) == std::vector<std::string>{"first", "second"});
        CHECK(eventNames(queued[1].bundle) == std::vector<std::string>{"later"});
    }
}

TEST_CASE("screening and renaming of raw events") {
    BundlerFixture f;
    const auto fp = f.storeHeader(makeHeader());

    SUBCASE("ad_impression is bundled as _ai") {
        f.storeEvent(makeEvent("ad_impression", kT, {{"value", APMValue(std::int64_t{3})}}), fp);
        CHECK(f.bundle());
        const auto events =
            NANOGetArray<APMPBEvent>(f.queued().front().bundle, bundleFieldIndex(kEvents));
        REQUIRE(events.size() == 1);
        CHECK(NANOGetString(events[0], event_field::kName) == "_ai");
        CHECK(APMParametersFromProtoEvent(events[0]).at("value") == APMValue(std::int64_t{3}));
        CHECK(f.aggregates("_ai"));
        CHECK_FALSE(f.aggregates("ad_impression"));
    }
    SUBCASE("with the internal blocklist on and the public one off it is never rejected") {
        f.configure(ConfigBuilder()
                        .setting("measurement.upload.blacklist_internal", "true")
                        .event("ad_impression", true, std::nullopt, std::nullopt)
                        .event("_ai", true, std::nullopt, std::nullopt));
        f.storeEvent(makeEvent("ad_impression", kT), fp);
        CHECK(f.bundle());
        CHECK(eventNames(f.queued().front().bundle) == std::vector<std::string>{"_ai"});
    }
    SUBCASE("blocked by its internal name otherwise") {
        f.configure(ConfigBuilder().event("_ai", true, std::nullopt, std::nullopt));
        f.storeEvent(makeEvent("ad_impression", kT), fp);
        f.storeEvent(makeEvent("kept", kT), fp);
        CHECK(f.bundle());
        CHECK(eventNames(f.queued().front().bundle) == std::vector<std::string>{"kept"});
        CHECK(f.capture.count(kAPMBundlingEventRejectedCode) == 1);
    }
    SUBCASE("every event rejected: the rows go, nothing is queued, raw events were consumed") {
        f.configure(ConfigBuilder().setting("measurement.upload.blacklist_public", "true"));
        f.storeEvent(makeEvent("kuvo_calculate", kT), fp);
        f.storeEvent(makeEvent("kuvo_got_error", kT + 1), fp);
        CHECK(f.bundle());
        CHECK(f.capture.hasCode(kAPMBundlingAllEventsRejectedCode));
        CHECK(f.queued().empty());
        CHECK(f.count("raw_events") == 0);
        CHECK(f.count("raw_events_metadata") == 0);
        CHECK_FALSE(f.bundle());
    }
    SUBCASE("redundant engagement: dropped only when removal is on, never counted") {
        f.storeEvent(makeEvent("_e", kT, intParameters({{"_et", 400}})), fp);
        f.storeEvent(makeEvent("_e", kT + 1, intParameters({{"_et", 900}, {"_fr", 1}})), fp);
        SUBCASE("removal off") {
            CHECK(f.bundle());
            CHECK(eventNames(f.queued().front().bundle) == std::vector<std::string>{"_e", "_e"});
        }
        SUBCASE("removal on") {
            f.configure(
                ConfigBuilder().setting("measurement.collection.redundant_engagement_removal_enabled", "true"));
            CHECK(f.bundle());
            CHECK(eventNames(f.queued().front().bundle) == std::vector<std::string>{"_e"});
        }
        REQUIRE(f.userAttribute("_lte"));
        CHECK(f.userAttribute("_lte")->value() == APMValue(std::int64_t{400}));
    }
    SUBCASE("start and end cover the rejected events too") {
        f.configure(ConfigBuilder().event("blocked", true, std::nullopt, std::nullopt));
        f.storeEvent(makeEvent("blocked", kT - 10), fp);
        f.storeEvent(makeEvent("kept", kT), fp);
        f.storeEvent(makeEvent("blocked", kT + 10.5), fp);
        CHECK(f.bundle());
        const auto bundle = f.queued().front().bundle;
        CHECK(bundleInt64(bundle, kStartTimestamp) == ms(kT - 10));
        CHECK(bundleInt64(bundle, kEndTimestamp) == ms(kT + 10.5));
    }
}

TEST_CASE("daily conversion and real-time limits") {
    BundlerFixture f;
    const auto fp = f.storeHeader(makeHeader());

    SUBCASE("the eleventh real-time event of a day is no longer real-time") {
        for (int i = 0; i < 11; ++i) f.storeEvent(makeEvent("live", kT + i, {}, true), fp);
        f.storeEvent(makeEvent("_f", kT + 20, {}, true), fp);
        f.storeEvent(makeEvent("_iap", kT + 21, {}, true), fp);
        f.storeEvent(makeEvent("_fx", kT + 22, {}, true), fp);
        CHECK(f.bundle());
        CHECK(f.dailyCounts().realtimeCount() == 10);
        CHECK(f.capture.count(kAPMBundlingRealtimeUnderLimitCode) == 10);
        CHECK(f.capture.count(kAPMBundlingRealtimeOverLimitCode) == 1);
        CHECK(f.capture.count(kAPMBundlingRealtimeUnlimitedCode) == 3);
        CHECK(f.rows("SELECT is_realtime FROM queue").front().at("is_realtime").intValue() == 1);
    }
    SUBCASE("the count carries over to the next bundle of the day and starts again the next day") {
        f.configure(ConfigBuilder().setting("measurement.upload.max_realtime_events_per_day", "2"));
        // The core stores the header again with every event it writes.
        auto store = [&](double timestamp) {
            f.storeHeader(makeHeader(), fp);
            f.storeEvent(makeEvent("live", timestamp, {}, true), fp);
        };
        store(kT);
        CHECK(f.bundle());
        store(kT + 1);
        store(kT + 2);
        CHECK(f.bundle());
        CHECK(f.capture.count(kAPMBundlingRealtimeOverLimitCode) == 1);
        f.time.clock().setNow(kT + 86400);
        store(kT + 86400);
        CHECK(f.bundle());
        CHECK(f.capture.count(kAPMBundlingRealtimeOverLimitCode) == 1);
        const auto counts = f.dailyCounts();
        CHECK(counts.realtimeCount() == 1);
        CHECK(counts.dayIndex() == static_cast<std::int64_t>((kT + 86400) / 86400));
    }
    SUBCASE("one _dcu a day is real-time") {
        f.storeEvent(makeEvent("_dcu", kT, {}, true), fp);
        f.storeEvent(makeEvent("_dcu", kT + 1, {}, true), fp);
        CHECK(f.bundle());
        CHECK(f.dailyCounts().dcuRealtimeCount() == 1);
        CHECK(f.dailyCounts().realtimeCount() == 0);
    }
    SUBCASE("in debug mode no event counts") {
        APMMonitor::shared().setDebugModeEnabled(true);
        for (int i = 0; i < 12; ++i) f.storeEvent(makeEvent("live", kT + i, {}, true), fp);
        CHECK(f.bundle());
        APMMonitor::shared().setDebugModeEnabled(false);
        CHECK(f.dailyCounts().realtimeCount() == 0);
        CHECK(f.capture.count(kAPMBundlingRealtimeUnlimitedCode) == 12);
    }
    SUBCASE("custom conversions up to the daily limit, and they become real-time") {
        f.configure(ConfigBuilder()
                        .setting("measurement.upload.max_conversions_per_day", "2")
                        .event("kuvo_calculate", std::nullopt, true, std::nullopt));
        for (int i = 0; i < 3; ++i) f.storeEvent(makeEvent("kuvo_calculate", kT + i), fp);
        f.storeEvent(makeEvent("kuvo_got_error", kT + 5), fp);
        CHECK(f.bundle());
        const auto counts = f.dailyCounts();
        CHECK(counts.conversionsCount() == 2);
        CHECK(counts.realtimeCount() == 2);
        CHECK(counts.allEventsCount() == 0);
        CHECK(f.capture.count(kAPMBundlingTooManyConversionsCode) == 1);
        CHECK(f.rows("SELECT is_realtime FROM queue").front().at("is_realtime").intValue() == 1);
    }
    SUBCASE("no flags, no counts, not real-time") {
        f.storeEvent(makeEvent("kuvo_calculate", kT), fp);
        CHECK(f.bundle());
        CHECK(f.dailyCounts() == APMDailyCounts());
        CHECK(f.rows("SELECT is_realtime FROM queue").front().at("is_realtime").intValue() == 0);
    }
}

TEST_CASE("aggregates, engagement and sessions") {
    // The failures are made by dropping or renaming a table behind the
    // database's back, not examined as another program's layout change.
    const test_hooks::LayoutChangesUnexamined unexamined;
    // The failure is made with a trigger of the test's own.
    const test_hooks::FileTriggersRun triggersRun;

    BundlerFixture f;
    const auto fp = f.storeHeader(makeHeader("G111", {userAttribute("_lte", 1000, ms(kT - 100)),
                                                      userAttribute("_se", 70, ms(kT - 100))}));
    f.onWorker([&] {
        REQUIRE(f.database->updateUserAttribute(APMUserAttribute("auto", "_lte", APMValue(std::int64_t{1000}), kT - 100),
                                                nullptr));
        REQUIRE(f.database->updateUserAttribute(APMUserAttribute("auto", "_se", APMValue(std::int64_t{70}), kT - 100),
                                                nullptr));
        REQUIRE(f.database->updateEventAggregates(APMEventAggregates("other", 5, 2, 3, kT - 500), nullptr));
    });

    SUBCASE("each event gets the last fire time of its name as previous time") {
        f.storeEvent(makeEvent("tap", kT), fp);
        f.storeEvent(makeEvent("tap", kT + 2), fp);
        CHECK(f.bundle());
        const auto events = NANOGetArray<APMPBEvent>(f.queued().front().bundle, bundleFieldIndex(kEvents));
        REQUIRE(events.size() == 2);
        CHECK_FALSE(NANOHasField(events[0], event_field::kPreviousTimestamp));
        CHECK(NANOGetInt64(events[1], event_field::kPreviousTimestamp) == ms(kT));
        const auto aggregates = f.aggregates("tap");
        REQUIRE(aggregates);
        CHECK(aggregates->lifetimeCount() == 2);
        CHECK(aggregates->currentBundleCount() == 2);
        CHECK(aggregates->currentSessionCount() == 2);
        CHECK(aggregates->lastFireTimestamp() == kT + 2);
        CHECK(f.audience->evaluatedEvents == std::vector<std::string>{"tap", "tap"});
    }
    SUBCASE("engagement time adds to _lte in the database and the bundle") {
        f.storeEvent(makeEvent("_e", kT, intParameters({{"_et", 250}})), fp);
        f.storeEvent(makeEvent("_e", kT + 1, intParameters({{"_et", 50}})), fp);
        CHECK(f.bundle());
        CHECK(f.userAttribute("_lte")->value() == APMValue(std::int64_t{1300}));
        CHECK(f.userAttribute("_lte")->lastSetTimestamp() == f.time.now());
        CHECK(f.userAttribute("_se")->value() == APMValue(std::int64_t{70}));
        const auto properties =
            NANOGetArray<APMPBUserAttribute>(f.queued().front().bundle, bundleFieldIndex(kUserAttributes));
        REQUIRE(properties.size() == 2);
        CHECK(NANOGetInt64(properties[0], user_attribute_field::kIntValue) == 1300);
        CHECK(NANOGetInt64(properties[0], user_attribute_field::kSetTimestamp) == ms(f.time.now()));
        CHECK(f.aggregates("other")->currentSessionCount() == 3);
    }
    SUBCASE("a session start clears session counts and starts _se from this run") {
        f.storeEvent(makeEvent("_s", kT), fp);
        f.storeEvent(makeEvent("_e", kT + 1, intParameters({{"_et", 40}})), fp);
        CHECK(f.bundle());
        CHECK(f.audience->sessionClears == 1);
        CHECK(f.aggregates("other")->currentSessionCount() == 0);
        CHECK(f.aggregates("other")->lifetimeCount() == 5);
        CHECK(f.userAttribute("_se")->value() == APMValue(std::int64_t{40}));
        CHECK(f.userAttribute("_lte")->value() == APMValue(std::int64_t{1040}));
        const auto properties =
            NANOGetArray<APMPBUserAttribute>(f.queued().front().bundle, bundleFieldIndex(kUserAttributes));
        REQUIRE(properties.size() == 2);
        CHECK(NANOGetInt64(properties[1], user_attribute_field::kIntValue) == 40);
    }
    SUBCASE("session counts that cannot be cleared: the bundle goes, session state and engagement stay") {
        f.refuse("keep_counts", "BEFORE UPDATE ON events");
        f.storeEvent(makeEvent("_s", kT), fp);
        f.storeEvent(makeEvent("_e", kT + 1, intParameters({{"_et", 40}})), fp);
        CHECK(f.bundle());
        CHECK(f.capture.count(kAPMBundlingClearSessionCountsFailedCode) == 1);
        CHECK(f.aggregates("other")->currentSessionCount() == 3);
        CHECK(f.userAttribute("_lte")->value() == APMValue(std::int64_t{1000}));
        CHECK(f.userAttribute("_se")->value() == APMValue(std::int64_t{70}));
        CHECK(eventNames(f.queued().front().bundle) == std::vector<std::string>{"_s", "_e"});
    }
    SUBCASE("a session engagement that cannot be reset: _lte still grows, _se stays") {
        f.refuse("keep_properties", "BEFORE DELETE ON user_attributes");
        f.storeEvent(makeEvent("_s", kT), fp);
        f.storeEvent(makeEvent("_e", kT + 1, intParameters({{"_et", 40}})), fp);
        CHECK(f.bundle());
        CHECK(f.capture.count(kAPMBundlingSessionEngagementDeleteFailedCode) == 1);
        CHECK(f.userAttribute("_lte")->value() == APMValue(std::int64_t{1040}));
        CHECK(f.userAttribute("_se")->value() == APMValue(std::int64_t{70}));
        CHECK(f.queued().size() == 1);
    }
    SUBCASE("engagement that cannot be read: the bundle goes without it") {
        f.execute("ALTER TABLE user_attributes RENAME TO user_attributes_away");
        f.storeEvent(makeEvent("_e", kT, intParameters({{"_et", 250}})), fp);
        CHECK(f.bundle());
        CHECK(f.capture.count(kAPMBundlingEngagementReadFailedCode) == 1);
        f.execute("ALTER TABLE user_attributes_away RENAME TO user_attributes");
        CHECK(f.userAttribute("_lte")->value() == APMValue(std::int64_t{1000}));
        const auto properties =
            NANOGetArray<APMPBUserAttribute>(f.queued().front().bundle, bundleFieldIndex(kUserAttributes));
        REQUIRE(properties.size() == 2);
        CHECK(NANOGetInt64(properties[0], user_attribute_field::kIntValue) == 1000);
    }
    SUBCASE("a negative engagement sum changes nothing") {
        f.storeEvent(makeEvent("_e", kT, intParameters({{"_et", -5}})), fp);
        CHECK(f.bundle());
        CHECK(f.capture.hasCode(kAPMBundlingNegativeEngagementCode));
        CHECK(f.userAttribute("_lte")->value() == APMValue(std::int64_t{1000}));
    }
    SUBCASE("a failing event evaluation rolls the bundle back") {
        f.audience->failEvents = true;
        f.storeEvent(makeEvent("tap", kT), fp);
        CHECK_FALSE(f.bundle());
        CHECK(f.count("raw_events") == 1);
        CHECK_FALSE(f.aggregates("tap"));
    }
}

TEST_CASE("the completed bundle") {
    BundlerFixture f;
    const auto fp = f.storeHeader(makeHeader("G111", {userAttribute("_fot", 1, ms(kT - 50))}));

    SUBCASE("indexes and the previous bundle's times follow one another") {
        f.storeEvent(makeEvent("one", kT), fp);
        f.storeEvent(makeEvent("two", kT + 4), fp);
        f.storeEvent(makeEvent("three", kNextHour + 1), fp);
        CHECK(f.bundleAll() == 2);
        const auto queued = f.queued();
        REQUIRE(queued.size() == 2);
        CHECK(NANOGetInt32(queued[0].bundle, bundleFieldIndex(kBundleIndex)) == 1);
        CHECK_FALSE(hasBundleField(queued[0].bundle, kPreviousBundleEndTimestamp));
        CHECK_FALSE(hasBundleField(queued[0].bundle, kPreviousBundleStartTimestamp));
        CHECK(bundleInt64(queued[0].bundle, kStartTimestamp) == ms(kT));
        CHECK(bundleInt64(queued[0].bundle, kEndTimestamp) == ms(kT + 4));
        CHECK(NANOGetInt32(queued[1].bundle, bundleFieldIndex(kBundleIndex)) == 2);
        CHECK(bundleInt64(queued[1].bundle, kPreviousBundleEndTimestamp) == ms(kT + 4));
        CHECK(bundleInt64(queued[1].bundle, kPreviousBundleStartTimestamp) == ms(kT));
        CHECK(f.rows("SELECT bundle_end_timestamp FROM queue").back().at("bundle_end_timestamp").realValue() ==
              doctest::Approx(kNextHour + 1));
    }
    SUBCASE("configuration version, experiments, and the header's fields") {
        f.experiments->ids = {7, 3000000000LL, 9};
        f.configure(ConfigBuilder().version(42));
        f.storeEvent(makeEvent("one", kT), fp);
        CHECK(f.bundle());
        const auto bundle = f.queued().front().bundle;
        CHECK(NANOGetInt64(bundle, bundleFieldIndex(kConfigVersion)) == 42);
        CHECK(NANOGetArray<std::int32_t>(bundle, bundleFieldIndex(kExperimentIDs)) == std::vector<std::int32_t>{7, 9});
        CHECK(bundleString(bundle, kAppID) == kTestBundleAppID);
        CHECK(bundleString(bundle, kConsentSignals) == "G111");
        CHECK(f.audience->evaluatedProperties == std::vector<std::string>{"_fot"});
        CHECK(f.audience->propertyEvaluationTimes == std::vector<std::optional<double>>{kT});
    }
    SUBCASE("no configuration: no version; a header without app ID takes the identity's") {
        APMPBMeasurementBundle header = makeHeader();
        NANOClearField(header, bundleFieldIndex(kAppID));
        f.storeHeader(header, 99);
        f.identity->applicationID = "velmora-bernoulli-ios";
        f.storeEvent(makeEvent("one", kT), 99);
        CHECK(f.bundle());
        const auto bundle = f.queued().front().bundle;
        CHECK_FALSE(hasBundleField(bundle, kConfigVersion));
        CHECK(bundleString(bundle, kAppID) == "velmora-bernoulli-ios");
    }
    SUBCASE("audience results go into tag 29; the stitching token only with its flag") {
        APMPBAudienceLeafFilterResult result;
        NANOSetInt32(result, 0, 12);
        f.audience->results = {result};
        APMPBMeasurementBundle header = makeHeader();
        setBundleString(header, kSessionStitchingToken, "token");
        f.storeHeader(header, 5);
        f.storeEvent(makeEvent("one", kT), 5);
        f.storeEvent(makeEvent("two", kT + 1), 5);
        SUBCASE("flag off") {
            CHECK(f.bundle());
            CHECK_FALSE(hasBundleField(f.queued().front().bundle, kSessionStitchingToken));
        }
        SUBCASE("flag on") {
            f.configure(ConfigBuilder().setting("measurement.session_stitching_token_enabled", "true"));
            CHECK(f.bundle());
            CHECK(bundleString(f.queued().front().bundle, kSessionStitchingToken) == "token");
        }
        const auto results = NANOGetArray<APMPBAudienceLeafFilterResult>(f.queued().front().bundle,
                                                                         bundleFieldIndex(kAudienceResults));
        REQUIRE(results.size() == 1);
        CHECK(NANOGetInt32(results[0], 0) == 12);
    }
    SUBCASE("analytics storage denied: no audience evaluation, no results, no stitching token") {
        f.consent->analyticsDenied = true;
        f.configure(ConfigBuilder().setting("measurement.session_stitching_token_enabled", "true"));
        f.audience->results = {APMPBAudienceLeafFilterResult()};
        APMPBMeasurementBundle header = makeHeader("G110");
        setBundleString(header, kSessionStitchingToken, "token");
        f.storeHeader(header, 5);
        f.storeEvent(makeEvent("one", kT), 5);
        CHECK(f.bundle());
        const auto bundle = f.queued().front().bundle;
        CHECK(f.audience->evaluatedEvents.empty());
        CHECK(f.audience->evaluatedProperties.empty());
        CHECK(f.audience->resultRequests == 0);
        CHECK(NANOGetArray<APMPBAudienceLeafFilterResult>(bundle, bundleFieldIndex(kAudienceResults)).empty());
        CHECK_FALSE(hasBundleField(bundle, kSessionStitchingToken));
    }
    SUBCASE("a pending _npa update runs once with DMA consent on") {
        f.engine->npaUpdate = true;
        f.storeEvent(makeEvent("one", kT), fp);
        CHECK(f.bundle());
        CHECK(f.engine->npaWrites == 1);
        CHECK_FALSE(f.engine->npaUpdate);
    }
    SUBCASE("the health sample goes in and its time is kept") {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, 99001, "sampled problem");
        f.storeEvent(makeEvent("one", kT), fp);
        CHECK(f.bundle());
        CHECK_FALSE(bundleString(f.queued().front().bundle, kHealthMonitorSample).value_or("").empty());
        CHECK(f.persisted->lastMonitoringSampleTimestamp() == f.time.now());
    }
    SUBCASE("the consent description and the queued bundle are logged") {
        f.storeEvent(makeEvent("one", kT), fp);
        CHECK(f.bundle());
        const auto described = f.capture.entriesWithCode(kAPMBundlingConsentDescriptionCode);
        REQUIRE(described.size() == 1);
        CHECK(described[0].message == "consent G1--");
        const auto added = f.capture.entriesWithCode(kAPMBundlingBundleAddedCode);
        REQUIRE(added.size() == 1);
        CHECK(added[0].contexts == std::vector<platform::Value>{platform::Value(1), platform::Value(ms(kT))});
    }
}

TEST_CASE("a failing bundle insert rolls the whole call back") {
    // The failure is made with a trigger of the test's own.
    const test_hooks::FileTriggersRun triggersRun;

    BundlerFixture f;
    f.configure(ConfigBuilder()
                    .setting("measurement.upload.max_conversions_per_day", "5")
                    .event("kuvo_calculate", std::nullopt, true, std::nullopt));
    const auto fp = f.storeHeader(makeHeader("G110", {userAttribute("_lte", 10, ms(kT - 100))}));
    f.onWorker([&] {
        REQUIRE(f.database->updateUserAttribute(APMUserAttribute("auto", "_lte", APMValue(std::int64_t{10}), kT - 100),
                                                nullptr));
        REQUIRE(f.database->updateEventAggregates(APMEventAggregates("kuvo_calculate", 4, 1, 1, kT - 60), nullptr));
    });
    f.storeEvent(makeEvent("kuvo_calculate", kT, intParameters({{"_et", 300}})), fp);
    f.storeEvent(makeEvent("live", kT + 1, {}, true), fp);
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, 99001, "sampled problem");
    f.engine->npaUpdate = true;
    f.execute("CREATE TRIGGER refuse_bundles BEFORE INSERT ON queue BEGIN SELECT RAISE(ABORT, 'injected'); END");

    CHECK_FALSE(f.bundle());
    CHECK(f.capture.hasCode(kAPMBundlingInsertFailedCode));
    CHECK(f.count("raw_events") == 2);
    CHECK(f.count("raw_events_metadata") == 1);
    CHECK(f.count("queue") == 0);
    CHECK(f.aggregates("kuvo_calculate")->lifetimeCount() == 4);
    CHECK_FALSE(f.aggregates("live"));
    CHECK(f.dailyCounts() == APMDailyCounts());
    CHECK(f.userAttribute("_lte")->value() == APMValue(std::int64_t{10}));
    CHECK(f.appMetadata() == APMAppMetadata());
    CHECK_FALSE(f.persisted->previousBundledConsentSignals());
    CHECK(f.persisted->lastMonitoringSampleTimestamp() == 0);
    // The "_npa" write went with the rollback, so it is still due.
    CHECK(f.engine->npaWrites == 1);
    CHECK(f.engine->npaUpdate);

    f.execute("DROP TRIGGER refuse_bundles");
    CHECK(f.bundle());
    CHECK(f.engine->npaWrites == 2);
    CHECK_FALSE(f.engine->npaUpdate);
    CHECK(f.count("raw_events") == 0);
    CHECK(f.aggregates("kuvo_calculate")->lifetimeCount() == 5);
    CHECK(f.dailyCounts().conversionsCount() == 1);
    CHECK(f.userAttribute("_lte")->value() == APMValue(std::int64_t{310}));
    CHECK(f.persisted->previousBundledConsentSignals() == "G110");
    CHECK(NANOGetInt32(f.queued().front().bundle, bundleFieldIndex(kBundleIndex)) == 1);
    // The health sample taken by the rolled-back try went with the bundle
    // that was stored, and is not handed out again.
    const std::string sample = bundleString(f.queued().front().bundle, kHealthMonitorSample).value_or("");
    CHECK(sample.find("99001:1:1") != std::string::npos);
    CHECK(APMMonitor::shared().monitoringDataForDispatchWithSamplePeriod(1, 0).find("99001:") == std::string::npos);
}

TEST_CASE("a failing step rolls the bundle back, logs its code and leaves the run for the next try") {
    // The failures are made by dropping or renaming a table behind the
    // database's back, not examined as another program's layout change.
    const test_hooks::LayoutChangesUnexamined unexamined;
    // The failure is made with a trigger of the test's own.
    const test_hooks::FileTriggersRun triggersRun;

    BundlerFixture f;
    const auto fp = f.storeHeader(makeHeader());
    f.storeEvent(makeEvent("live", kT, {}, true), fp);
    f.storeEvent(makeEvent("tap", kT + 1), fp);
    long code = 0;
    int level = kAPMMonitorLevelError;
    std::string heal;
    auto hide = [&](const std::string& table) {
        f.execute("ALTER TABLE " + table + " RENAME TO " + table + "_away");
        heal = "ALTER TABLE " + table + "_away RENAME TO " + table;
    };
    auto refuse = [&](const std::string& when) {
        f.refuse("injected_fault", when);
        heal = "DROP TRIGGER injected_fault";
    };

    SUBCASE("raw events unreadable") {
        hide("raw_events");
        code = kAPMBundlingNextFingerprintFailedCode;
    }
    SUBCASE("daily counts unreadable") {
        hide("daily_counts");
        code = kAPMBundlingDailyCountsReadFailedCode;
    }
    SUBCASE("daily counts unwritable") {
        refuse("BEFORE INSERT ON daily_counts");
        code = kAPMBundlingDailyCountsWriteFailedCode;
        level = kAPMMonitorLevelSilentError;
    }
    SUBCASE("aggregates unreadable") {
        hide("events");
        code = kAPMBundlingAggregatesReadFailedCode;
    }
    SUBCASE("aggregates unwritable") {
        refuse("BEFORE INSERT ON events");
        code = kAPMBundlingAggregatesWriteFailedCode;
    }
    SUBCASE("app metadata unreadable") {
        hide("app_metadata");
        code = kAPMBundlingAppMetadataReadFailedCode;
    }
    SUBCASE("app metadata unwritable") {
        refuse("BEFORE INSERT ON app_metadata");
        code = kAPMBundlingAppMetadataWriteFailedCode;
    }
    SUBCASE("audience results unreadable") {
        f.audience->failResults = true;
        code = kAPMBundlingAudienceResultsFailedCode;
    }
    SUBCASE("raw events that will not delete") {
        refuse("BEFORE DELETE ON raw_events");
        code = kAPMBundlingDeleteRawEventsFailedCode;
    }
    SUBCASE("a header that will not delete") {
        refuse("BEFORE DELETE ON raw_events_metadata");
        code = kAPMBundlingDeleteMetadataFailedCode;
    }

    CHECK_FALSE(f.bundle());
    const auto logged = f.capture.entriesWithCode(code);
    REQUIRE(logged.size() == 1);
    CHECK(logged[0].level == level);
    if (heal.empty()) {
        f.audience->failResults = false;
    } else {
        f.execute(heal);
    }
    CHECK(f.count("raw_events") == 2);
    CHECK(f.count("raw_events_metadata") == 1);
    CHECK(f.count("queue") == 0);
    CHECK(f.dailyCounts() == APMDailyCounts());
    CHECK_FALSE(f.aggregates("live"));
    CHECK(f.appMetadata() == APMAppMetadata());
    CHECK_FALSE(f.persisted->previousBundledConsentSignals());

    CHECK(f.bundle());
    const auto queued = f.queued();
    REQUIRE(queued.size() == 1);
    CHECK(eventNames(queued[0].bundle) == std::vector<std::string>{"live", "tap"});
    CHECK(NANOGetInt32(queued[0].bundle, bundleFieldIndex(kBundleIndex)) == 1);
    CHECK(f.dailyCounts().realtimeCount() == 1);
    CHECK(f.count("raw_events") == 0);
}

TEST_CASE("analytics-storage transitions snapshot and restore the aggregates") {
    BundlerFixture f;
    auto bundleUnder = [&](const std::string& signals, const std::string& eventName, std::int64_t fingerprint) {
        f.storeHeader(makeHeader(signals), fingerprint);
        f.storeEvent(makeEvent(eventName, kT), fingerprint);
        CHECK(f.bundle());
    };
    bundleUnder("G111", "granted_before", 1);
    CHECK(f.persisted->previousBundledConsentSignals() == "G111");
    CHECK(f.rows("SELECT name FROM sqlite_master WHERE name = 'events_snapshot'").empty());

    bundleUnder("G110", "while_denied", 2);
    CHECK(f.rows("SELECT name FROM events_snapshot").size() == 1);
    bundleUnder("G11D", "still_denied", 3);
    CHECK(f.rows("SELECT name FROM events_snapshot").size() == 1);
    CHECK(f.aggregates("while_denied"));

    bundleUnder("G1-1", "granted_again", 4);
    CHECK(f.persisted->previousBundledConsentSignals() == "G1-1");
    CHECK(f.aggregates("granted_before"));
    CHECK_FALSE(f.aggregates("while_denied"));
    CHECK_FALSE(f.aggregates("still_denied"));
    CHECK(f.aggregates("granted_again"));
    CHECK(f.rows("SELECT name FROM events_snapshot").empty());
}

TEST_CASE("a restore that fails is logged and the bundle still goes") {
    // The failure is made with a trigger of the test's own.
    const test_hooks::FileTriggersRun triggersRun;

    BundlerFixture f;
    auto bundleUnder = [&](const std::string& signals, const std::string& eventName, std::int64_t fingerprint) {
        f.storeHeader(makeHeader(signals), fingerprint);
        f.storeEvent(makeEvent(eventName, kT), fingerprint);
        CHECK(f.bundle());
    };
    bundleUnder("G111", "granted_before", 1);
    bundleUnder("G110", "while_denied", 2);
    f.refuse("keep_aggregates", "BEFORE DELETE ON events");
    bundleUnder("G111", "granted_again", 3);
    CHECK(f.capture.count(kAPMBundlingSnapshotRestoreFailedCode) == 1);
    CHECK(f.persisted->previousBundledConsentSignals() == "G111");
    CHECK(f.aggregates("while_denied"));
    CHECK(f.aggregates("granted_again"));
    CHECK(f.queued().size() == 3);
}
