// Tests that a database file that can never be used is set aside and a new
// one made, that one that is only held by another connection is kept, and
// that the lock beside it is waited for within a bound.
#include <doctest/doctest.h>

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "measurement/store/database_test_support.h"
#include "testsupport/child_process.h"
#include "testsupport/file_text.h"
#include "testsupport/scoped_launch_options.h"
#include "testsupport/sqlite_file.h"
#include "testsupport/test_hooks.h"

using namespace measurement;
using namespace measurement::testing;
using platform::Value;

namespace fs = std::filesystem;

namespace {

using testsupport::runSQL;

APMEvent event(const std::string& name) { return APMEvent("app", true, name, 1700000000.0, 0, APMParameters{}); }

std::unique_ptr<APMDatabase> open(APMScheduler& scheduler, const fs::path& path, std::optional<APMError>* error) {
    std::unique_ptr<APMDatabase> db;
    scheduler.workerQueue()->sync([&] { db = APMDatabase::makeWithPath(path.string(), error); });
    return db;
}

// The two tables of the damaged-file cases, as their owner declares them.
const APMDeclaredSchema kKeptAndLost = {{{"kept", {{"a", ""}}}, {"lost", {{"a", ""}}}}, {}};

// A foreign file of one table whose rows are only in its write-ahead log:
// copied while a connection still holds the log.
void makeForeignFileWithLog(const fs::path& path) {
    const fs::path source = path.string() + ".source";
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open(source.c_str(), &db) == SQLITE_OK);
    REQUIRE(sqlite3_exec(db,
                         "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0; CREATE TABLE queue (payload BLOB); "
                         "INSERT INTO queue VALUES (x'01'), (x'02');",
                         nullptr, nullptr, nullptr) == SQLITE_OK);
    fs::copy_file(source, path);
    fs::copy_file(source.string() + "-wal", path.string() + "-wal");
    sqlite3_close(db);
}

}  // namespace

TEST_CASE("a file that can never hold the engine's data is set aside and a new one made") {
    testsupport::TempDir dir;
    const auto path = dir / "measurement.sql";
    const std::string aside = path.string() + ".corrupt";
    struct Case {
        std::string what;
        std::function<void()> make;
        // Checks what was set aside.
        std::function<void()> kept;
    };
    const std::vector<Case> cases = {
        {"a folder", [&] { fs::create_directories(path / "inside"); },
         [&] { CHECK(fs::is_directory(fs::path(aside) / "inside")); }},
        {"a fifo", [&] { REQUIRE(::mkfifo(path.c_str(), 0600) == 0); },
         [&] { CHECK(fs::is_fifo(aside)); }},
        {"another program's table under the engine's name, its rows in the log",
         [&] { makeForeignFileWithLog(path); },
         [&] {
             CHECK(fs::exists(aside + "-wal"));
             CHECK(tableRows(aside, "queue").size() == 2);
         }},
    };
    platform::dispatch::ManualTime time;
    APMScheduler scheduler;
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        for (const auto& leftover : fs::directory_iterator(dir.path())) fs::remove_all(leftover);
        entry.make();
        APMMonitorCapture capture;
        std::optional<APMError> error;
        auto db = open(scheduler, path, &error);
        REQUIRE_MESSAGE(db, (error ? error->description() : ""));
        scheduler.workerQueue()->sync([&] {
            REQUIRE(db->insertRawEvent(event("after"), 1, nullptr));
            REQUIRE(db->updateDailyCounts(APMDailyCounts(1, 0, 1, 1, 0, 0, 0), nullptr));
            CHECK(db->dailyCounts(nullptr)->allEventsCount() == 1);
            db.reset();
        });
        REQUIRE(capture.count(kAPMSqliteStoreSetAsideCode) == 1);
        CHECK(capture.entriesWithCode(kAPMSqliteStoreSetAsideCode).front().contexts.at(0) == Value(aside));
        CHECK_FALSE(capture.hasCode(kAPMDatabaseSchemaFailedCode));
        entry.kept();
        CHECK(tableRows(path, "raw_events").size() == 1);
        // Opened again, the new file is used as it is.
        capture.clear();
        REQUIRE(open(scheduler, path, nullptr));
        CHECK_FALSE(capture.hasCode(kAPMSqliteStoreSetAsideCode));
    }

}

TEST_CASE("a second file set aside takes the next name free for it and its companions") {
    testsupport::TempDir dir;
    APMMonitorCapture capture;
    const auto path = dir / "measurement.sql";
    const std::string taken = path.string() + ".corrupt-2-wal";
    testsupport::writeText(taken, "another's");
    platform::dispatch::ManualTime time;
    APMScheduler scheduler;
    for (int i = 0; i < 2; ++i) {
        // The log of the file made the first time stays beside the folder.
        fs::remove(path);
        fs::create_directories(path);
        REQUIRE(open(scheduler, path, nullptr));
    }
    CHECK(fs::is_directory(path.string() + ".corrupt"));
    CHECK(fs::is_directory(path.string() + ".corrupt-3"));
    CHECK(fs::exists(path.string() + ".corrupt-3-wal"));
    CHECK(testsupport::readText(taken) == "another's");
    CHECK(fs::is_regular_file(path));
}

