// Tests that the database survives killed processes and damaged files.
#include <doctest/doctest.h>

#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>

#include "measurement/store/database_test_support.h"
#include "testsupport/scoped_launch_options.h"
#include "platform/frameworks/utilities/gzip.h"

using namespace measurement;
using namespace measurement::testing;
using platform::Value;

namespace {

constexpr const char* kAppID = "velmora-queue-test";
constexpr int kCommittedEvents = 20;
constexpr int kUncommittedEvents = 300;

APMEvent namedEvent(const std::string& name, double timestamp, std::size_t padding = 0) {
    APMParameters parameters;
    if (padding > 0) parameters.emplace("padding", APMValue(std::string(padding, 'p')));
    return APMEvent("app", true, name, timestamp, 0, std::move(parameters));
}

std::vector<std::string> rawEventNames(APMDatabase& db, std::int64_t fingerprint) {
    std::vector<std::string> names;
    auto run = db.rawEventsWithMetadataFingerprint(fingerprint, nullptr, nullptr);
    REQUIRE(run);
    for (const auto& event : *run) names.push_back(event.event().name());
    return names;
}

std::string runCommand(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    REQUIRE(pipe);
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    ::pclose(pipe);
    return output;
}

// The child: commits some rows, then writes far more than the page cache
// holds inside a second transaction (so that SQLite writes into the file
// itself), signals the parent and waits to be killed.
[[noreturn]] void writeUntilKilled(const std::string& path, int signalFd) {
    APMMonitor::shared().muteConsole();
    auto db = APMDatabase::makeWithPath(path, nullptr);
    if (!db) ::_exit(3);
    const bool committed = db->performTransaction([&] {
        for (int i = 0; i < kCommittedEvents; ++i) {
            if (!db->insertRawEvent(namedEvent("committed_" + std::to_string(i), 1000 + i), 1, nullptr)) return false;
        }
        return db->updateAppMetadata(*APMAppMetadata::make(7, 1, 2), nullptr);
    });
    if (!committed) ::_exit(4);
    db->performTransaction([&] {
        for (int i = 0; i < kUncommittedEvents; ++i) {
            if (!db->insertRawEvent(namedEvent("uncommitted_" + std::to_string(i), 2000 + i, 40000), 1, nullptr)) {
                ::_exit(5);
            }
        }
        db->updateAppMetadata(*APMAppMetadata::make(99, 3, 4), nullptr);
        if (::write(signalFd, "w", 1) != 1) ::_exit(6);
        for (;;) ::pause();
        return true;
    });
    ::_exit(7);
}

// The names of the raw events in the file at the path, read through a
// connection of its own that checks and changes nothing.
std::vector<std::string> namesAtPath(const std::filesystem::path& path) {
    std::vector<std::string> names;
    if (!std::filesystem::exists(path)) return names;
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT name FROM raw_events ORDER BY rowid", -1, &statement, nullptr) == SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW) {
            names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return names;
}

void moveWithCompanions(const std::filesystem::path& from, const std::filesystem::path& to) {
    for (const char* suffix : {"-wal", "-shm", ""}) {
        if (std::filesystem::exists(from.string() + suffix)) {
            std::filesystem::rename(from.string() + suffix, to.string() + suffix);
        }
    }
}

}  // namespace

