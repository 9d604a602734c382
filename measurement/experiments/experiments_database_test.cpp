// The experiments database: its tables, activation, stale rows, automatic activation, damaged rows and resets.
#include <doctest/doctest.h>

#include <sqlite3.h>

#include <chrono>
#include <thread>

#include "measurement/experiments/experiments_codes.h"
#include "measurement/experiments/experiments_database.h"
#include "measurement/experiments/experiments_test_support.h"

using namespace measurement;
using namespace measurement::experiments_test;
using platform::Value;

namespace {

struct DatabaseFixture {
    platform::dispatch::ManualTime time{true, kStart};
    testsupport::TempDir dir;
    std::string path = (dir / "experiments.sql").string();
    std::unique_ptr<APMEDatabase> database = APMEDatabase::initWithPath(path);
    APMMonitorCapture capture;

    // Another connection to the file, for what the database does not read.
    std::unique_ptr<APMSqliteStore> raw() {
        auto store = APMSqliteStore::makeWithDatabasePath(path, nullptr);
        REQUIRE(store);
        return store;
    }
    // (sdk, experiment IDs, timestamp, mark) of every row of the table.
    std::vector<std::string> rows(const std::string& table) {
        auto read = database->allDataTypesFromTableWithName(table, 100, nullptr);
        REQUIRE(read);
        std::vector<std::string> described;
        for (const auto& row : *read) {
            auto message = APMPBSnapshot::initWithBuffer(row.at("snapshotProto").asData().bytes);
            REQUIRE(message);
            std::string text = row.at("sdk_name").asString() + " [";
            for (const auto& experiment :
                 NANOGetArray<APMPBExperiment>(*message, APMPBFieldIndexForTag(nano_APMPBSnapshot_experiments_tag))) {
                text += std::to_string(
                            NANOGetInt32(experiment, APMPBFieldIndexForTag(nano_APMPBExperiment_experiment_id_tag))) +
                        ";";
            }
            text += "] " + std::to_string(static_cast<long long>(row.at("timestamp").realValue() - kStart));
            const auto mark = row.find("manually_activated");
            text += mark == row.end() ? " null" : " " + std::to_string(mark->second.intValue());
            described.push_back(text);
        }
        return described;
    }
    void pending(const std::string& sdk, const std::vector<APMPBExperiment>& experiments, double age,
                 std::optional<bool> mark) {
        REQUIRE(database->upsertSnapshot(snapshotMessage(sdk, experiments), kAPMEPendingSnapshotTable, kStart - age,
                                         mark, nullptr));
    }
};

using Rows = std::vector<std::string>;

}  // namespace

TEST_CASE("the three tables and their columns") {
    DatabaseFixture f;
    REQUIRE(f.database);
    for (const char* table : {kAPMEPendingSnapshotTable, kAPMEActivatedSnapshotTable, kAPMELaunchedSnapshotTable}) {
        CAPTURE(table);
        auto columns = f.raw()->recordsForQuery(
            std::string("SELECT name, type, pk FROM pragma_table_info('") + table + "') ORDER BY cid", {}, nullptr);
        REQUIRE(columns);
        REQUIRE(columns->size() == 4);
        CHECK((*columns)[0].at("name") == Value("sdk_name"));
        CHECK((*columns)[0].at("pk") == Value(1));
        CHECK((*columns)[1].at("name") == Value("snapshotProto"));
        CHECK((*columns)[1].at("type") == Value("BLOB"));
        CHECK((*columns)[2].at("type") == Value("REAL"));
        CHECK((*columns)[3].at("name") == Value("manually_activated"));
    }
    SUBCASE("a file whose tables do not fit is deleted, and the next open starts afresh") {
        f.database.reset();
        REQUIRE(f.raw()->executeStatement("DROP TABLE launched_snapshot_table", {}, nullptr));
        REQUIRE(f.raw()->executeStatement("CREATE TABLE launched_snapshot_table (sdk_name TEXT)", {}, nullptr));
        CHECK_FALSE(APMEDatabase::initWithPath(f.path));
        CHECK(f.capture.hasCode(kAPMEDatabaseTablesFailedCode));
        CHECK_FALSE(std::filesystem::exists(f.path));
        CHECK(APMEDatabase::initWithPath(f.path));
    }
    SUBCASE("no path") {
        CHECK_FALSE(APMEDatabase::initWithPath(""));
        CHECK(f.capture.hasCode(kAPMEDatabaseInvalidPathCode));
    }
}