TEST_CASE("setting aside takes the file the store opened, with its companions, or puts them back") {
    testsupport::TempDir dir;
    const auto path = dir / "measurement.sql";
    const std::string aside = path.string() + ".corrupt";
    const std::string mark = path.string() + kAPMSqliteStoreDamageMarkSuffix;
    APMMonitorCapture capture;
    auto store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr);
    REQUIRE(store);
    REQUIRE(store->executeStatement("CREATE TABLE foreign_rows (a)", {}, nullptr));
    REQUIRE(store->executeStatement("INSERT INTO foreign_rows VALUES (1)", {}, nullptr));
    std::ofstream(mark) << "";

    SUBCASE("the file goes with its log, and its mark of damage with it") {
        REQUIRE(store->setAsideAndReopen("unusable", nullptr));
        CHECK(fs::exists(aside + "-wal"));
        CHECK_FALSE(fs::exists(mark));
        CHECK_FALSE(store->tableExists("foreign_rows", nullptr));
        CHECK(tableRows(aside, "foreign_rows").size() == 1);
    }
    SUBCASE("a file another process set aside and replaced meanwhile is not set aside again") {
        for (const char* suffix : {"-wal", "-shm", ""}) fs::rename(path.string() + suffix, dir / ("old" + std::string(suffix)));
        runSQL(path, "CREATE TABLE made_by_another (a); INSERT INTO made_by_another VALUES (1)");
        REQUIRE(store->setAsideAndReopen("unusable", nullptr));
        CHECK_FALSE(fs::exists(aside));
        CHECK_FALSE(capture.hasCode(kAPMSqliteStoreSetAsideCode));
        CHECK(store->tableExists("made_by_another", nullptr));
    }
    SUBCASE("a store that finds the file in use waits, and of two stores that want it set aside one does") {
        auto other = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr);
        REQUIRE(other);
        bool reopened = false;
        std::thread waiting([&] { reopened = store->setAsideAndReopen("unusable", nullptr); });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!capture.hasCode(kAPMFileLockWaitingCode) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        CHECK(capture.hasCode(kAPMFileLockWaitingCode));
        CHECK(other->setAsideAndReopen("unusable", nullptr));
        waiting.join();
        CHECK(reopened);
        CHECK(capture.count(kAPMSqliteStoreSetAsideCode) == 1);
        REQUIRE(other->executeStatement("CREATE TABLE shared (a)", {}, nullptr));
        CHECK(store->tableExists("shared", nullptr));
    }
    SUBCASE("a rename that fails puts the companions back") {
        refusedRenameSource = path.string() + kAPMSqliteStoreCarrySuffix;
        CHECK_FALSE(store->setAsideAndReopen("unusable", nullptr));
        refusedRenameSource.clear();
        CHECK(capture.hasCode(kAPMSqliteStoreSetAsideFailedCode));
        CHECK(fs::exists(path.string() + "-wal"));
        CHECK_FALSE(fs::exists(aside + "-wal"));
        CHECK(tableRows(path, "foreign_rows").size() == 1);
        // Closed, the store holds the file no longer.
        CHECK(APMSqliteStore::deleteDatabaseAtPath(path.string()));
    }
}

TEST_CASE("a file that is only used differently or held by another connection is kept") {
    testsupport::TempDir dir;
    const auto path = dir / "measurement.sql";
    platform::dispatch::ManualTime time(false);
    APMScheduler scheduler;
    APMMonitorCapture capture;
    REQUIRE(open(scheduler, path, nullptr));

    SUBCASE("a file another connection holds past the limit fails the open") {
        runSQL(path, "CREATE TABLE foreign_rows (a); INSERT INTO foreign_rows VALUES (1)");
        sqlite3* other = nullptr;
        REQUIRE(sqlite3_open(path.c_str(), &other) == SQLITE_OK);
        REQUIRE(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK);
        std::unique_ptr<APMDatabase> db;
        std::thread opener([&] { db = open(scheduler, path, nullptr); });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!capture.hasCode(kAPMSqliteStoreBusyCode) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        REQUIRE(capture.hasCode(kAPMSqliteStoreBusyCode));
        time.clock().advance(kAPMSqliteStoreBusyTimeoutSeconds + 1);
        opener.join();
        sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(other);
        CHECK_FALSE(db);
        CHECK(tableRows(path, "foreign_rows").size() == 1);
    }
    CHECK_FALSE(capture.hasCode(kAPMSqliteStoreSetAsideCode));
    CHECK_FALSE(fs::exists(path.string() + ".corrupt"));
}

TEST_CASE("a file another program changed after the engine last examined it is examined again") {
    testsupport::TempDir dir;
    const auto path = dir / "measurement.sql";
    const std::string aside = path.string() + ".corrupt";
    struct Case {
        std::string what;
        std::string change;
    };
    const std::vector<Case> cases = {
        {"an elementary column dropped", "ALTER TABLE raw_events DROP COLUMN name"},
        {"a table of another program's under an engine table's name",
         "DROP TABLE daily_counts; CREATE TABLE daily_counts (counted TEXT)"},
    };
    platform::dispatch::ManualTime time;
    APMScheduler scheduler;
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        for (const auto& leftover : fs::directory_iterator(dir.path())) fs::remove_all(leftover);
        REQUIRE(open(scheduler, path, nullptr));
        runSQL(path, entry.change);
        APMMonitorCapture capture;
        auto db = open(scheduler, path, nullptr);
        REQUIRE(db);
        scheduler.workerQueue()->sync([&] {
            CHECK(db->insertRawEvent(event("after"), 1, nullptr));
            db.reset();
        });
        CHECK(capture.count(kAPMSqliteStoreSetAsideCode) == 1);
        CHECK(fs::exists(aside));
        CHECK(tableRows(path, "raw_events").size() == 1);
    }
}

