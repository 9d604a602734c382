// Tests of the raw events and their headers.
#include <doctest/doctest.h>

#include <limits>

#include "measurement/store/database_test_support.h"

using namespace measurement;
using namespace measurement::testing;
using platform::Value;

namespace {

APMEvent makeEvent(const std::string& name, double timestamp, APMParameters parameters = {}) {
    return APMEvent("app", name.front() != '_', name, timestamp, 0, std::move(parameters));
}

}  // namespace

TEST_CASE("raw events are stored under their metadata fingerprint and read back") {
    DatabaseFixture fx;
    auto& db = fx.database();
    std::optional<APMError> error;

    SUBCASE("an event comes back as it was written") {
        fx.onWorker([&] {
            APMEvent event("auto", true, "level_up", 1700000000.123, 1699999999.5,
                           APMParameters{{"level", APMValue(std::int64_t{7})},
                                         {"score", APMValue(2.25)},
                                         {"character", APMValue("mage")}});
            event.setRealtime(true);
            const auto rowID = db.insertRawEvent(event, -42, &error);
            REQUIRE(rowID);
            auto run = db.rawEventsWithMetadataFingerprint(-42, &error, nullptr);
            REQUIRE(run);
            REQUIRE(run->size() == 1);
            const APMRawEventData& stored = run->front();
            CHECK(stored.rowID() == *rowID);
            CHECK(stored.metadataFingerprint() == -42);
            CHECK(stored.event().name() == "level_up");
            CHECK(stored.event().origin() == "auto");
            CHECK(stored.event().isPublic());
            CHECK(stored.event().isRealtime());
            CHECK(stored.event().timestamp() == 1700000000.123);
            CHECK(stored.event().previousTimestamp() == 1699999999.5);
            CHECK(stored.event().parameters() == event.parameters());
            CHECK(db.containsRealtimeRawEventsWithError(&error) == true);
        });
        const auto rows = tableRows(fx.path(), "raw_events");
        REQUIRE(rows.size() == 1);
        CHECK(rows[0].at("name") == Value("level_up"));
        CHECK(rows[0].at("timestamp") == Value(1700000000.123));
        CHECK(rows[0].at("metadata_fingerprint") == Value(-42));
        CHECK(rows[0].at("is_realtime") == Value(1));
        // The data column is the encoded event.
        auto decoded = APMPBEvent::initWithBuffer(rows[0].at("data").asData().bytes);
        REQUIRE(decoded);
        CHECK(NANOGetString(*decoded, 1) == "level_up");
        CHECK(NANOGetInt64(*decoded, 2) == 1700000000123);
    }
    SUBCASE("internal names read back as not public; refusals") {
        fx.onWorker([&] {
            REQUIRE(db.insertRawEvent(makeEvent("_e", 10), 1, nullptr));
            auto run = db.rawEventsWithMetadataFingerprint(1, nullptr, nullptr);
            REQUIRE(run->size() == 1);
            CHECK_FALSE(run->front().event().isPublic());
            CHECK_FALSE(run->front().event().isRealtime());
            CHECK_FALSE(db.insertRawEvent(APMEvent("app", true, "", 10, 0, APMParameters{}), 1, &error));
            CHECK(error->code() == 1);
        });
    }
    SUBCASE("the metadata header of a fingerprint") {
        fx.onWorker([&] {
            auto header = makeBundle("velmora-sample-app", 0);
            NANOSetString(header, APMPBMeasurementBundleFieldIndex(52), "G111");
            REQUIRE(db.insertRawEventMetadata(header, 77, &error));
            auto read = db.queryRawEventsMetadataWithFingerprint(77, &error);
            REQUIRE(read);
            CHECK(NANOGetString(*read, APMPBMeasurementBundleFieldIndex(52)) == "G111");
            CHECK(NANOGetString(*read, APMPBMeasurementBundleFieldIndex(14)) == "velmora-sample-app");
            // Storing again replaces it.
            NANOSetString(header, APMPBMeasurementBundleFieldIndex(52), "G100");
            REQUIRE(db.insertRawEventMetadata(header, 77, &error));
            CHECK(NANOGetString(*db.queryRawEventsMetadataWithFingerprint(77, &error),
                                APMPBMeasurementBundleFieldIndex(52)) == "G100");
            CHECK_FALSE(db.queryRawEventsMetadataWithFingerprint(78, &error));
            CHECK(error->code() == kAPMDatabaseMissingRowCode);
            CHECK(db.deleteRawEventMetadataWithMetadataFingerprint(77, &error));
            CHECK_FALSE(db.queryRawEventsMetadataWithFingerprint(77, nullptr));
        });
        CHECK(tableRows(fx.path(), "raw_events_metadata").empty());
    }
    SUBCASE("a missing header, one that does not decode and a failing query answer codes apart") {
        fx.onWorker([&] { REQUIRE(db.insertRawEventMetadata(makeBundle("velmora-sample-app", 0), 5, &error)); });
        {
            auto store = APMSqliteStore::makeWithDatabasePath(fx.path().string(), nullptr);
            REQUIRE(store->executeStatement("UPDATE raw_events_metadata SET metadata = ? WHERE metadata_fingerprint = 5",
                                            {Value(platform::Data{{0xff, 0xff, 0xff}})}, nullptr));
        }
        std::vector<long> codes;
        fx.onWorker([&] {
            for (std::int64_t fingerprint : {6, 5}) {
                std::optional<APMError> headerError;
                CHECK_FALSE(db.queryRawEventsMetadataWithFingerprint(fingerprint, &headerError));
                REQUIRE(headerError);
                codes.push_back(headerError->code());
            }
        });
        {
            auto store = APMSqliteStore::makeWithDatabasePath(fx.path().string(), nullptr);
            REQUIRE(store->executeStatement("DROP TABLE raw_events_metadata", {}, nullptr));
        }
        fx.onWorker([&] {
            std::optional<APMError> queryError;
            CHECK_FALSE(db.queryRawEventsMetadataWithFingerprint(5, &queryError));
            REQUIRE(queryError);
            codes.push_back(queryError->code());
        });
        REQUIRE(codes.size() == 3);
        CHECK(codes[0] == kAPMDatabaseMissingRowCode);
        CHECK(codes[1] == kAPMDatabaseUndecodableDataCode);
        // A failing query is the store's failure, neither of the two.
        CHECK(codes[2] != kAPMDatabaseMissingRowCode);
        CHECK(codes[2] != kAPMDatabaseUndecodableDataCode);
    }
}