TEST_CASE("a damaged file that another process has open is waited for, kept without a write, and carried by the "
          "first write made alone") {
    DatabaseFixture writer;
    const double now = writer.time.now();
    writer.onWorker([&] { REQUIRE(writer.database().insertRawEvent(namedEvent("before", now - 2), 1, nullptr)); });
    // Damage where every open looks: the root of a table of its own.
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open(writer.path().c_str(), &db) == SQLITE_OK);
    REQUIRE(sqlite3_exec(db, "CREATE TABLE t (a); INSERT INTO t VALUES (1); PRAGMA wal_checkpoint(TRUNCATE)", nullptr,
                         nullptr, nullptr) == SQLITE_OK);
    sqlite3_stmt* root = nullptr;
    REQUIRE(sqlite3_prepare_v2(db, "SELECT rootpage FROM sqlite_master WHERE name = 't'", -1, &root, nullptr) == SQLITE_OK);
    REQUIRE(sqlite3_step(root) == SQLITE_ROW);
    const auto page = sqlite3_column_int64(root, 0);
    sqlite3_finalize(root);
    sqlite3_close(db);
    // The writer has read the page whole, and keeps it, before the damage.
    writer.reopen();
    {
        std::fstream file(writer.path(), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>((page - 1) * 4096));
        for (int i = 0; i < 4096; ++i) file.put(static_cast<char>(i * 131 % 256));
    }
    testsupport::ScopedLaunchOptions bound([](platform::LaunchOptions& options) { options.lockWaitSeconds = 0.2; });

    // Another process opens the folder while the writer has it open: it
    // waits for the writer, then keeps the file for reading.
    std::unique_ptr<APMDatabase> other;
    writer.onWorker([&] { other = APMDatabase::makeWithPath(writer.path().string(), nullptr); });
    REQUIRE(other);
    CHECK(writer.capture.count(kAPMFileLockWaitingCode) == 1);
    CHECK(writer.capture.hasCode(kAPMSqliteStoreDamagedInUseCode));
    // The wait says what it waited for and how long, as a lock's wait says
    // it: no busy database's words.
    const auto gaveUp = writer.capture.entriesWithCode(kAPMFileLockGaveUpCode);
    REQUIRE(gaveUp.size() == 1);
    CHECK(gaveUp[0].contexts.at(1).stringValue().find("kept it open for 0.2 s") != std::string::npos);
    CHECK_FALSE(writer.capture.hasCode(kAPMSqliteStoreBusyTimeoutCode));
    writer.onWorker([&] {
        // Neither writes into it: the writer learns of the damage from the
        // mark beside it, and waits for the other in turn; the other tries
        // once more without waiting again.
        CHECK_FALSE(writer.database().insertRawEvent(namedEvent("after", now - 1), 1, nullptr));
        CHECK_FALSE(other->insertRawEvent(namedEvent("other's", now), 1, nullptr));
    });
    CHECK(writer.capture.count(kAPMFileLockWaitingCode) == 2);
    CHECK(writer.capture.hasCode(kAPMSqliteStoreDamagedWriteRefusedCode));
    CHECK(namesAtPath(writer.path()) == std::vector<std::string>{"before"});
    CHECK_FALSE(writer.capture.hasCode(kAPMSqliteStoreDamagedFileCode));

    // Alone, the writer's next write sets it aside, carries what still
    // reads, and goes to the new file.
    writer.onWorker([&] { other.reset(); });
    writer.onWorker([&] { CHECK(writer.database().insertRawEvent(namedEvent("next", now + 1), 1, nullptr)); });
    CHECK(writer.capture.count(kAPMSqliteStoreDamagedFileCode) == 1);
    CHECK(std::filesystem::exists(writer.path().string() + ".corrupt"));
    CHECK(namesAtPath(writer.path()) == std::vector<std::string>{"before", "next"});
}

TEST_CASE("a writer whose file another program replaced or deleted stores its next event in the file at the path") {
    struct Case {
        const char* what;
        std::function<void(const std::filesystem::path&)> replace;
        bool readFirst;
        std::vector<std::string> namesAfter;
    };
    auto setAside = [](const std::filesystem::path& path) { moveWithCompanions(path, path.string() + ".old"); };
    const std::vector<Case> cases = {
        {"set aside with its log and index", setAside, false, {"after"}},
        {"set aside, then read", setAside, true, {"after"}},
        {"deleted with its log and index",
         [](const auto& path) {
             for (const char* suffix : {"-wal", "-shm", ""}) std::filesystem::remove(path.string() + suffix);
         },
         false, {"after"}},
        {"replaced by another engine's file",
         [&](const auto& path) {
             setAside(path);
             auto another = APMDatabase::makeWithPath(path.string(), nullptr);
             REQUIRE(another);
             REQUIRE(another->insertRawEvent(namedEvent("another's", 1), 1, nullptr));
         },
         false, {"another's", "after"}},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        DatabaseFixture fx;
        fx.onWorker([&] {
            REQUIRE(fx.database().insertRawEvent(namedEvent("before", 1), 1, nullptr));
            entry.replace(fx.path());
            if (entry.readFirst) CHECK(rawEventNames(fx.database(), 1).empty());
            CHECK(fx.database().insertRawEvent(namedEvent("after", 2), 1, nullptr));
        });
        CHECK(fx.capture.count(kAPMSqliteStoreReplacedCode) == 1);
        CHECK(namesAtPath(fx.path()) == entry.namesAfter);
    }
}