namespace {

// The first column of each row a query gives, as text, read by a
// connection of the test's own that changes nothing.
std::vector<std::string> texts(const fs::path& path, const std::string& query) {
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
    std::vector<std::string> found;
    auto each = [](void* out, int, char** columns, char**) {
        static_cast<std::vector<std::string>*>(out)->emplace_back(columns[0] ? columns[0] : "");
        return 0;
    };
    const int rc = sqlite3_exec(db, query.c_str(), each, &found, nullptr);
    sqlite3_close(db);
    REQUIRE(rc == SQLITE_OK);
    return found;
}

std::vector<std::string> namesIn(const fs::path& path, const std::string& table) {
    return texts(path, "SELECT name FROM " + table + " ORDER BY rowid");
}

// The triggers, views and declarations with statements of their own after
// them in the file.
std::string objectsOfOthers(const fs::path& path) {
    return texts(path, "SELECT count(*) FROM sqlite_master WHERE type IN ('trigger', 'view') OR sql LIKE '%ATTACH%'")
        .at(0);
}

}  // namespace

TEST_CASE("a trigger or a view in the file is damage: the rows are carried into a file of the engine's own layout, "
          "and neither its triggers nor any statement of its declarations runs") {
    struct Case {
        std::string what;
        std::string change;
        // Made by another program while the engine has the file open.
        bool whileOpen = false;
        // The header's write version past SQLite's: damage that SQLite's
        // check does not see, beside a change that it does not either.
        bool headerRefusesWrites = false;
    };
    testsupport::TempDir elsewhere;
    const fs::path outside = elsewhere / "x.db";
    const std::vector<Case> cases = {
        {"a trigger that deletes the earlier events", testsupport::kTriggerDeletingEarlierEvents},
        {"a trigger that renames the new event", testsupport::kTriggerRenamingNewEvent},
        {"a trigger that refuses every event", testsupport::kTriggerRefusingEveryEvent},
        {"a trigger that refuses one event",
         "CREATE TRIGGER refuse BEFORE INSERT ON raw_events WHEN NEW.name = 'after' BEGIN SELECT RAISE(ABORT, 'no "
         "room'); END"},
        {"a trigger that silently drops the daily counts",
         "CREATE TRIGGER drop_counts BEFORE INSERT ON daily_counts BEGIN SELECT RAISE(IGNORE); END"},
        {"a view under an engine table's name", "DROP TABLE daily_counts; CREATE VIEW daily_counts AS SELECT 1 AS id"},
        {"a view of its own", "CREATE VIEW recent AS SELECT name FROM raw_events"},
        {"a trigger that deletes the earlier events, made while the file is open",
         testsupport::kTriggerDeletingEarlierEvents, true},
        {"a declaration that goes on to attach another file and write into it",
         "PRAGMA writable_schema = ON; UPDATE sqlite_master SET sql = sql || '; ATTACH ''" + outside.string() +
             "'' AS x; CREATE TABLE x.t (a); INSERT INTO x.t VALUES (1)' WHERE name = 'raw_events'",
         false, true},
    };
    constexpr int kBefore = 20;
    std::vector<std::string> expected;
    for (int i = 0; i < kBefore; ++i) expected.push_back("before_" + std::to_string(i));
    expected.push_back("after");
    testsupport::TempDir dir;
    const auto path = dir / "measurement.sql";
    platform::dispatch::ManualTime time;
    APMScheduler scheduler;
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        for (const auto& leftover : fs::directory_iterator(dir.path())) fs::remove_all(leftover);
        auto db = open(scheduler, path, nullptr);
        REQUIRE(db);
        scheduler.workerQueue()->sync([&] {
            for (int i = 0; i < kBefore; ++i) REQUIRE(db->insertRawEvent(event(expected[i]), 1, nullptr));
            if (!entry.whileOpen) db.reset();
        });
        runSQL(path, entry.change + "; PRAGMA wal_checkpoint(TRUNCATE)");
        if (entry.headerRefusesWrites) {
            REQUIRE(
                testsupport::overwriteBytes(path, testsupport::kWriteVersionAt, testsupport::kWriteVersionPastSQLite));
        }
        APMMonitorCapture capture;
        if (!db) db = open(scheduler, path, nullptr);
        REQUIRE(db);
        scheduler.workerQueue()->sync([&] {
            CHECK(db->insertRawEvent(event("after"), 1, nullptr));
            CHECK(db->updateDailyCounts(APMDailyCounts(1, 0, 1, 1, 0, 0, 0), nullptr));
            CHECK(db->dailyCounts(nullptr)->allEventsCount() == 1);
            db.reset();
        });
        CHECK(namesIn(path, "raw_events") == expected);
        CHECK_FALSE(capture.hasCode(kAPMSqliteStoreSetAsideCode));
        // Found at the next open: carried, none of the file's objects along.
        if (entry.whileOpen) REQUIRE(open(scheduler, path, nullptr));
        CHECK(capture.count(kAPMSqliteStoreDamagedFileCode) == 1);
        CHECK(objectsOfOthers(path) == "0");
        CHECK(objectsOfOthers(path.string() + ".corrupt") == "1");
        CHECK(namesIn(path, "raw_events") == expected);
        CHECK_FALSE(fs::exists(outside));
    }
}