TEST_CASE("a new file that another process holds is waited for, never deleted under it") {
    platform::dispatch::ManualTime time(false, kStart);
    testsupport::TempDir dir;
    const std::string path = (dir / "experiments.sql").string();
    APMMonitorCapture capture;
    sqlite3* other = nullptr;
    REQUIRE(sqlite3_open(path.c_str(), &other) == SQLITE_OK);
    REQUIRE(sqlite3_exec(other, "PRAGMA journal_mode=WAL; CREATE TABLE other_rows (a); INSERT INTO other_rows VALUES (1);",
                         nullptr, nullptr, nullptr) == SQLITE_OK);
    REQUIRE(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK);
    std::unique_ptr<APMEDatabase> database;
    std::thread opener([&] { database = APMEDatabase::initWithPath(path); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!capture.hasCode(kAPMSqliteStoreBusyCode) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    REQUIRE(capture.hasCode(kAPMSqliteStoreBusyCode));

    SUBCASE("held until the wait ends: the open fails and the file stays") {
        time.clock().advance(kAPMSqliteStoreBusyTimeoutSeconds + 1);
        opener.join();
        CHECK_FALSE(database);
        CHECK(capture.hasCode(kAPMEDatabaseTablesFailedCode));
        // The check's transaction never began: the table it was at, and why.
        const auto logged = capture.entriesWithCode(kAPMEDatabaseEnsureTableCode);
        REQUIRE(logged.size() == 1);
        REQUIRE(logged[0].contexts.size() == 2);
        CHECK(logged[0].contexts[0] == Value(kAPMEPendingSnapshotTable));
        CHECK(logged[0].contexts[1].stringValue().find("Failed to begin transaction") != std::string::npos);
    }
    SUBCASE("let go within the wait: the tables are made beside the other rows") {
        REQUIRE(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK);
        opener.join();
        CHECK(database);
    }
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    auto store = APMSqliteStore::makeWithDatabasePath(path, nullptr);
    REQUIRE(store);
    CHECK(store->recordsForQuery("SELECT a FROM other_rows", {}, nullptr)->size() == 1);
}

TEST_CASE("a file another process has open is never deleted under it: emptied instead, or kept as it is") {
    DatabaseFixture f;
    auto other = f.raw();
    SUBCASE("deleting the file") {
        f.pending("sdk", {experimentMessage(1, {})}, 5, false);
        f.database->closeAndDelete();
        CHECK(f.capture.hasCode(kAPMEDatabaseDeleteDataCode));
        CHECK(other->recordsForQuery("SELECT * FROM pending_snapshot_table", {}, nullptr)->empty());
    }
    SUBCASE("a file whose tables do not fit") {
        f.database.reset();
        REQUIRE(other->executeStatement("DROP TABLE launched_snapshot_table", {}, nullptr));
        REQUIRE(other->executeStatement("CREATE TABLE launched_snapshot_table (sdk_name TEXT)", {}, nullptr));
        CHECK_FALSE(APMEDatabase::initWithPath(f.path));
        // Logged with the deletion's error: why the file was kept.
        const auto logged = f.capture.entriesWithCode(kAPMEDatabaseDeleteAfterFailureCode);
        REQUIRE(logged.size() == 1);
        REQUIRE_FALSE(logged[0].contexts.empty());
        const auto error = logged[0].contexts[0].stringValue();
        CHECK(error.find("Failed to delete database") != std::string::npos);
        CHECK(error.find("another process has it open (another holder in this process)") != std::string::npos);
        CHECK(other->tableExists("launched_snapshot_table", nullptr));
    }
    CHECK(std::filesystem::exists(f.path));
}

TEST_CASE("activating a pending snapshot") {
    DatabaseFixture f;
    const auto e0 = experimentMessage(0, {flag("l", 1)});
    const auto e5 = experimentMessage(5, {flag("a", 1)});
    const auto e6 = experimentMessage(6, {});
    std::optional<APMError> error;
    CHECK_FALSE(f.database->activateSnapshot(nullptr, kStart, &error));
    REQUIRE(error);
    CHECK(error->localizedDescription() == "Received nil pending snapshot");

    struct Case {
        const char* name;
        std::vector<APMPBExperiment> experiments;
        Rows activated, launched;
    };
    const std::vector<Case> cases = {
        {"others and the launched one", {e0, e5, e6}, {"sdk [5;6;] 0 null"}, {"sdk [0;] 0 null"}},
        {"only the launched one: the activated row is emptied", {e0}, {"sdk [] 0 null"}, {"sdk [0;] 0 null"}},
        {"no launched one: the launched row stays as it was", {e6}, {"sdk [6;] 0 null"}, {"sdk [0;] -50 null"}},
    };
    for (const auto& c : cases) {
        CAPTURE(c.name);
        auto& g = f;
        g.database->reset();
        REQUIRE(g.database->upsertSnapshot(snapshotMessage("sdk", {e5}), kAPMEActivatedSnapshotTable, kStart - 50,
                                           std::nullopt, nullptr));
        REQUIRE(g.database->upsertSnapshot(snapshotMessage("sdk", {e0}), kAPMELaunchedSnapshotTable, kStart - 50,
                                           std::nullopt, nullptr));
        g.pending("sdk", c.experiments, 10, true);
        const auto pendingSnapshot = snapshot("sdk", c.experiments);
        REQUIRE(g.database->activateSnapshot(&pendingSnapshot, kStart, nullptr));
        CHECK(g.rows(kAPMEActivatedSnapshotTable) == c.activated);
        CHECK(g.rows(kAPMELaunchedSnapshotTable) == c.launched);
        CHECK(g.rows(kAPMEPendingSnapshotTable).empty());
    }
    SUBCASE("a pending row stored after the activation time survives it") {
        f.database->reset();
        f.pending("sdk", {e5}, -30, false);
        const auto pendingSnapshot = snapshot("sdk", {e5});
        REQUIRE(f.database->activateSnapshot(&pendingSnapshot, kStart, nullptr));
        CHECK(f.rows(kAPMEPendingSnapshotTable) == Rows{"sdk [5;] 30 0"});
    }
}

TEST_CASE("the start-up work: stale activated rows go, unmarked pending rows activate at their own time") {
    DatabaseFixture f;
    const auto e = [](std::int32_t id) { return experimentMessage(id, {flag("f", id)}); };
    for (const auto& [sdk, age] : std::vector<std::pair<std::string, double>>{
             {"fresh", 259199}, {"stale", 259200}, {"older", 400000}}) {
        REQUIRE(f.database->upsertSnapshot(snapshotMessage(sdk, {e(1)}), kAPMEActivatedSnapshotTable, kStart - age,
                                           std::nullopt, nullptr));
    }
    f.pending("auto", {e(0), e(2)}, 500, false);
    f.pending("manual", {e(3)}, 400, true);
    f.pending("nomark", {e(4)}, 300, std::nullopt);
    REQUIRE(f.database->performTransaction([&] {
        return f.database->deleteStaleActivatedSnapshots(nullptr) &&
               f.database->activatePendingSnapshotsAutomatically(nullptr);
    }));
    CHECK(f.rows(kAPMEActivatedSnapshotTable) == Rows{"fresh [1;] -259199 null", "auto [2;] -500 null"});
    CHECK(f.rows(kAPMELaunchedSnapshotTable) == Rows{"auto [0;] -500 null"});
    CHECK(f.rows(kAPMEPendingSnapshotTable) == Rows{"manual [3;] -400 1", "nomark [4;] -300 null"});
    const auto pending = f.database->fetchAllPendingSnapshots(nullptr);
    REQUIRE(pending);
    REQUIRE(pending->size() == 2);
    CHECK((*pending)[0].manuallyActivated());
    CHECK((*pending)[0].timestamp() == kStart - 400);
    CHECK_FALSE((*pending)[1].manuallyActivated());
}

TEST_CASE("a damaged row is left out and logged; the rest of its table is read and activated") {
    DatabaseFixture f;
    f.pending("good", {experimentMessage(1, {})}, 20, false);
    REQUIRE(f.raw()->executeStatement(
        "INSERT INTO pending_snapshot_table (sdk_name, snapshotProto, timestamp, manually_activated) "
        "VALUES ('bad', x'0aff', ?, 0)",
        {Value(kStart)}, nullptr));
    f.pending("later", {experimentMessage(2, {})}, 10, true);
    const auto pending = f.database->fetchAllPendingSnapshots(nullptr);
    REQUIRE(pending);
    CHECK(pending->size() == 2);
    CHECK(f.capture.count(kAPMEDatabaseUnreadableRowCode) == 1);
    REQUIRE(f.database->activatePendingSnapshotsAutomatically(nullptr));
    CHECK(f.rows(kAPMEActivatedSnapshotTable) == Rows{"good [1;] -20 null"});
}

TEST_CASE("writing, deleting, resetting and deleting the file") {
    DatabaseFixture f;
    f.pending("sdk", {experimentMessage(1, {})}, 5, false);
    f.pending("sdk", {experimentMessage(2, {})}, 4, true);
    CHECK(f.rows(kAPMEPendingSnapshotTable) == Rows{"sdk [2;] -4 1"});
    std::optional<APMError> error;
    CHECK_FALSE(f.database->deleteActivatedExperimentsOfSDKName("", &error));
    REQUIRE(error);
    CHECK(error->localizedDescription() == "Received empty SDK Name");
    REQUIRE(f.database->deletePendingExperimentsOfSDKName("sdk", nullptr));
    CHECK(f.rows(kAPMEPendingSnapshotTable).empty());

    f.pending("sdk", {experimentMessage(1, {})}, 5, false);
    f.database->reset();
    CHECK(f.rows(kAPMEPendingSnapshotTable).empty());
    f.database->closeAndDelete();
    CHECK_FALSE(std::filesystem::exists(f.path));
    CHECK_FALSE(f.database->fetchAllPendingSnapshots(nullptr));
}