TEST_CASE("a garbled database file is set aside, made again, and the engine keeps working") {
    DatabaseFixture fx;
    const double now = fx.time.now();
    fx.onWorker([&] { REQUIRE(fx.database().insertRawEvent(namedEvent("before", now - 10), 1, nullptr)); });
    fx.close();
    // The file and the log it keeps beside it.
    for (const char* suffix : {"", "-wal"}) {
        std::ofstream out(fx.path().string() + suffix, std::ios::binary | std::ios::trunc);
        for (int i = 0; i < 8192; ++i) out.put(static_cast<char>(i * 131 % 256));
    }
    fx.reopen();
    CHECK(fx.capture.count(kAPMSqliteStoreDamagedFileCode) == 1);
    for (const char* suffix : {"", "-wal"}) CHECK(std::filesystem::exists(fx.path().string() + ".corrupt" + suffix));
    fx.onWorker([&] {
        auto& db = fx.database();
        CHECK(db.isRawEventsTableEmpty(nullptr) == true);
        REQUIRE(db.insertRawEvent(namedEvent("after", now - 5), 1, nullptr));
        REQUIRE(db.insertBundle(makeBundle(kAppID, 1700000000000), false, nullptr));
        CHECK(rawEventNames(db, 1) == std::vector<std::string>{"after"});
        CHECK(db.queryBundlesWithCountLimit(5, 65536, nullptr)->size() == 1);
    });
}

TEST_CASE("a closed measurement database keeps its write-ahead log, and other connections read through it") {
    DatabaseFixture fx;
    const double now = fx.time.now();
    fx.onWorker([&] {
        REQUIRE(fx.database().insertRawEvent(namedEvent("first", now - 2), 1, nullptr));
        REQUIRE(fx.database().insertRawEvent(namedEvent("second", now - 1), 1, nullptr));
    });
    fx.close();
    const std::string path = fx.path().string();
    REQUIRE(std::filesystem::exists(path + "-wal"));
    CHECK(std::filesystem::file_size(path + "-wal") > 0);
    CHECK(runCommand("sqlite3 '" + path + "' 'SELECT name FROM raw_events ORDER BY rowid'") == "first\nsecond\n");
    fx.reopen();
    fx.onWorker([&] { CHECK(rawEventNames(fx.database(), 1) == std::vector<std::string>{"first", "second"}); });
}

TEST_CASE("a kept log grown by connections that each commit once is copied into the file and emptied") {
    // Each connection stands for a process that stores one event: it opens
    // the file, commits once and closes. Without the copy at its close the
    // log would only grow, and every later open would read all of it.
    testsupport::TempDir dir;
    const std::string path = (dir / "kept.sql").string();
    constexpr int kConnections = 150;
    constexpr std::uintmax_t kFrameBytes = 4096 + 24;
    std::uintmax_t largest = 0;
    int emptied = 0;
    for (int i = 0; i < kConnections; ++i) {
        auto store = APMSqliteStore::makeWithDatabasePath(path, nullptr);
        REQUIRE(store);
        store->keepWriteAheadLogOnClose();
        if (i == 0) REQUIRE(store->executeStatement("CREATE TABLE rows (data BLOB NOT NULL)", {}, nullptr));
        // About ten pages of the log for each commit.
        REQUIRE(store->executeStatement("INSERT INTO rows (data) VALUES (zeroblob(36000))", {}, nullptr) == 1);
        store.reset();
        const auto size = std::filesystem::file_size(path + "-wal");
        largest = std::max(largest, size);
        emptied += size == 0;
    }
    CHECK(emptied >= kConnections * 10 / (kAPMSqliteStoreKeptLogPages + 10));
    CHECK(largest <= 32 + (kAPMSqliteStoreKeptLogPages + 20) * kFrameBytes);
    auto store = APMSqliteStore::makeWithDatabasePath(path, nullptr);
    const auto counted = store->recordsForQuery("SELECT COUNT(*) AS n FROM rows", {}, nullptr);
    CHECK(counted->front().at("n") == Value(kConnections));
}

