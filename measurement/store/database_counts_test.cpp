// Tests of the daily counts and event aggregates.
#include <doctest/doctest.h>

#include "measurement/store/database_test_support.h"

using namespace measurement;
using namespace measurement::testing;
using platform::Value;

namespace {

APMEventAggregates aggregates(const std::string& name, std::int32_t lifetime, std::int32_t bundle = 0,
                              std::int32_t session = 0, double lastFire = 0) {
    return APMEventAggregates(name, lifetime, bundle, session, lastFire);
}

std::map<std::string, std::int32_t> lifetimeCounts(APMDatabase& db) {
    std::map<std::string, std::int32_t> counts;
    auto all = db.allEventAggregates(nullptr);
    REQUIRE(all);
    for (const auto& entry : *all) counts[entry.name()] = entry.lifetimeCount();
    return counts;
}

}  // namespace

TEST_CASE("daily counts are one stored record") {
    DatabaseFixture fx;
    auto& db = fx.database();
    fx.onWorker([&] {
        auto empty = db.dailyCounts(nullptr);
        REQUIRE(empty);
        CHECK(*empty == APMDailyCounts());
        const APMDailyCounts counts(19675, 3, 120, 80, 2, 10, 1);
        CHECK(db.updateDailyCounts(counts, nullptr));
        CHECK(db.dailyCounts(nullptr) == counts);
        const APMDailyCounts next(19676, 0, 1, 1, 0, 0, 0);
        CHECK(db.updateDailyCounts(next, nullptr));
        CHECK(db.dailyCounts(nullptr) == next);
    });
    CHECK(tableRows(fx.path(), "daily_counts").size() == 1);
}

TEST_CASE("event aggregates") {
    DatabaseFixture fx;
    auto& db = fx.database();
    std::optional<APMError> error;

    SUBCASE("a record comes back with its sampling state") {
        auto record = aggregates("_e", 12, 3, 2, 1700000000.75);
        record.setLastBundledTimestamp(1699990000.5);
        record.setLastSamplingRate(7);
        record.setLastSampledComplexEventID(-99);
        record.setLastExemptFromSampling(true);
        record.setLastBundledDay(19675);
        fx.onWorker([&] {
            CHECK_FALSE(db.eventAggregatesWithName("_e", &error));
            CHECK_FALSE(error);
            REQUIRE(db.updateEventAggregates(record, &error));
            CHECK(db.eventAggregatesWithName("_e", &error) == record);
            // No complex event ID is stored as none.
            record.setLastSampledComplexEventID(std::nullopt);
            REQUIRE(db.updateEventAggregates(record, &error));
            CHECK(db.eventAggregatesWithName("_e", &error) == record);
            CHECK(db.allEventAggregates(&error)->size() == 1);
        });
    }
    SUBCASE("session counts are cleared, other counts kept") {
        fx.onWorker([&] {
            REQUIRE(db.updateEventAggregates(aggregates("a", 5, 4, 3), nullptr));
            REQUIRE(db.updateEventAggregates(aggregates("b", 9, 8, 7), nullptr));
            CHECK(db.clearCurrentSessionCounts(&error));
            const auto all = db.allEventAggregates(nullptr);
            REQUIRE(all);
            for (const auto& entry : *all) {
                CHECK(entry.currentSessionCount() == 0);
                CHECK(entry.lifetimeCount() == (entry.name() == "a" ? 5 : 9));
                CHECK(entry.currentBundleCount() == (entry.name() == "a" ? 4 : 8));
            }
        });
    }
    SUBCASE("a stored count beyond 32 bits reads as 0; an empty name is refused") {
        fx.onWorker([&] { REQUIRE(db.updateEventAggregates(aggregates("a", 5), nullptr)); });
        {
            auto store = APMSqliteStore::makeWithDatabasePath(fx.path().string(), nullptr);
            REQUIRE(store->executeStatement("UPDATE events SET lifetime_count = ?", {std::int64_t{1} << 33}, nullptr));
        }
        fx.onWorker([&] {
            CHECK(db.eventAggregatesWithName("a", nullptr)->lifetimeCount() == 0);
            CHECK_FALSE(db.updateEventAggregates(aggregates("", 1), &error));
            CHECK(error->code() == 1);
        });
    }
}

