// Tests of the database: opening, layout and transactions.
#include <doctest/doctest.h>

#include <limits>
#include <set>
#include <stdexcept>

#include "measurement/store/database_test_support.h"
#include "platform/foundation/process_info.h"

using namespace measurement;
using namespace measurement::testing;
using platform::Value;

TEST_CASE("the database opens its file with every table and the current schema version") {
    DatabaseFixture fx;
    auto rows = tableRows(fx.path(), "sqlite_master");
    std::set<std::string> tables;
    for (const auto& row : rows) {
        if (row.at("type").stringValue() == "table") tables.insert(row.at("name").asString());
    }
    for (const char* table : {"raw_events", "raw_events_metadata", "queue", "events", "user_attributes", "daily_counts",
                              "app_metadata", "event_filters", "property_filters", "audience_filter_values",
                              "conditional_properties", "purchase_transactions"}) {
        CHECK_MESSAGE(tables.count(table), table);
    }
    auto store = APMSqliteStore::makeWithDatabasePath(fx.path().string(), nullptr);
    CHECK(store->userVersion(nullptr) == kAPMDatabaseSchemaVersion);
    CHECK(fx.database().databasePath() == fx.path().string());
}

TEST_CASE("the default database lives in the engine's folder") {
    testsupport::TempDir dir;
    APMMonitorCapture capture;
    platform::ProcessInfo::setApplicationSupportDirectory(dir.path());
    platform::dispatch::ManualTime time;
    APMScheduler scheduler;
    scheduler.workerQueue()->sync([&] {
        auto database = APMDatabase::makeDefault(nullptr);
        REQUIRE(database);
        CHECK(database->databasePath() ==
              (dir.path() / "Rozeda" / "Measurement" / "rozeda-app-measurement.sql").string());
    });
    platform::ProcessInfo::reset();
}

TEST_CASE("database transactions") {
    DatabaseFixture fx;
    auto metadataIndex = [&] {
        std::int32_t index = -1;
        fx.onWorker([&] { index = fx.database().queryAppMetadata(nullptr)->lastBundleIndex(); });
        return index;
    };
    auto store = [&](std::int32_t index) {
        CHECK(fx.database().updateAppMetadata(*APMAppMetadata::make(index, 0, 0), nullptr));
    };

    SUBCASE("true commits") {
        fx.onWorker([&] {
            CHECK(fx.database().performTransaction([&] {
                store(5);
                return true;
            }));
        });
        CHECK(metadataIndex() == 5);
        CHECK_FALSE(fx.capture.hasCode(kAPMDatabaseTransactionFailedCode));
    }
    SUBCASE("false leaves the database as it was and is logged") {
        fx.onWorker([&] {
            store(1);
            CHECK_FALSE(fx.database().performTransaction([&] {
                store(9);
                return false;
            }));
        });
        CHECK(metadataIndex() == 1);
        auto entries = fx.capture.entriesWithCode(kAPMDatabaseTransactionFailedCode);
        REQUIRE(entries.size() == 1);
        CHECK(entries[0].level == 1);
        CHECK(entries[0].message == "Transaction failed. Transaction failed");
    }
    SUBCASE("an exception leaves the database as it was and reaches the caller") {
        fx.onWorker([&] {
            store(1);
            CHECK_THROWS_AS(fx.database().performTransaction([&]() -> bool {
                store(9);
                throw std::runtime_error("stop");
            }),
                            std::runtime_error);
        });
        CHECK(metadataIndex() == 1);
        CHECK(fx.capture.count(kAPMDatabaseTransactionFailedCode) == 1);
    }
    SUBCASE("calls from the main thread are reported and still carried out") {
        fx.capture.clear();
        CHECK(fx.database().updateAppMetadata(*APMAppMetadata::make(3, 0, 0), nullptr));
        auto entries = fx.capture.entriesWithCode(30001);
        REQUIRE(entries.size() == 1);
        CHECK(entries[0].message == "Method updateAppMetadata:error: should execute on background thread");
        CHECK(metadataIndex() == 3);
    }
}

