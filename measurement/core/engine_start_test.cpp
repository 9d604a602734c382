// Tests of the engine's start on a data folder that other processes share
// or that was damaged: the first open decided once per database, and a
// measurement database that can never be used set aside.
#include <doctest/doctest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "measurement/core/arurerudo.h"
#include "measurement/core/codes.h"
#include "measurement/core/core_test_support.h"
#include "measurement/core/measurement.h"
#include "measurement/store/files.h"
#include "measurement/store/persisted_config.h"
#include "testsupport/test_hooks.h"

using namespace measurement;
using measurement::testing::EngineFixture;

namespace fs = std::filesystem;

namespace {

fs::path engineFile(EngineFixture& engine, const std::string& name) {
    return engine.folder() / "Application Support" / kAPMApplicationSupportFolder / name;
}

std::size_t countOf(const std::vector<std::string>& names, const std::string& name) {
    return static_cast<std::size_t>(std::count(names.begin(), names.end(), name));
}

}  // namespace

TEST_CASE("a measurement database that can never be used is set aside at start and the next event stored") {
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> damage;
    };
    const std::vector<Case> cases = {
        {"a folder", [](const fs::path& path) { fs::create_directories(path / "inside"); }},
        {"a fifo",
         [](const fs::path& path) {
             fs::create_directories(path.parent_path());
             REQUIRE(::mkfifo(path.c_str(), 0600) == 0);
         }},
        {"another program's table under the engine's name",
         [](const fs::path& path) {
             fs::create_directories(path.parent_path());
             auto store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr);
             REQUIRE(store);
             REQUIRE(store->executeStatement("CREATE TABLE raw_events (something TEXT)", {}, nullptr));
         }},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        EngineFixture engine;
        const auto database = engineFile(engine, kAPMDatabaseFileName);
        entry.damage(database);
        engine.configure();
        VEZArurerudo::logEventWithName("after_damage");
        engine.settle();
        CHECK(engine.rawEventNames() == std::vector<std::string>{"_f", "after_damage"});
        CHECK(engine.monitor().count(kAPMSqliteStoreSetAsideCode) == 1);
        CHECK_FALSE(engine.monitor().hasCode(kAPMEngineInitFailedCode));
        CHECK(fs::exists(database.string() + ".corrupt"));
    }
}

TEST_CASE("an engine whose settings show no first open takes the one its database recorded") {
    EngineFixture engine;
    engine.configure();
    const auto firstOpen = APMMeasurement::sharedInstance()->persistedConfig()->firstOpenTimestampMilliseconds();
    REQUIRE(firstOpen > 0);
    engine.restart();
    // Another process started together with the first: it read the
    // settings before the first one wrote them.
    fs::remove(engineFile(engine, APMPersistedConfig::kFileName));
    engine.time().clock().advance(60);
    engine.configure();
    CHECK(countOf(engine.rawEventNames(), "_f") == 1);
    CHECK(APMMeasurement::sharedInstance()->persistedConfig()->firstOpenTimestampMilliseconds() == firstOpen);
    CHECK(engine.monitor().count(kAPMFirstOpenReportedCode) == 1);
}

TEST_CASE("an engine whose database cannot record the first open reports it all the same") {
    // The failure is made with a trigger of the test's own.
    const test_hooks::FileTriggersRun triggersRun;

    EngineFixture engine;
    const auto database = engineFile(engine, kAPMDatabaseFileName);
    fs::create_directories(database.parent_path());
    {
        // A file that stores events but refuses every write of its metadata row.
        auto store = APMSqliteStore::makeWithDatabasePath(database.string(), nullptr);
        REQUIRE(store);
        REQUIRE(store->executeStatement("CREATE TABLE app_metadata (id INTEGER NOT NULL PRIMARY KEY, last_bundle_index "
                                        "INTEGER NOT NULL DEFAULT 0, last_bundle_start_timestamp REAL NOT NULL DEFAULT "
                                        "0, last_bundle_end_timestamp REAL NOT NULL DEFAULT 0)",
                                        {}, nullptr));
        REQUIRE(store->executeStatement("CREATE TRIGGER refuse BEFORE INSERT ON app_metadata BEGIN SELECT RAISE(ABORT, "
                                        "'read-only'); END",
                                        {}, nullptr));
    }
    engine.configure();
    CHECK(countOf(engine.rawEventNames(), "_f") == 1);
    CHECK(engine.monitor().count(kAPMFirstOpenReportedCode) == 1);
    CHECK_FALSE(engine.monitor().hasCode(kAPMSqliteStoreSetAsideCode));
}