TEST_CASE("a process killed in the middle of a transaction leaves the committed rows and only those") {
    testsupport::TempDir dir;
    const std::string path = (dir / "killed.sql").string();
    int signal[2];
    REQUIRE(::pipe(signal) == 0);
    const pid_t child = ::fork();
    REQUIRE(child >= 0);
    if (child == 0) {
        ::close(signal[0]);
        writeUntilKilled(path, signal[1]);
    }
    ::close(signal[1]);
    char byte = 0;
    const auto got = ::read(signal[0], &byte, 1);
    ::close(signal[0]);
    ::kill(child, SIGKILL);
    int status = 0;
    REQUIRE(::waitpid(child, &status, 0) == child);
    REQUIRE_MESSAGE(got == 1, "child exit status " << (WIFEXITED(status) ? WEXITSTATUS(status) : -1));
    CHECK(WIFSIGNALED(status));
    CHECK(WTERMSIG(status) == SIGKILL);
    // The child was killed with its write-ahead log in place, holding
    // uncommitted pages.
    CHECK(std::filesystem::exists(path + "-wal"));

    CHECK(runCommand("sqlite3 '" + path + "' 'PRAGMA integrity_check'") == "ok\n");

    platform::dispatch::ManualTime time;
    APMScheduler scheduler;
    scheduler.workerQueue()->sync([&] {
        auto db = APMDatabase::makeWithPath(path, nullptr);
        REQUIRE(db);
        std::vector<std::string> expected;
        for (int i = 0; i < kCommittedEvents; ++i) expected.push_back("committed_" + std::to_string(i));
        CHECK(rawEventNames(*db, 1) == expected);
        CHECK(db->queryAppMetadata(nullptr)->lastBundleIndex() == 7);
        CHECK(db->queryLatestRawEventTime(nullptr) == 1000.0 + kCommittedEvents - 1);
    });
}

TEST_CASE("a file of an older layout keeps its rows and gains what it lacks") {
    testsupport::TempDir dir;
    const auto path = dir / "older.sql";
    APMMonitorCapture capture;
    const auto event = namedEvent("legacy_event", 1600000000.5);
    auto bundle = makeBundle(kAppID, 1600000100000);
    auto header = makeBundle(kAppID, 0);
    {
        // The tables as first written: only their elementary columns, some
        // tables missing, no schema version.
        auto store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr);
        REQUIRE(store);
        for (const char* statement : {
                 "CREATE TABLE raw_events (metadata_fingerprint INTEGER NOT NULL, name TEXT NOT NULL, timestamp REAL "
                 "NOT NULL, data BLOB NOT NULL)",
                 "CREATE TABLE raw_events_metadata (metadata_fingerprint INTEGER NOT NULL UNIQUE, metadata BLOB NOT "
                 "NULL)",
                 "CREATE TABLE queue (data BLOB NOT NULL, bundle_end_timestamp REAL NOT NULL)",
                 "CREATE TABLE events (name TEXT NOT NULL PRIMARY KEY, lifetime_count INTEGER NOT NULL, "
                 "current_bundle_count INTEGER NOT NULL, last_fire_timestamp REAL NOT NULL)",
                 "CREATE TABLE user_attributes (name TEXT NOT NULL PRIMARY KEY, origin TEXT NOT NULL, set_timestamp "
                 "REAL NOT NULL, value NOT NULL)",
                 "CREATE TABLE app_metadata (id INTEGER NOT NULL PRIMARY KEY, last_bundle_index INTEGER NOT NULL "
                 "DEFAULT 0, last_bundle_start_timestamp REAL NOT NULL DEFAULT 0, last_bundle_end_timestamp REAL NOT "
                 "NULL DEFAULT 0)",
             }) {
            REQUIRE(store->executeStatement(statement, {}, nullptr));
        }
        REQUIRE(store->upsertRecord({{"metadata_fingerprint", 5},
                                     {"name", event.name()},
                                     {"timestamp", event.timestamp()},
                                     {"data", Value(platform::Data{event.protoEvent().protoBuffer()})}},
                                    "raw_events", nullptr));
        REQUIRE(store->upsertRecord({{"metadata_fingerprint", 5}, {"metadata", Value(platform::Data{header.protoBuffer()})}},
                                    "raw_events_metadata", nullptr));
        auto compressed = platform::rul_dataByGzippingData(bundle.protoBuffer());
        REQUIRE(store->upsertRecord({{"data", Value(platform::Data{*compressed})}, {"bundle_end_timestamp", 1600000100.0}},
                                    "queue", nullptr));
        REQUIRE(store->upsertRecord({{"name", "_e"}, {"lifetime_count", 4}, {"current_bundle_count", 2},
                                     {"last_fire_timestamp", 1600000000.0}},
                                    "events", nullptr));
        REQUIRE(store->upsertRecord({{"name", "_fot"}, {"origin", "auto"}, {"set_timestamp", 1.5}, {"value", 1600000000000}},
                                    "user_attributes", nullptr));
        REQUIRE(store->upsertRecord({{"id", 1}, {"last_bundle_index", 12}, {"last_bundle_start_timestamp", 5.0},
                                     {"last_bundle_end_timestamp", 6.0}},
                                    "app_metadata", nullptr));
        CHECK(store->userVersion(nullptr) == 0);
    }

    platform::dispatch::ManualTime time;
    APMScheduler scheduler;
    scheduler.workerQueue()->sync([&] {
        std::optional<APMError> error;
        auto db = APMDatabase::makeWithPath(path.string(), &error);
        REQUIRE_MESSAGE(db, (error ? error->description() : ""));
        auto run = db->rawEventsWithMetadataFingerprint(5, &error, nullptr);
        REQUIRE(run->size() == 1);
        CHECK(run->front().event().name() == "legacy_event");
        CHECK(run->front().event().timestamp() == 1600000000.5);
        CHECK_FALSE(run->front().event().isRealtime());
        CHECK(db->queryRawEventsMetadataWithFingerprint(5, &error) == header);
        auto queued = db->queryBundlesWithCountLimit(10, 65536, &error);
        REQUIRE(queued->size() == 1);
        CHECK(queued->front().bundle == bundle);
        CHECK(queued->front().retryCount == 0);
        CHECK(db->containsRealtimeBundlesWithError(&error) == false);
        auto aggregates = db->eventAggregatesWithName("_e", &error);
        REQUIRE(aggregates);
        CHECK(aggregates->lifetimeCount() == 4);
        CHECK(aggregates->currentBundleCount() == 2);
        CHECK(aggregates->currentSessionCount() == 0);
        CHECK(db->userAttributeWithName("_fot", &error)->value() == APMValue(std::int64_t{1600000000000}));
        auto metadata = db->queryAppMetadata(&error);
        CHECK(metadata->lastBundleIndex() == 12);
        CHECK(db->remoteConfigSuccessfulTimestamp(&error) == 0.0);
        CHECK(db->measurementConfigData(&error)->empty());
        // The tables the file lacked are there now, and the new columns work.
        CHECK(db->insertIfNotDuplicatePurchaseFingerprint("abc", &error) == true);
        CHECK(db->incrementRetryCounterForBundlesWithIDs({queued->front().rowID}, &error));
        CHECK(db->queryBundlesWithCountLimit(10, 65536, &error)->front().retryCount == 1);
        CHECK(db->dailyCounts(&error) == APMDailyCounts());
    });
    auto store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr);
    CHECK(store->userVersion(nullptr) == kAPMDatabaseSchemaVersion);
    CHECK_FALSE(capture.hasCode(kAPMDatabaseSchemaFailedCode));
}