TEST_CASE("an unchanged file is not examined again") {
    testsupport::TempDir dir;
    const auto path = dir / "measurement.sql";
    platform::dispatch::ManualTime time;
    APMScheduler scheduler;
    REQUIRE(open(scheduler, path, nullptr));

    SUBCASE("its open writes nothing to it") {
        // Read before any other connection, whose close would empty the log.
        const auto logged = fs::file_size(path.string() + "-wal");
        REQUIRE(logged > 0);
        REQUIRE(open(scheduler, path, nullptr));
        CHECK(fs::file_size(path.string() + "-wal") == logged);
    }
    SUBCASE("its opens carry nothing, and keep its record") {
        constexpr int kOpens = 3;
        const auto recorded = tableRows(path, "schema_checks");
        APMMonitorCapture capture;
        for (int i = 0; i < kOpens; ++i) REQUIRE(open(scheduler, path, nullptr));
        CHECK_FALSE(capture.hasCode(kAPMSqliteStoreDamagedFileCode));
        CHECK_FALSE(capture.hasCode(kAPMSqliteStoreSetAsideCode));
        CHECK(tableRows(path, "schema_checks") == recorded);
    }
    SUBCASE("a record left by an engine of another layout is examined and recorded anew") {
        const auto recorded = tableRows(path, "schema_checks");
        REQUIRE(recorded.size() == 1);
        runSQL(path, "UPDATE schema_checks SET layout = 'another layout'");
        REQUIRE(open(scheduler, path, nullptr));
        CHECK(tableRows(path, "schema_checks") == recorded);
    }
}

TEST_CASE("a file that cannot be used is kept, saying why, when its lock file cannot be locked") {
    // A folder at the lock's path stands for any lock file that cannot be
    // locked: kept there, as one that cannot be set aside would be.
    const test_hooks::OddLockKept lockKept;
    testsupport::TempDir dir;
    const auto path = dir / "measurement.sql";
    const std::string lock = path.string() + kAPMSqliteStoreLockSuffix;
    platform::dispatch::ManualTime time;
    APMScheduler scheduler;
    struct Case {
        std::string what;
        std::function<void()> make;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"a folder at the database's path, a folder at the lock's",
         [&] {
             fs::create_directories(path / "inside");
             fs::create_directories(lock);
         },
         "it is a folder; its lock file " + lock + " cannot be locked: Is a directory"},
        {"another program's table under the engine's name, a folder at the lock's path",
         [&] {
             runSQL(path, "CREATE TABLE raw_events (something TEXT); INSERT INTO raw_events VALUES ('stored_before')");
             fs::create_directories(lock);
         },
         "its lock file " + lock + " cannot be locked: Is a directory"},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        for (const auto& leftover : fs::directory_iterator(dir.path())) fs::remove_all(leftover);
        entry.make();
        APMMonitorCapture capture;
        CHECK_FALSE(open(scheduler, path, nullptr));
        const auto failed = capture.entriesWithCode(kAPMSqliteStoreSetAsideFailedCode);
        REQUIRE(failed.size() == 1);
        const auto reason = failed[0].contexts.at(1).stringValue();
        CHECK(reason.find(entry.reason) != std::string::npos);
        CHECK(reason.find("another process") == std::string::npos);
        CHECK_FALSE(fs::exists(path.string() + ".corrupt"));
    }
    CHECK(tableRows(path, "raw_events").size() == 1);
}

TEST_CASE("a store waits for its path's lock up to the bound, says who holds it, and keeps the file") {
    testsupport::TempDir dir;
    const auto path = dir / "measurement.sql";
    const std::string lock = path.string() + kAPMSqliteStoreLockSuffix;
    platform::dispatch::ManualTime time(false);
    APMScheduler scheduler;
    {
        auto db = open(scheduler, path, nullptr);
        REQUIRE(db);
        scheduler.workerQueue()->sync([&] {
            REQUIRE(db->insertRawEvent(event("stored_before"), 1, nullptr));
            db.reset();
        });
    }
    testsupport::ScopedLaunchOptions bound([](platform::LaunchOptions& options) { options.lockWaitSeconds = 0.2; });
    APMMonitorCapture capture;
    // Another process sets the file aside, or holds its lock as `flock -x`.
    {
        testsupport::FileLockHolder holder(lock, true);
        const std::string held = "process " + std::to_string(holder.pid());
        for (const bool stopped : {false, true}) {
            CAPTURE(stopped);
            if (stopped) holder.stop();
            const std::string reason = lock + " stayed locked by " + held + (stopped ? " (stopped)" : "") +
                                       " for 0.2 s";
            capture.clear();
            APMFileLock::forgetGivenUpWaits();  // as in a new process
            std::optional<APMError> error;
            CHECK_FALSE(open(scheduler, path, &error));
            REQUIRE(error);
            CHECK(error->code() == kAPMSqliteStoreOpenCode);
            CHECK(error->monitorContext() == Value(path.string() + ": " + reason));
            CHECK(capture.count(kAPMFileLockWaitingCode) == 1);
            CHECK(capture.entriesWithCode(kAPMFileLockGaveUpCode).at(0).contexts.at(0) == Value(reason));
            // Reading alone, later in the same process, only tries: the
            // holder kept the lock through a whole wait.
            error.reset();
            CHECK_FALSE(APMSqliteStore::makeReadOnlyWithDatabasePath(path.string(), &error));
            REQUIRE(error);
            CHECK(error->monitorContext() == Value(path.string() + ": " + lock + " is still locked by " + held +
                                                   (stopped ? " (stopped)" : "") +
                                                   ", for which this process waited in vain before"));
            CHECK(capture.count(kAPMFileLockWaitingCode) == 1);
        }
    }
    APMFileLock::forgetGivenUpWaits();
    // Once the holder is gone, the file opens with what it held.
    CHECK(open(scheduler, path, nullptr));
    CHECK(tableRows(path, "raw_events").size() == 1);
    CHECK_FALSE(fs::exists(path.string() + ".corrupt"));
}