TEST_CASE("the events snapshot sets the counters aside and brings them back") {
    DatabaseFixture fx;
    auto& db = fx.database();
    std::optional<APMError> error;
    fx.onWorker([&] {
        REQUIRE(db.updateEventAggregates(aggregates("purchase", 5, 1, 1, 100), nullptr));
        REQUIRE(db.updateEventAggregates(aggregates("_s", 3), nullptr));
    });

    SUBCASE("nothing to restore without a snapshot") {
        fx.onWorker([&] {
            CHECK(db.restoreFromEventsSnapshotTable(&error));
            CHECK(lifetimeCounts(db) == std::map<std::string, std::int32_t>{{"_s", 3}, {"purchase", 5}});
        });
    }
    SUBCASE("a restore replaces every aggregate by the snapshot's and empties it") {
        fx.onWorker([&] {
            REQUIRE(db.updateEventAggregates(aggregates("_f", 1), nullptr));
            REQUIRE(db.createEventsSnapshotTable(&error));
            REQUIRE(db.updateEventAggregates(aggregates("purchase", 9), nullptr));
            REQUIRE(db.updateEventAggregates(aggregates("during_denial", 2), nullptr));
            REQUIRE(db.updateEventAggregates(aggregates("_f", 4), nullptr));
            REQUIRE(db.restoreFromEventsSnapshotTable(&error));
            // The snapshot counted a first open: its "_f" wins.
            CHECK(lifetimeCounts(db) == std::map<std::string, std::int32_t>{{"_f", 1}, {"_s", 3}, {"purchase", 5}});
            CHECK(db.eventAggregatesWithName("purchase", nullptr)->lastFireTimestamp() == 100);
            // Emptied: a second restore changes nothing.
            REQUIRE(db.updateEventAggregates(aggregates("purchase", 10), nullptr));
            REQUIRE(db.restoreFromEventsSnapshotTable(&error));
            CHECK(lifetimeCounts(db).at("purchase") == 10);
        });
        CHECK(tableRows(fx.path(), "events_snapshot").empty());
    }
    SUBCASE("a snapshot whose first-open count is 0 keeps the current first open") {
        fx.onWorker([&] {
            REQUIRE(db.updateEventAggregates(aggregates("_f", 0), nullptr));
            REQUIRE(db.createEventsSnapshotTable(&error));
            REQUIRE(db.updateEventAggregates(aggregates("_f", 1, 1, 1, 555), nullptr));
            REQUIRE(db.updateEventAggregates(aggregates("purchase", 9), nullptr));
            REQUIRE(db.restoreFromEventsSnapshotTable(&error));
            CHECK(lifetimeCounts(db) == std::map<std::string, std::int32_t>{{"_f", 1}, {"_s", 3}, {"purchase", 5}});
            CHECK(db.eventAggregatesWithName("_f", nullptr)->lastFireTimestamp() == 555);
        });
    }
    SUBCASE("a snapshot without a first open keeps the current one") {
        fx.onWorker([&] {
            REQUIRE(db.createEventsSnapshotTable(&error));
            REQUIRE(db.updateEventAggregates(aggregates("_f", 1), nullptr));
            REQUIRE(db.restoreFromEventsSnapshotTable(&error));
            CHECK(lifetimeCounts(db) == std::map<std::string, std::int32_t>{{"_f", 1}, {"_s", 3}, {"purchase", 5}});
        });
    }
    SUBCASE("making a snapshot again replaces the earlier one") {
        fx.onWorker([&] {
            REQUIRE(db.createEventsSnapshotTable(&error));
            REQUIRE(db.updateEventAggregates(aggregates("purchase", 6), nullptr));
            REQUIRE(db.createEventsSnapshotTable(&error));
            REQUIRE(db.updateEventAggregates(aggregates("purchase", 7), nullptr));
            REQUIRE(db.restoreFromEventsSnapshotTable(&error));
            CHECK(lifetimeCounts(db).at("purchase") == 6);
        });
    }
    SUBCASE("a snapshot table that cannot be made is logged with 12058 and changes nothing") {
        {
            // Something else of that name stands in the way.
            auto store = APMSqliteStore::makeWithDatabasePath(fx.path().string(), nullptr);
            REQUIRE(store->executeStatement("CREATE VIEW events_snapshot AS SELECT * FROM events", {}, nullptr));
        }
        fx.onWorker([&] {
            CHECK_FALSE(db.createEventsSnapshotTable(&error));
            CHECK(error);
            CHECK(lifetimeCounts(db) == std::map<std::string, std::int32_t>{{"_s", 3}, {"purchase", 5}});
        });
        auto entries = fx.capture.entriesWithCode(kAPMDatabaseSnapshotTableFailedCode);
        REQUIRE(entries.size() == 1);
        CHECK(entries[0].level == 4);
        CHECK(entries[0].message == "Failed to ensure event snapshot table");
    }
}
