// Tests of the bundle queue.
#include <doctest/doctest.h>

#include <limits>

#include "measurement/foundation/bundle_tags.h"
#include "measurement/store/database_test_support.h"
#include "platform/dispatch/clock.h"
#include "platform/frameworks/utilities/gzip.h"

using namespace measurement;
using namespace measurement::testing;
using platform::Value;

namespace {

constexpr const char* kAppID = "velmora-queue-test";

// A bundle whose encoding is about `padding` bytes longer than the bare one.
APMPBMeasurementBundle paddedBundle(std::int64_t endMillis, std::size_t padding) {
    auto bundle = makeBundle(kAppID, endMillis);
    NANOSetString(bundle, APMPBMeasurementBundleFieldIndex(24), std::string(padding, 'x'));
    return bundle;
}

std::int64_t encodedSize(const APMPBMeasurementBundle& bundle) {
    return static_cast<std::int64_t>(bundle.protoBuffer().size());
}

// The system's kind of clock, standing at one moment.
class FixedSystemClock : public platform::dispatch::Clock {
public:
    explicit FixedSystemClock(double now) : now_(now) {}
    double now() const override { return now_; }
    double uptime() const override { return 1000; }

private:
    double now_;
};

std::vector<std::int64_t> rowIDsOf(const std::vector<APMQueuedBundle>& bundles) {
    std::vector<std::int64_t> ids;
    for (const auto& entry : bundles) ids.push_back(entry.rowID);
    return ids;
}

void setRetryCount(const std::filesystem::path& path, std::int64_t rowID, std::int64_t count) {
    auto store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr);
    REQUIRE(store->executeStatement("UPDATE queue SET retry_count = ? WHERE rowid = ?", {count, rowID}, nullptr) == 1);
}

}  // namespace

TEST_CASE("bundles are queued gzip-compressed with their end time") {
    DatabaseFixture fx;
    auto& db = fx.database();
    std::optional<APMError> error;
    const std::int64_t end = static_cast<std::int64_t>(fx.time.now() * 1000) - 1500;

    SUBCASE("a stored bundle reads back whole") {
        auto bundle = paddedBundle(end, 300);
        NANOSetInt32(bundle, APMPBMeasurementBundleFieldIndex(23), 12);
        fx.onWorker([&] {
            CHECK(db.isQueuedBundleTableEmpty(&error) == true);
            REQUIRE(db.insertBundle(bundle, true, &error));
            auto queued = db.queryBundlesWithCountLimit(10, 65536, &error);
            REQUIRE(queued);
            REQUIRE(queued->size() == 1);
            CHECK(queued->front().bundle == bundle);
            CHECK(queued->front().retryCount == 0);
            CHECK(db.isQueuedBundleTableEmpty(&error) == false);
            CHECK(db.containsRealtimeBundlesWithError(&error) == true);
            CHECK(db.queryLatestBundleTime(&error) == static_cast<double>(end) / 1000.0);
        });
        const auto rows = tableRows(fx.path(), "queue");
        REQUIRE(rows.size() == 1);
        auto inflated = platform::rul_dataByInflatingGzippedData(rows[0].at("data").asData().bytes);
        REQUIRE(inflated);
        CHECK(*inflated == bundle.protoBuffer());
        CHECK(rows[0].at("data").asData().bytes.size() < inflated->size());
        CHECK(rows[0].at("bundle_end_timestamp") == Value(static_cast<double>(end) / 1000.0));
        CHECK(rows[0].at("is_realtime") == Value(1));
        CHECK(rows[0].at("retry_count") == Value(0));
    }
    SUBCASE("a bundle without application identifier or end time is refused") {
        fx.onWorker([&] {
            CHECK_FALSE(db.insertBundle(makeBundle("", end), false, &error));
            CHECK(error->code() == 1);
            error.reset();
            CHECK_FALSE(db.insertBundle(makeBundle(kAppID, 0), false, &error));
            CHECK(error->code() == 1);
            CHECK(db.isQueuedBundleTableEmpty(nullptr) == true);
        });
    }
    SUBCASE("times past 2038 stay exact") {
        const std::int64_t farEnd = 4102444800500;  // 2100-01-01T00:00:00.5Z
        fx.onWorker([&] {
            REQUIRE(db.insertBundle(makeBundle(kAppID, farEnd), false, &error));
            CHECK(db.queryLatestBundleTime(&error) == 4102444800.5);
            CHECK(db.containsRealtimeBundlesWithError(&error) == false);
            CHECK(NANOGetInt64(db.queryBundlesWithCountLimit(1, 1, &error)->front().bundle,
                               APMPBMeasurementBundleFieldIndex(6)) == farEnd);
        });
    }
}