TEST_CASE("the run of raw events to bundle") {
    DatabaseFixture fx;
    auto& db = fx.database();
    std::optional<APMError> error;

    SUBCASE("the oldest event's fingerprint comes first; none when there is no event") {
        fx.onWorker([&] {
            CHECK_FALSE(db.nextMetadataFingerprintToProcess(&error));
            CHECK_FALSE(error);
            const auto first = *db.insertRawEvent(makeEvent("a", 1), 500, nullptr);
            db.insertRawEvent(makeEvent("b", 2), 400, nullptr);
            CHECK(db.nextMetadataFingerprintToProcess(&error) == 500);
            CHECK(db.deleteRawEventsWithMaxRowID(first, &error));
            CHECK(db.nextMetadataFingerprintToProcess(&error) == 400);
        });
    }
    SUBCASE("rows of one fingerprint in row order, each offered with its position") {
        fx.onWorker([&] {
            std::vector<std::int64_t> rowIDs;
            for (int i = 0; i < 5; ++i) {
                rowIDs.push_back(*db.insertRawEvent(makeEvent("e" + std::to_string(i), 100 + i), 1, nullptr));
                db.insertRawEvent(makeEvent("other", 100 + i), 2, nullptr);
            }
            std::vector<std::size_t> positions;
            std::vector<std::int64_t> offeredRowIDs;
            auto run = db.rawEventsWithMetadataFingerprint(1, &error, [&](const APMRow& row, std::size_t position) {
                positions.push_back(position);
                offeredRowIDs.push_back(row.at("rowid").intValue());
                return position < 3;
            });
            REQUIRE(run);
            CHECK(positions == std::vector<std::size_t>{0, 1, 2, 3});
            CHECK(offeredRowIDs == std::vector<std::int64_t>(rowIDs.begin(), rowIDs.begin() + 4));
            REQUIRE(run->size() == 3);
            for (std::size_t i = 0; i < 3; ++i) {
                CHECK((*run)[i].rowID() == rowIDs[i]);
                CHECK((*run)[i].event().name() == "e" + std::to_string(i));
            }
            // The interleaved fingerprint's row IDs are not consecutive.
            CHECK(rowIDs[1] - rowIDs[0] == 2);
        });
    }
    SUBCASE("at most 1000 rows are read") {
        fx.onWorker([&] {
            REQUIRE(db.performTransaction([&] {
                for (int i = 0; i < 1003; ++i) {
                    if (!db.insertRawEvent(makeEvent("e", i), 9, nullptr)) return false;
                }
                return true;
            }));
            std::size_t offered = 0;
            auto run = db.rawEventsWithMetadataFingerprint(9, &error, [&](const APMRow&, std::size_t) {
                ++offered;
                return true;
            });
            CHECK(offered == 1000);
            CHECK(run->size() == 1000);
            CHECK(run->back().event().timestamp() == 999.0);
        });
    }
    SUBCASE("a row that does not decode ends the run") {
        fx.onWorker([&] {
            db.insertRawEvent(makeEvent("good", 1), 3, nullptr);
            db.insertRawEvent(makeEvent("bad", 2), 3, nullptr);
            db.insertRawEvent(makeEvent("later", 3), 3, nullptr);
        });
        {
            auto store = APMSqliteStore::makeWithDatabasePath(fx.path().string(), nullptr);
            REQUIRE(store->executeStatement("UPDATE raw_events SET data = ? WHERE name = 'bad'",
                                            {Value(platform::Data{{0xff, 0xff, 0xff}})}, nullptr));
        }
        fx.onWorker([&] {
            auto run = db.rawEventsWithMetadataFingerprint(3, &error, nullptr);
            REQUIRE(run);
            REQUIRE(run->size() == 1);
            CHECK(run->front().event().name() == "good");
            std::optional<APMError> rowError;
            CHECK_FALSE(db.rawEventDataFromDictionary({{"rowid", 1}}, &rowError));
            CHECK(rowError->code() == kAPMDatabaseUndecodableDataCode);
        });
    }
}

