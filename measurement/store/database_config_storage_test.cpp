// Tests of the configuration storage.
#include <doctest/doctest.h>

#include <memory>

#include "measurement/store/config_test_support.h"
#include "measurement/store/database_config_storage.h"
#include "measurement/store/database_test_support.h"
#include "measurement/store/remote_config.h"

using namespace measurement;
using config_test::ConfigBuilder;

namespace {

// The fixture owns the database; the storage only borrows it.
std::shared_ptr<APMDatabaseConfigStorage> storageOver(testing::DatabaseFixture& fixture) {
    return std::make_shared<APMDatabaseConfigStorage>(
        std::shared_ptr<APMDatabase>(&fixture.database(), [](APMDatabase*) {}));
}

// The stored configuration as the database gives it back.
std::int64_t storedVersion(testing::DatabaseFixture& fixture) {
    auto data = fixture.database().measurementConfigData(nullptr);
    REQUIRE(data);
    if (data->empty()) return -1;
    auto config = APMPBMeasurementConfig::initWithBuffer(*data);
    REQUIRE(config);
    return config->message()->has_version ? config->message()->version : -1;
}

}  // namespace

TEST_CASE("the server configuration in the measurement database") {
    testing::DatabaseFixture fixture;
    fixture.onWorker([&] {
        auto storage = storageOver(fixture);
        APMRemoteConfig config(storage, config_test::testEnvironment());
        REQUIRE(config.version() == -1);

        SUBCASE("a rolled-back transaction leaves both the database and memory as they were") {
            storage->performTransaction([&] {
                CHECK(config.updateMeasurementConfig(ConfigBuilder().version(7).config(), nullptr));
                CHECK(storedVersion(fixture) == 7);  // visible inside the transaction
                return false;
            });
            CHECK(storedVersion(fixture) == -1);
            CHECK(config.version() == -1);
        }

        SUBCASE("a committed one is read back from the file by a new instance") {
            CHECK(storage->performTransaction(
                [&] { return config.updateMeasurementConfig(ConfigBuilder().version(7).config(), nullptr); }));
            CHECK(config.version() == 7);
            CHECK(storedVersion(fixture) == 7);
        }

        SUBCASE("a configuration for another app stores nothing") {
            ConfigBuilder other("another-app");
            CHECK_FALSE(storage->performTransaction(
                [&] { return config.updateMeasurementConfig(other.version(9).config(), nullptr); }));
            CHECK(storedVersion(fixture) == -1);
        }

        SUBCASE("expiry reads the database's last update time") {
            config.updateMeasurementConfig(ConfigBuilder().version(1).config(), nullptr);
            REQUIRE(fixture.database().updateRemoteConfigSuccessfulTimestamp(fixture.time.now() - 3599, nullptr));
            CHECK_FALSE(config.isExpired());
            REQUIRE(fixture.database().updateRemoteConfigSuccessfulTimestamp(fixture.time.now() - 3600, nullptr));
            CHECK(config.isExpired());
        }
    });

    SUBCASE("the stored configuration survives reopening the file") {
        fixture.onWorker([&] {
            APMRemoteConfig config(storageOver(fixture), config_test::testEnvironment());
            config.updateMeasurementConfig(ConfigBuilder().version(11).config(), nullptr);
        });
        fixture.reopen();
        fixture.onWorker([&] {
            APMRemoteConfig reloaded(storageOver(fixture), config_test::testEnvironment());
            CHECK(reloaded.version() == 11);
        });
    }
}