TEST_CASE("the queue read takes the first bundle, then respects the size limit") {
    DatabaseFixture fx;
    auto& db = fx.database();
    std::optional<APMError> error;
    const std::int64_t end = static_cast<std::int64_t>(fx.time.now() * 1000);
    const auto big = paddedBundle(end, 5000);
    const auto huge = paddedBundle(end, 9000);
    const auto small = paddedBundle(end, 10);
    std::vector<std::int64_t> ids;
    fx.onWorker([&] {
        for (const auto* bundle : {&big, &huge, &small}) {
            REQUIRE(db.insertBundle(*bundle, false, nullptr));
        }
        ids = rowIDsOf(*db.queryBundlesWithCountLimit(10, 1 << 20, nullptr));
    });
    REQUIRE(ids.size() == 3);
    auto read = [&](std::int64_t count, std::int64_t size) {
        std::vector<std::int64_t> result;
        fx.onWorker([&] {
            auto queued = db.queryBundlesWithCountLimit(count, size, &error);
            REQUIRE(queued);
            result = rowIDsOf(*queued);
        });
        return result;
    };

    SUBCASE("the first bundle even when it alone passes the limit") {
        CHECK(read(10, 100) == std::vector<std::int64_t>{ids[0]});
        CHECK(read(10, 0) == std::vector<std::int64_t>{ids[0]});
    }
    SUBCASE("the next ones while the sum stays at or below the limit") {
        const auto both = encodedSize(big) + encodedSize(huge);
        CHECK(read(10, both) == std::vector<std::int64_t>{ids[0], ids[1]});
        CHECK(read(10, both - 1) == std::vector<std::int64_t>{ids[0]});
        CHECK(read(10, both + encodedSize(small)) == ids);
    }
    SUBCASE("the read stops at the first bundle that does not fit") {
        // The small third bundle would fit, but the huge second one ends the read.
        CHECK(read(10, encodedSize(big) + encodedSize(small)) == std::vector<std::int64_t>{ids[0]});
    }
    SUBCASE("the count limit") {
        CHECK(read(2, 1 << 20) == std::vector<std::int64_t>{ids[0], ids[1]});
        CHECK(read(0, 1 << 20).empty());
        CHECK(read(-1, 1 << 20).empty());
    }
    SUBCASE("a queued row that cannot be read is dropped at once, each logged with its row ID") {
        {
            auto store = APMSqliteStore::makeWithDatabasePath(fx.path().string(), nullptr);
            // Bytes that are not gzip, and gzip of bytes that are no bundle.
            REQUIRE(store->executeStatement("UPDATE queue SET data = ? WHERE rowid = ?",
                                            {Value(platform::Data{{1, 2, 3}}), ids[0]}, nullptr));
            const auto notABundle = platform::rul_dataByGzippingData(NANOBytes{0xff, 0xff, 0xff}, nullptr);
            REQUIRE(notABundle);
            REQUIRE(store->executeStatement("UPDATE queue SET data = ? WHERE rowid = ?",
                                            {Value(platform::Data{*notABundle}), ids[2]}, nullptr));
        }
        CHECK(read(10, 1 << 20) == std::vector<std::int64_t>{ids[1]});
        const auto entries = fx.capture.entriesWithCode(kAPMDatabaseUndecodableBundleCode);
        REQUIRE(entries.size() == 2);
        CHECK(entries[0].contexts.at(0) == Value(ids[0]));
        CHECK(entries[1].contexts.at(0) == Value(ids[2]));
        // Each with why, as the console says it.
        CHECK(APMMonitor::consoleLine(entries[0]).find(": " + std::to_string(ids[0]) +
                                                       ", the bundle data does not inflate: ") != std::string::npos);
        CHECK(APMMonitor::consoleLine(entries[1]).ends_with(": " + std::to_string(ids[2]) +
                                                            ", the bundle does not decode"));
        CHECK(tableRows(fx.path(), "queue").size() == 1);
        fx.onWorker([&] { CHECK(db.isQueuedBundleTableEmpty(&error) == false); });
        fx.onWorker([&] { CHECK(db.deleteBundlesWithRowIDs({ids[1]}, &error)); });
        // Nothing unreadable is left to make the queue look non-empty.
        fx.onWorker([&] { CHECK(db.isQueuedBundleTableEmpty(&error) == true); });
    }
    SUBCASE("deleted bundles are gone") {
        fx.onWorker([&] { CHECK(db.deleteBundlesWithRowIDs({ids[0], ids[2]}, &error)); });
        CHECK(read(10, 1 << 20) == std::vector<std::int64_t>{ids[1]});
        fx.onWorker([&] { CHECK(db.deleteBundlesWithRowIDs({}, &error)); });
    }
}