TEST_CASE("app metadata, configuration update time and the stored configuration") {
    DatabaseFixture fx;

    SUBCASE("nothing stored reads as zero and empty") {
        fx.onWorker([&] {
            auto metadata = fx.database().queryAppMetadata(nullptr);
            REQUIRE(metadata);
            CHECK(*metadata == APMAppMetadata());
            CHECK(fx.database().remoteConfigSuccessfulTimestamp(nullptr) == 0.0);
            auto config = fx.database().measurementConfigData(nullptr);
            REQUIRE(config);
            CHECK(config->empty());
        });
    }
    SUBCASE("each write keeps the others and survives reopening") {
        const NANOBytes config{0x12, 0x03, 'a', 'p', 'p', 0x00, 0xff};
        fx.onWorker([&] {
            CHECK(fx.database().updateMeasurementConfigData(config, nullptr));
            CHECK(fx.database().updateRemoteConfigSuccessfulTimestamp(1700000123.25, nullptr));
            CHECK(fx.database().updateAppMetadata(*APMAppMetadata::make(41, 1700000000.5, 1700000100.75), nullptr));
        });
        fx.reopen();
        fx.onWorker([&] {
            CHECK(fx.database().measurementConfigData(nullptr) == config);
            CHECK(fx.database().remoteConfigSuccessfulTimestamp(nullptr) == 1700000123.25);
            auto metadata = fx.database().queryAppMetadata(nullptr);
            REQUIRE(metadata);
            CHECK(metadata->lastBundleIndex() == 41);
            CHECK(metadata->lastBundleStartTimestamp() == 1700000000.5);
            CHECK(metadata->lastBundleEndTimestamp() == 1700000100.75);
        });
        CHECK(tableRows(fx.path(), "app_metadata").size() == 1);
    }
    SUBCASE("a newer configuration replaces the older one") {
        fx.onWorker([&] {
            CHECK(fx.database().updateMeasurementConfigData({1, 2, 3}, nullptr));
            CHECK(fx.database().updateMeasurementConfigData({4}, nullptr));
            CHECK(fx.database().measurementConfigData(nullptr) == NANOBytes{4});
        });
    }
    SUBCASE("a time that is not finite is refused") {
        fx.onWorker([&] {
            std::optional<APMError> error;
            CHECK_FALSE(fx.database().updateRemoteConfigSuccessfulTimestamp(
                std::numeric_limits<double>::quiet_NaN(), &error));
            CHECK(error->code() == 1);
        });
    }
}

TEST_CASE("app metadata records") {
    APMMonitorCapture capture;

    SUBCASE("a negative index is refused with 4000") {
        CHECK_FALSE(APMAppMetadata::make(-1, 0, 0));
        auto entries = capture.entriesWithCode(kAPMAppMetadataNegativeBundleIndexCode);
        REQUIRE(entries.size() == 1);
        CHECK(entries[0].level == 2);
        CHECK(entries[0].message == "Failed to create app metadata object. Received negative last bundle index.");
    }
    SUBCASE("the index counts up and starts again at 0 after the 32-bit maximum") {
        auto metadata = *APMAppMetadata::make(std::numeric_limits<std::int32_t>::max() - 1, 1, 2);
        metadata.incrementLastBundleIndex();
        CHECK(metadata.lastBundleIndex() == std::numeric_limits<std::int32_t>::max());
        CHECK_FALSE(capture.hasCode(kAPMAppMetadataBundleIndexOverflowCode));
        metadata.incrementLastBundleIndex();
        CHECK(metadata.lastBundleIndex() == 0);
        auto entries = capture.entriesWithCode(kAPMAppMetadataBundleIndexOverflowCode);
        REQUIRE(entries.size() == 1);
        CHECK(entries[0].level == 5);
        CHECK(entries[0].message == "Bundle index overflow. Bundle index reset to 0.");
    }
}