TEST_CASE("raw event deletion, existence and latest time") {
    DatabaseFixture fx;
    auto& db = fx.database();
    std::optional<APMError> error;
    fx.onWorker([&] {
        CHECK(db.isRawEventsTableEmpty(&error) == true);
        CHECK(db.queryLatestRawEventTime(&error) == 0.0);
        CHECK(db.containsRealtimeRawEventsWithError(&error) == false);
        const auto first = *db.insertRawEvent(makeEvent("a", 1700000005.5), 1, nullptr);
        const auto second = *db.insertRawEvent(makeEvent("b", 1700000001.25), 1, nullptr);
        db.insertRawEvent(makeEvent("c", 1700000003), 2, nullptr);
        CHECK(db.isRawEventsTableEmpty(&error) == false);
        CHECK(db.queryLatestRawEventTime(&error) == 1700000005.5);
        CHECK(db.containsRawEventWithMetadataFingerprint(1, &error) == true);
        CHECK(db.containsRawEventWithMetadataFingerprint(5, &error) == false);

        CHECK(db.deleteRawEventsWithMaxRowID(first, &error));
        CHECK(db.containsRawEventWithMetadataFingerprint(1, &error) == true);
        CHECK(db.queryLatestRawEventTime(&error) == 1700000003.0);
        CHECK(db.deleteRawEventsWithMaxRowID(second, &error));
        CHECK(db.containsRawEventWithMetadataFingerprint(1, &error) == false);
        CHECK(db.containsRawEventWithMetadataFingerprint(2, &error) == true);
    });
}

TEST_CASE("hour buckets are whole hours since 1970 in 64 bits") {
    CHECK(APMHourBucket(0) == 0);
    CHECK(APMHourBucket(3599.999) == 0);
    CHECK(APMHourBucket(3600) == 1);
    CHECK(APMHourBucket(1700000000.9) == 472222);
    // 2038-01-19T03:14:08Z, one second past the 32-bit range of seconds.
    CHECK(APMHourBucket(2147483648.0) == 596523);
    // 2100-01-01T00:00:00Z.
    CHECK(APMHourBucket(4102444800.0) == 1139568);
    CHECK(APMHourBucket(1099511627776.0) == 305419896);
    // Floored to a second first, then truncated toward zero.
    CHECK(APMHourBucket(-0.5) == 0);
    CHECK(APMHourBucket(-3601) == -1);
    CHECK(APMHourBucket(std::numeric_limits<double>::quiet_NaN()) == 0);
    CHECK(APMHourBucket(1e300) == std::numeric_limits<std::int64_t>::max() / 3600);
}