TEST_CASE("a queued bundle never takes the row ID of one deleted before it") {
    DatabaseFixture fx;
    auto& db = fx.database();
    const std::int64_t end = static_cast<std::int64_t>(fx.time.now() * 1000);
    std::vector<std::int64_t> sent, queuedSince;
    fx.onWorker([&] {
        for (int i = 0; i < 2; ++i) REQUIRE(db.insertBundle(makeBundle(kAppID, end), false, nullptr));
        sent = rowIDsOf(*db.queryBundlesWithCountLimit(10, 1 << 20, nullptr));
        // The queue emptied by an upload's confirmation...
        REQUIRE(db.deleteBundlesWithRowIDs(sent, nullptr));
        REQUIRE(db.insertBundle(makeBundle(kAppID, end + 1), false, nullptr));
        queuedSince = rowIDsOf(*db.queryBundlesWithCountLimit(10, 1 << 20, nullptr));
        // ...and a late confirmation of the same rows deletes nothing queued since.
        REQUIRE(db.deleteBundlesWithRowIDs(sent, nullptr));
    });
    REQUIRE(sent.size() == 2);
    REQUIRE(queuedSince.size() == 1);
    CHECK(queuedSince[0] > sent[1]);
    CHECK(tableRows(fx.path(), "queue").size() == 1);

    // A record of the highest row ID that cannot serve still lets bundles in.
    for (const Value& record : {Value(std::numeric_limits<std::int64_t>::max()), Value("nine"), Value(-5)}) {
        CAPTURE(record);
        {
            auto store = APMSqliteStore::makeWithDatabasePath(fx.path().string(), nullptr);
            REQUIRE(store->executeStatement("UPDATE app_metadata SET last_queue_row_id = ?", {record}, nullptr) == 1);
        }
        const auto before = tableRows(fx.path(), "queue").size();
        fx.onWorker([&] { CHECK(db.insertBundle(makeBundle(kAppID, end + 2), false, nullptr)); });
        CHECK(tableRows(fx.path(), "queue").size() == before + 1);
    }
}

TEST_CASE("retry counts rise by one up to the 32-bit limit") {
    DatabaseFixture fx;
    auto& db = fx.database();
    std::optional<APMError> error;
    const std::int64_t end = static_cast<std::int64_t>(fx.time.now() * 1000);
    std::vector<std::int64_t> ids;
    fx.onWorker([&] {
        for (int i = 0; i < 3; ++i) REQUIRE(db.insertBundle(makeBundle(kAppID, end), false, nullptr));
        ids = rowIDsOf(*db.queryBundlesWithCountLimit(10, 1 << 20, nullptr));
    });
    auto retries = [&] {
        std::vector<std::int64_t> counts;
        for (const auto& row : tableRows(fx.path(), "queue")) counts.push_back(row.at("retry_count").intValue());
        return counts;
    };

    SUBCASE("only the given bundles") {
        fx.onWorker([&] {
            CHECK(db.incrementRetryCounterForBundlesWithIDs({ids[0], ids[2]}, &error));
            CHECK(db.incrementRetryCounterForBundlesWithIDs({ids[0], 999}, &error));
        });
        CHECK(retries() == std::vector<std::int64_t>{2, 0, 1});
        fx.onWorker([&] { CHECK(db.queryBundlesWithCountLimit(1, 1, &error)->front().retryCount == 2); });
    }
    SUBCASE("a count at 2147483647 stays, logged with 12054") {
        setRetryCount(fx.path(), ids[1], 2147483646);
        fx.onWorker([&] { CHECK(db.incrementRetryCounterForBundlesWithIDs(ids, &error)); });
        CHECK(retries() == std::vector<std::int64_t>{1, 2147483647, 1});
        CHECK_FALSE(fx.capture.hasCode(kAPMDatabaseRetryCountLimitCode));
        fx.onWorker([&] { CHECK(db.incrementRetryCounterForBundlesWithIDs(ids, &error)); });
        CHECK(retries() == std::vector<std::int64_t>{2, 2147483647, 2});
        auto entries = fx.capture.entriesWithCode(kAPMDatabaseRetryCountLimitCode);
        REQUIRE(entries.size() == 1);
        CHECK(entries[0].level == 1);
        CHECK(entries[0].message == "The number of upload retries exceeds the limit. Will remain unchanged.");
        CHECK(entries[0].contexts == std::vector<Value>{Value(ids[1])});
    }
}