TEST_CASE("a damaged file is replaced only once its rows are carried, and kept in use when it cannot be") {
    testsupport::TempDir dir;
    const auto path = dir / "measurement.sql";
    const std::string carry = path.string() + kAPMSqliteStoreCarrySuffix;
    const std::string mark = path.string() + kAPMSqliteStoreDamageMarkSuffix;
    APMMonitorCapture capture;
    {
        auto store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr, kKeptAndLost);
        REQUIRE(store);
        for (const char* statement : {"CREATE TABLE kept (a)", "INSERT INTO kept VALUES (1), (2)", "CREATE TABLE lost (a)",
                                      "INSERT INTO lost VALUES (3)"}) {
            REQUIRE(store->executeStatement(statement, {}, nullptr));
        }
    }
    runSQL(path, "PRAGMA wal_checkpoint(TRUNCATE)");
    std::int64_t root = 0;
    {
        auto rows = tableRows(path, "sqlite_master");
        for (const auto& row : rows) {
            if (row.at("name") == Value("lost")) root = row.at("rootpage").intValue();
        }
    }
    REQUIRE(root > 1);
    // The one page of the table "lost", written over while any store may
    // have the file open.
    auto damageLost = [&] {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>((root - 1) * 4096));
        for (int i = 0; i < 4096; ++i) file.put(static_cast<char>(i * 131 % 256));
    };
    auto count = [](APMSqliteStore& store, const std::string& table) {
        auto rows = store.recordsForQuery("SELECT count(*) AS n FROM " + table, {}, nullptr);
        return rows ? rows->front().at("n").intValue() : -1;
    };
    auto refusedAsDamaged = [](APMSqliteStore& store, const std::string& statement) {
        std::optional<APMError> error;
        const bool stored = store.executeStatement(statement, {}, &error).has_value();
        return !stored && error && error->code() == kAPMSqliteStoreDamagedCode;
    };
    // What a write that carried first leaves: the damaged file aside, the
    // rows that read and the write in the new one.
    auto carriedWith = [&](APMSqliteStore& store, std::int64_t keptRows) {
        CHECK(capture.count(kAPMSqliteStoreDamagedFileCode) == 1);
        CHECK(fs::exists(path.string() + ".corrupt"));
        CHECK_FALSE(fs::exists(mark));
        CHECK(count(store, "kept") == keptRows);
        CHECK(count(store, "lost") == 0);
    };
    testsupport::ScopedLaunchOptions bound([](platform::LaunchOptions& options) { options.lockWaitSeconds = 0.2; });

    SUBCASE("the carried file that cannot take the path: the damaged one is kept, takes no write, and is replaced by "
            "the first write once it can be") {
        damageLost();
        refusedRenameSource = carry;
        auto store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr, kKeptAndLost);
        REQUIRE(store);
        CHECK(capture.count(kAPMSqliteStoreSetAsideFailedCode) == 1);
        CHECK_FALSE(capture.hasCode(kAPMSqliteStoreDamagedFileCode));
        CHECK_FALSE(fs::exists(path.string() + ".corrupt"));
        CHECK_FALSE(fs::exists(path.string() + ".corrupt-wal"));
        CHECK_FALSE(fs::exists(carry));
        CHECK(refusedAsDamaged(*store, "INSERT INTO kept VALUES (4)"));
        CHECK(capture.hasCode(kAPMSqliteStoreDamagedWriteRefusedCode));
        CHECK(count(*store, "kept") == 2);
        CHECK(count(*store, "lost") == -1);  // the same damaged file
        refusedRenameSource.clear();
        CHECK(store->executeStatement("INSERT INTO kept VALUES (4)", {}, nullptr));
        carriedWith(*store, 3);
    }
    SUBCASE("an index its owner declares that cannot be made fails the carry, which says why: the damaged file is "
            "kept and takes no write") {
        damageLost();
        APMDeclaredSchema declared = kKeptAndLost;
        const std::string index = "CREATE INDEX kept_by_missing ON kept (missing)";
        declared.indexStatements["kept"] = {index};
        auto store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr, declared);
        REQUIRE(store);
        const auto failed = capture.entriesWithCode(kAPMSqliteStoreSetAsideFailedCode);
        REQUIRE(failed.size() == 1);
        CHECK(failed[0].message.find("its rows could not be carried into a new file: an index could not be made (" +
                                     index + "): no such column: missing") != std::string::npos);
        CHECK_FALSE(fs::exists(path.string() + ".corrupt"));
        CHECK_FALSE(fs::exists(carry));
        CHECK(refusedAsDamaged(*store, "INSERT INTO kept VALUES (4)"));
        CHECK(count(*store, "kept") == 2);
    }
    SUBCASE("the mark is written once; one that cannot be written is said, and tried again at the next damage met") {
        auto store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr, kKeptAndLost);
        REQUIRE(store);
        damageLost();
        // Another connection's commit, after which the store reads afresh.
        runSQL(path, "INSERT INTO kept VALUES (3)");
        // A folder lies at the mark's name.
        fs::create_directory(mark);
        auto meetDamage = [&] { CHECK_FALSE(store->recordsForQuery("SELECT a FROM lost", {}, nullptr)); };
        meetDamage();
        meetDamage();
        CHECK(capture.count(kAPMSqliteStoreDamageMarkFailedCode) == 1);
        fs::remove(mark);
        meetDamage();
        CHECK(fs::is_regular_file(mark));
        fs::remove(mark);
        meetDamage();
        CHECK_FALSE(fs::exists(mark));
        CHECK(capture.count(kAPMSqliteStoreDamageMarkFailedCode) == 1);
        CHECK(capture.count(kAPMSqliteStoreDamageFoundCode) == 1);
    }
    SUBCASE("what a carry that stopped midway left beside the file is made again") {
        damageLost();
        testsupport::writeText(carry, "left by a process that stopped");
        testsupport::writeText(carry + "-journal", "and its journal");
        auto store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr, kKeptAndLost);
        REQUIRE(store);
        CHECK(capture.count(kAPMSqliteStoreDamagedFileCode) == 1);
        CHECK(fs::exists(path.string() + ".corrupt"));
        CHECK_FALSE(fs::exists(carry));
        CHECK_FALSE(fs::exists(carry + "-journal"));
        CHECK(count(*store, "kept") == 2);
        CHECK(count(*store, "lost") == 0);
    }
    SUBCASE("damage met by a transaction, or found by another process during a write group: nothing is committed, "
            "and the next write carries first") {
        for (const bool group : {false, true}) {
            CAPTURE(group);
            if (group) {
                for (const auto& leftover : fs::directory_iterator(dir.path())) fs::remove_all(leftover);
                auto store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr, kKeptAndLost);
                REQUIRE(store);
                for (const char* statement : {"CREATE TABLE kept (a)", "INSERT INTO kept VALUES (1), (2)",
                                              "CREATE TABLE lost (a)", "INSERT INTO lost VALUES (3)"}) {
                    REQUIRE(store->executeStatement(statement, {}, nullptr));
                }
                store.reset();
                runSQL(path, "PRAGMA wal_checkpoint(TRUNCATE)");
                capture.clear();
            }
            auto store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr, kKeptAndLost);
            REQUIRE(store);
            // The damage comes after the store's first write, which checked
            // the pages every table appends to.
            REQUIRE(store->executeStatement("DELETE FROM kept WHERE a = 0", {}, nullptr));
            damageLost();
            // Another connection's commit, after which the store reads afresh.
            runSQL(path, "INSERT INTO kept VALUES (3)");
            auto insert = [&] {
                return store->executeStatement("INSERT INTO kept VALUES (4)", {}, nullptr).has_value();
            };
            // The read's failure passed over, as a caller might.
            auto block = [&] { return insert() && !store->recordsForQuery("SELECT a FROM lost", {}, nullptr); };
            std::optional<APMError> error;
            if (group) {
                std::optional<bool> committed;
                REQUIRE(store->openWriteGroup([&](bool done) { committed = done; }, nullptr));
                CHECK(store->performGroupedTransactionWithError(nullptr, insert));
                // Another process meets the damage meanwhile.
                testsupport::writeText(mark, "");
                CHECK_FALSE(store->closeWriteGroup());
                CHECK(committed == false);
            } else {
                CHECK_FALSE(store->performTransactionWithError(&error, block));
                REQUIRE(error);
                CHECK(error->code() == kAPMSqliteStoreDamagedCode);
            }
            CHECK(fs::exists(mark));
            CHECK(count(*store, "kept") == 3);
            CHECK(store->executeStatement("INSERT INTO kept VALUES (5)", {}, nullptr));
            carriedWith(*store, 4);
        }
    }
}