TEST_CASE("a file of a newer layout is used as it is") {
    testsupport::TempDir dir;
    const auto path = dir / "newer.sql";
    APMMonitorCapture capture;
    platform::dispatch::ManualTime time;
    APMScheduler scheduler;
    scheduler.workerQueue()->sync([&] {
        REQUIRE(APMDatabase::makeWithPath(path.string(), nullptr));
        {
            auto store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr);
            REQUIRE(store->setUserVersion(kAPMDatabaseSchemaVersion + 3, nullptr));
            REQUIRE(store->executeStatement("ALTER TABLE user_attributes ADD COLUMN added_later TEXT DEFAULT 'x'", {},
                                            nullptr));
        }
        auto db = APMDatabase::makeWithPath(path.string(), nullptr);
        REQUIRE(db);
        CHECK(capture.hasCode(kAPMDatabaseNewerSchemaCode));
        const APMUserAttribute attribute("app", "name", APMValue("v"), 3);
        CHECK(db->updateUserAttribute(attribute, nullptr));
        CHECK(db->userAttributeWithName("name", nullptr) == attribute);
    });
    auto store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr);
    CHECK(store->userVersion(nullptr) == kAPMDatabaseSchemaVersion + 3);
}

TEST_CASE("a file whose table lacks an elementary column is set aside, not deleted, and a new one made") {
    testsupport::TempDir dir;
    const auto path = dir / "foreign.sql";
    APMMonitorCapture capture;
    {
        auto store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr);
        REQUIRE(store->executeStatement("CREATE TABLE queue (payload BLOB)", {}, nullptr));
        REQUIRE(store->executeStatement("INSERT INTO queue (payload) VALUES (x'01')", {}, nullptr));
    }
    platform::dispatch::ManualTime time;
    APMScheduler scheduler;
    scheduler.workerQueue()->sync([&] {
        std::optional<APMError> error;
        CHECK(APMDatabase::makeWithPath(path.string(), &error));
        CHECK_FALSE(error);
    });
    CHECK(capture.hasCode(kAPMSqliteStoreSetAsideCode));
    CHECK(tableRows(path.string() + ".corrupt", "queue").size() == 1);
    CHECK(tableRows(path, "queue").empty());
}