TEST_CASE("the stale clean-up gives up old and hopeless data") {
    DatabaseFixture fx;
    auto& db = fx.database();
    std::optional<APMError> error;
    const double now = fx.time.now();
    auto millis = [](double seconds) { return static_cast<std::int64_t>(seconds * 1000); };
    const double day = 86400;

    SUBCASE("a bundle past the maximum age is warned about when stored and dropped by the next insert") {
        fx.onWorker([&] {
            REQUIRE(db.insertBundle(makeBundle(kAppID, millis(now - 29 * day)), false, &error));
            CHECK(fx.capture.count(kAPMDatabaseBundleOutsideMaxTimeSpanCode) == 1);
            REQUIRE(db.insertBundle(makeBundle(kAppID, millis(now - 27 * day)), false, &error));
            CHECK(fx.capture.count(kAPMDatabaseBundleOutsideMaxTimeSpanCode) == 1);
        });
        auto rows = tableRows(fx.path(), "queue");
        REQUIRE(rows.size() == 1);
        CHECK(rows[0].at("bundle_end_timestamp") == Value(static_cast<double>(millis(now - 27 * day)) / 1000.0));
        auto entries = fx.capture.entriesWithCode(kAPMDatabaseStaleBundlesDeletedCode);
        REQUIRE(entries.size() == 1);
        CHECK(entries[0].contexts == std::vector<Value>{Value(1)});
    }
    SUBCASE("failed uploads alone never drop a bundle; refusals of it sent alone do") {
        std::vector<std::int64_t> ids;
        fx.onWorker([&] {
            for (int i = 0; i < 3; ++i) REQUIRE(db.insertBundle(makeBundle(kAppID, millis(now)), false, &error));
            ids = rowIDsOf(*db.queryBundlesWithCountLimit(10, 1 << 20, nullptr));
            // A month of failed attempts, as in a long outage.
            for (int attempt = 0; attempt < 100; ++attempt) {
                REQUIRE(db.incrementRetryCounterForBundlesWithIDs(ids, &error));
            }
            CHECK(db.deleteStaleData({}, &error) == 0);
            // Refused in a batch of three: marked, not counted.
            for (int attempt = 0; attempt < 10; ++attempt) {
                REQUIRE(db.recordRefusalOfBundlesWithIDs(ids, 400, false, &error));
            }
            CHECK(db.deleteStaleData({}, &error) == 0);
            const auto queued = *db.queryBundlesWithCountLimit(10, 1 << 20, nullptr);
            CHECK(queued[1].refusalStatus == 400);
            CHECK(queued[1].refusalCount == 0);
            CHECK(queued[1].retryCount == 100);
            // Refused alone: five times is below the default limit of six.
            for (int attempt = 0; attempt < 5; ++attempt) {
                REQUIRE(db.recordRefusalOfBundlesWithIDs({ids[1]}, 413, true, &error));
            }
            CHECK(db.deleteStaleData({}, &error) == 0);
            REQUIRE(db.recordRefusalOfBundlesWithIDs({ids[1]}, 422, true, &error));
            CHECK(db.deleteStaleData({}, &error) == 1);
            CHECK(rowIDsOf(*db.queryBundlesWithCountLimit(10, 1 << 20, nullptr)) ==
                  std::vector<std::int64_t>{ids[0], ids[2]});
        });
        const auto entries = fx.capture.entriesWithCode(kAPMDatabaseRefusedBundleDeletedCode);
        REQUIRE(entries.size() == 1);
        CHECK(entries[0].contexts == std::vector<Value>{Value(ids[1]), Value(422), Value(6)});
    }
    SUBCASE("the limits come from the caller") {
        fx.onWorker([&] {
            REQUIRE(db.insertBundle(makeBundle(kAppID, millis(now - 7200)), false, &error));
            REQUIRE(db.insertBundle(makeBundle(kAppID, millis(now - 60)), false, &error));
            REQUIRE(db.insertBundle(makeBundle(kAppID, millis(now - 60)), false, &error));
            auto ids = rowIDsOf(*db.queryBundlesWithCountLimit(10, 1 << 20, nullptr));
            REQUIRE(db.recordRefusalOfBundlesWithIDs({ids[1]}, 400, true, &error));
            REQUIRE(db.incrementRetryCounterForBundlesWithIDs({ids[2]}, &error));
            const APMQueueLimits limits{3600, 1};
            REQUIRE(db.insertBundle(makeBundle(kAppID, millis(now)), false, &error, limits));
            CHECK(db.queryBundlesWithCountLimit(10, 1 << 20, nullptr)->size() == 2);
        });
    }
    SUBCASE("only rows stamped by the clean-up's own kind of clock, or by none, are old to it") {
        const auto manual = platform::dispatch::currentClock();
        const auto system = std::make_shared<FixedSystemClock>(now);
        // Kept from every clean-up at the insert.
        const APMQueueLimits keepAll{std::numeric_limits<double>::infinity(), kAPMDefaultUploadRefusalLimit};
        const std::pair<const char*, std::optional<std::int64_t>> stamps[] = {
            {"manual", kAPMManualClockStamp}, {"system", kAPMSystemClockStamp}, {"unstamped", std::nullopt}};
        fx.onWorker([&] {
            REQUIRE(db.insertRawEventMetadata(makeBundle(kAppID, 0), 1, nullptr));
            for (const auto& stamp : stamps) {
                platform::dispatch::setClock(stamp.second == kAPMSystemClockStamp ? system : manual);
                const APMEvent event("app", true, stamp.first, now - 30 * day, 0, APMParameters{});
                REQUIRE(db.insertRawEvent(event, 1, nullptr));
                REQUIRE(db.insertBundle(makeBundle(stamp.first, millis(now - 30 * day)), false, nullptr, keepAll,
                                        stamp.second));
            }
        });
        {
            auto store = APMSqliteStore::makeWithDatabasePath(fx.path().string(), nullptr);
            REQUIRE(
                store->executeStatement("UPDATE raw_events SET clock = NULL WHERE name = 'unstamped'", {}, nullptr));
        }
        // The raw events' names and the bundles' application identifiers left.
        auto left = [&] {
            std::string names;
            for (const auto& row : tableRows(fx.path(), "raw_events")) names += row.at("name").asString() + " ";
            fx.onWorker([&] {
                const auto queue = db.queryBundlesWithCountLimit(10, 1 << 20, nullptr);
                REQUIRE(queue);
                for (const auto& queued : *queue) {
                    names += NANOGetString(queued.bundle, bundleFieldIndex(bundle_tag::kAppID)).value_or("") + " ";
                }
            });
            return names;
        };
        platform::dispatch::setClock(system);
        fx.onWorker([&] { CHECK(db.deleteStaleData({}, &error) == 4); });
        CHECK(left() == "manual manual ");
        platform::dispatch::setClock(manual);
        fx.onWorker([&] { CHECK(db.deleteStaleData({}, &error) == 2); });
        CHECK(left().empty());
    }
    SUBCASE("raw events past the maximum age go, with headers no longer used") {
        fx.onWorker([&] {
            const APMEvent old("app", true, "old", now - 30 * day, 0, APMParameters{});
            const APMEvent fresh("app", true, "fresh", now - 60, 0, APMParameters{});
            REQUIRE(db.insertRawEventMetadata(makeBundle(kAppID, 0), 1, nullptr));
            REQUIRE(db.insertRawEventMetadata(makeBundle(kAppID, 0), 2, nullptr));
            REQUIRE(db.insertRawEvent(old, 1, nullptr));
            REQUIRE(db.insertRawEvent(old, 2, nullptr));
            REQUIRE(db.insertRawEvent(fresh, 2, nullptr));
            CHECK(db.deleteStaleData({}, &error) == 2);
            CHECK(db.containsRawEventWithMetadataFingerprint(1, nullptr) == false);
            CHECK_FALSE(db.queryRawEventsMetadataWithFingerprint(1, nullptr));
            CHECK(db.queryRawEventsMetadataWithFingerprint(2, nullptr));
            auto run = db.rawEventsWithMetadataFingerprint(2, nullptr, nullptr);
            REQUIRE(run->size() == 1);
            CHECK(run->front().event().name() == "fresh");
        });
        CHECK(fx.capture.count(kAPMDatabaseStaleRawEventsDeletedCode) == 1);
    }
}