namespace {

// The files beside the database named as its set-aside copies are: each
// copy's name with the suffixes found of it ("" for the file itself).
std::map<std::string, std::set<std::string>> setAsideFiles(const fs::path& path) {
    const std::string prefix = path.filename().string() + kAPMSqliteStoreSetAsideSuffix;
    std::map<std::string, std::set<std::string>> found;
    for (const auto& entry : fs::directory_iterator(path.parent_path())) {
        std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) != 0) continue;
        std::string suffix;
        for (const std::string companion : kAPMSqliteStoreCompanionSuffixes) {
            if (name.size() > companion.size() && name.ends_with(companion)) suffix = companion;
        }
        name.resize(name.size() - suffix.size());
        found[name.substr(path.filename().string().size())].insert(suffix);
    }
    return found;
}

// The last cycle whose row a copy holds, read from the file alone.
std::int64_t lastCycleIn(const fs::path& copy) {
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open_v2(copy.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    std::int64_t cycle = -1;
    if (sqlite3_prepare_v2(db, "SELECT max(n) FROM cycle", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
        cycle = sqlite3_column_int64(statement, 0);
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return cycle;
}

// One cycle's row written, and the file then set aside: as unusable, or
// found damaged (a page of another table written over) at the next open,
// which carries what reads into a new file.
void storeCycleAndSetAside(const fs::path& path, int cycle) {
    {
        auto store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr);
        REQUIRE(store);
        REQUIRE(store->executeStatement("CREATE TABLE IF NOT EXISTS cycle (n INTEGER)", {}, nullptr));
        REQUIRE(store->executeStatement("INSERT INTO cycle VALUES (?)", {cycle}, nullptr));
        if (cycle % 2 == 1) {
            REQUIRE(store->setAsideAndReopen("unusable", nullptr));
            return;
        }
        REQUIRE(store->executeStatement("CREATE TABLE IF NOT EXISTS lost (a)", {}, nullptr));
        REQUIRE(store->executeStatement("INSERT INTO lost VALUES (1)", {}, nullptr));
    }
    runSQL(path, "PRAGMA wal_checkpoint(TRUNCATE)");
    std::int64_t root = 0;
    for (const auto& row : tableRows(path, "sqlite_master")) {
        if (row.at("name").stringValue() == "lost") root = row.at("rootpage").intValue();
    }
    std::size_t pageSize = 0;
    {
        sqlite3* db = nullptr;
        REQUIRE(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
        sqlite3_stmt* statement = nullptr;
        REQUIRE(sqlite3_prepare_v2(db, "PRAGMA page_size", -1, &statement, nullptr) == SQLITE_OK);
        REQUIRE(sqlite3_step(statement) == SQLITE_ROW);
        pageSize = static_cast<std::size_t>(sqlite3_column_int64(statement, 0));
        sqlite3_finalize(statement);
        sqlite3_close(db);
    }
    REQUIRE(testsupport::overwriteBytes(path, static_cast<std::size_t>(root - 1) * pageSize,
                                        testsupport::seededBytes(static_cast<std::uint32_t>(cycle), pageSize)));
    testsupport::writeText(path.string() + kAPMSqliteStoreDamageMarkSuffix, "");
    APMMonitorCapture capture;
    REQUIRE(APMSqliteStore::makeWithDatabasePath(path.string(), nullptr));
    REQUIRE(capture.count(kAPMSqliteStoreDamagedFileCode) == 1);
}

}  // namespace

TEST_CASE("a database keeps its newest set-aside copies, each with its companions, under names within the bound") {
    testsupport::TempDir dir;
    const auto path = dir / "measurement.sql";
    APMMonitorCapture capture;
    constexpr int kCycles = 4 * kAPMSqliteStoreSetAsideCopiesKept;
    for (int cycle = 1; cycle <= kCycles; ++cycle) storeCycleAndSetAside(path, cycle);
    // The copy named by each number holds that cycle's rows.
    auto expectCopies = [&](const std::map<std::string, std::int64_t>& expected) {
        std::set<std::string> names, expectedNames;
        for (const auto& files : setAsideFiles(path)) {
            const std::string name = files.first;
            names.insert(name);
            CHECK_MESSAGE(files.second.count(""), name);  // no companion without its file
        }
        for (const auto& copy : expected) {
            const std::string name = copy.first;
            CAPTURE(name);
            expectedNames.insert(name);
            CHECK(lastCycleIn(path.string() + name) == copy.second);
        }
        CHECK(names == expectedNames);
    };
    std::map<std::string, std::int64_t> newest;
    for (int cycle = kCycles - kAPMSqliteStoreSetAsideCopiesKept + 1; cycle <= kCycles; ++cycle) {
        newest[".corrupt-" + std::to_string(cycle)] = cycle;
    }
    expectCopies(newest);
    CHECK_FALSE(capture.hasCode(kAPMSqliteStoreOldCopyKeptCode));

    // After the last number a copy's name takes, the copies kept are named
    // again from the first on, in their order.
    for (const auto& [name, cycle] : newest) {
        const std::string renamed =
            ".corrupt-" + std::to_string(kAPMSqliteStoreSetAsideLastNumber + static_cast<int>(cycle) - kCycles);
        for (const std::string suffix : {"", "-wal", "-shm", "-journal"}) {
            if (fs::exists(path.string() + name + suffix)) fs::rename(path.string() + name + suffix, path.string() + renamed + suffix);
        }
    }
    storeCycleAndSetAside(path, kCycles + 1);
    std::map<std::string, std::int64_t> renumbered;
    for (int place = 2; place <= kAPMSqliteStoreSetAsideCopiesKept + 1; ++place) {
        renumbered[".corrupt-" + std::to_string(place)] = kCycles - kAPMSqliteStoreSetAsideCopiesKept + place;
    }
    expectCopies(renumbered);
}

namespace {

// While this lives, the first whole-file check that a connection opened
// meanwhile runs calls `during` once, from the check's own progress, after
// its first read of every page (which SQLite makes in the check's first
// steps) and before its end.
struct DuringWholeCheck {
    static constexpr int kStepsBetweenCalls = 100;
    static constexpr int kStepsPastPageReads = 1000;
    static inline std::function<void()> during;
    static inline int checkCalls = 0;

    explicit DuringWholeCheck(std::function<void()> action) {
        during = std::move(action);
        checkCalls = 0;
        sqlite3_auto_extension(reinterpret_cast<void (*)()>(&watch));
    }
    ~DuringWholeCheck() {
        sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(&watch));
        during = nullptr;
    }
    DuringWholeCheck(const DuringWholeCheck&) = delete;
    DuringWholeCheck& operator=(const DuringWholeCheck&) = delete;

    static int watch(sqlite3* db, const char**, const sqlite3_api_routines*) {
        sqlite3_progress_handler(db, kStepsBetweenCalls, &progress, db);
        return SQLITE_OK;
    }
    static int progress(void* context) {
        auto* db = static_cast<sqlite3*>(context);
        for (sqlite3_stmt* statement = sqlite3_next_stmt(db, nullptr); statement && during;
             statement = sqlite3_next_stmt(db, statement)) {
            if (sqlite3_stmt_busy(statement) && std::string(sqlite3_sql(statement)) == "PRAGMA integrity_check" &&
                ++checkCalls * kStepsBetweenCalls > kStepsPastPageReads) {
                std::exchange(during, nullptr)();
            }
        }
        return 0;
    }
};

}  // namespace

TEST_CASE("a mark of damage another process writes while the whole file is checked under an older one is never "
          "removed by that check") {
    constexpr int kRows = 2000;
    // Its owner declares the table, which a carry takes.
    const APMDeclaredSchema items = {{{"items", {{"name", "TEXT NOT NULL PRIMARY KEY"}, {"amount", "INTEGER"}}}}, {}};
    for (const bool atOpen : {true, false}) {
        CAPTURE(atOpen);
        testsupport::TempDir dir;
        const auto path = dir / "measurement.sql";
        const std::string mark = path.string() + kAPMSqliteStoreDamageMarkSuffix;
        {
            auto store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr, items);
            REQUIRE(store);
            REQUIRE(store->executeStatement("CREATE TABLE items (name TEXT NOT NULL PRIMARY KEY, amount INTEGER)", {},
                                            nullptr));
            REQUIRE(store->executeStatement("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                                                std::to_string(kRows) +
                                                ") INSERT INTO items SELECT 'item ' || i, i FROM n",
                                            {}, nullptr));
        }
        runSQL(path, "PRAGMA wal_checkpoint(TRUNCATE)");
        std::int64_t leaf = 0, pageSize = 0;
        {
            sqlite3* db = nullptr;
            REQUIRE(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
            sqlite3_stmt* statement = nullptr;
            REQUIRE(sqlite3_prepare_v2(db,
                                       "SELECT pageno, pgsize FROM dbstat WHERE name = 'items' AND pagetype = 'leaf' "
                                       "ORDER BY path LIMIT 1 OFFSET 3",
                                       -1, &statement, nullptr) == SQLITE_OK);
            REQUIRE(sqlite3_step(statement) == SQLITE_ROW);
            leaf = sqlite3_column_int64(statement, 0);
            pageSize = sqlite3_column_int64(statement, 1);
            sqlite3_finalize(statement);
            sqlite3_close(db);
        }
        APMMonitorCapture capture;
        // Another process that has the file open meets the damage as it
        // comes while the check runs, over pages the check has read.
        std::unique_ptr<APMSqliteStore> other, store;
        bool otherMetIt = false;
        const DuringWholeCheck meanwhile([&] {
            REQUIRE(testsupport::overwriteBytes(path, static_cast<std::size_t>((leaf - 1) * pageSize),
                                                testsupport::seededBytes(1, static_cast<std::size_t>(pageSize))));
            otherMetIt = !other->recordsForQuery("SELECT count(*) FROM items NOT INDEXED", {}, nullptr);
            other.reset();
        });
        other = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr, items);
        REQUIRE(other);
        if (!atOpen) {
            store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr, items);
            REQUIRE(store);
        }
        // An earlier finding, since carried away, left its mark.
        testsupport::writeText(mark, "");
        if (atOpen) {
            store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr, items);
            REQUIRE(store);
        } else {
            CHECK(store->executeStatement("INSERT INTO items VALUES ('after', 0)", {}, nullptr));
        }
        CHECK(otherMetIt);
        CHECK(capture.count(kAPMSqliteStoreDamageFoundCode) == 1);
        // The damage the other process marked was found again, and the file
        // carried: the write, if any, went into the new one.
        CHECK(capture.count(kAPMSqliteStoreDamagedFileCode) == 1);
        CHECK(fs::exists(path.string() + ".corrupt"));
        CHECK_FALSE(fs::exists(mark));
        CHECK(tableRows(path, "items").size() < static_cast<std::size_t>(kRows));
        const auto after = store->recordsForQuery("SELECT count(*) AS n FROM items WHERE name = 'after'", {}, nullptr);
        REQUIRE(after);
        CHECK(after->front().at("n") == Value(atOpen ? 0 : 1));
    }
}
