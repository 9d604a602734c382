// Tests that the store reads a file's pages at its read transaction's snapshot, and that the check before a table's first write reads at the statement's, finding damage in the schema and in the log.
#include <doctest/doctest.h>

#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "measurement/foundation/monitor.h"
#include "measurement/store/sqlite_store.h"
#include "measurement/store/sqlite_file/sqlite_file_test_support.h"
#include "testsupport/file_text.h"
#include "testsupport/temp_dir.h"

using namespace measurement;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kPageSize = 4096;

// Another program's connection to the file, which keeps its log as it
// closes.
struct Other {
    explicit Other(const fs::path& path) {
        REQUIRE(sqlite3_open(path.c_str(), &db) == SQLITE_OK);
        REQUIRE(sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr) == SQLITE_OK);
    }
    ~Other() { sqlite3_close(db); }
    void run(const std::string& sql) {
        REQUIRE_MESSAGE(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK, sqlite3_errmsg(db));
    }
    std::int64_t integer(const std::string& sql) {
        sqlite3_stmt* statement = nullptr;
        REQUIRE(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK);
        REQUIRE(sqlite3_step(statement) == SQLITE_ROW);
        const auto value = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
        return value;
    }
    sqlite3* db = nullptr;
};

// Another program's connection in a process of its own, which keeps it
// open between statements: a store of this process that only reads then
// maps the log's index it may only read, as the dump beside a running
// writer does (a connection of this process would share its own index).
class OtherProcess {
public:
    explicit OtherProcess(const fs::path& path) {
        int toChild[2], toParent[2];
        REQUIRE(::pipe(toChild) == 0);
        REQUIRE(::pipe(toParent) == 0);
        pid_ = ::fork();
        REQUIRE(pid_ >= 0);
        if (pid_ == 0) {
            // The child holds only its own ends: the parent's close is its end of input.
            ::close(toChild[1]);
            ::close(toParent[0]);
            serve(path, toChild[0], toParent[1]);
        }
        ::close(toChild[0]);
        ::close(toParent[1]);
        send_ = toChild[1];
        answer_ = toParent[0];
    }
    ~OtherProcess() {
        ::close(send_);
        ::close(answer_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    OtherProcess(const OtherProcess&) = delete;
    OtherProcess& operator=(const OtherProcess&) = delete;
    void run(const std::string& sql) {
        const auto size = static_cast<std::uint32_t>(sql.size());
        REQUIRE(::write(send_, &size, sizeof size) == sizeof size);
        REQUIRE(::write(send_, sql.data(), sql.size()) == static_cast<ssize_t>(sql.size()));
        char ok = 0;
        REQUIRE(::read(answer_, &ok, 1) == 1);
        REQUIRE_MESSAGE(ok == 1, sql);
    }

private:
    [[noreturn]] static void serve(const fs::path& path, int in, int out) {
        sqlite3* db = nullptr;
        if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
            sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr) != SQLITE_OK) {
            ::_exit(1);
        }
        std::uint32_t size = 0;
        while (::read(in, &size, sizeof size) == sizeof size) {
            std::string sql(size, '\0');
            if (size > 0 && ::read(in, sql.data(), size) != static_cast<ssize_t>(size)) break;
            const char ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK ? 1 : 0;
            if (::write(out, &ok, 1) != 1) break;
        }
        sqlite3_close(db);
        ::_exit(0);
    }
    pid_t pid_ = -1;
    int send_ = -1;
    int answer_ = -1;
};

std::string series(int first, int last) {
    return "WITH RECURSIVE n(i) AS (SELECT " + std::to_string(first) + " UNION ALL SELECT i + 1 FROM n WHERE i < " +
           std::to_string(last) + ") ";
}

std::unique_ptr<APMSqliteStore> openStore(const fs::path& path, const APMDeclaredSchema& declared) {
    std::optional<APMError> error;
    auto store = APMSqliteStore::makeWithDatabasePath(path.string(), &error, declared);
    REQUIRE_MESSAGE(store, (error ? error->description() : std::string("no error")));
    return store;
}

const APMDeclaredSchema kTables = {{{"a", {{"v", "TEXT"}}}, {"b", {{"v", "TEXT"}}}, {"t", {{"v", "TEXT"}}}}, {}};

std::int64_t count(APMSqliteStore& store, const std::string& table) {
    const auto rows = store.recordsForQuery("SELECT count(*) AS n FROM " + table, {}, nullptr);
    REQUIRE(rows);
    return rows->front().at("n").intValue();
}

}  // namespace

TEST_CASE("a table read while another connection starts the log afresh gives exactly its own rows, as SQLite counts "
          "them in the same transaction") {
    constexpr int kRows = 2000;
    testsupport::TempDir dir;
    const fs::path path = dir / "t.sql";
    Other other(path);
    other.run("PRAGMA page_size=4096; PRAGMA journal_mode=WAL; CREATE TABLE a (v TEXT); CREATE TABLE b (v TEXT); " +
              series(1, kRows) + "INSERT INTO a SELECT printf('a%05d', i) FROM n");
    // Every frame copied into the file: a reader needs none of them, and
    // the next writer starts the log afresh, over a's frames.
    other.run("PRAGMA wal_checkpoint(PASSIVE)");
    auto store = openStore(path, kTables);
    REQUIRE(store->executeStatement("BEGIN", {}, nullptr));
    REQUIRE(count(*store, "a") == kRows);
    std::set<std::string> values;
    std::int64_t rows = 0;
    const auto skipped = store->readableRowsOfTable(
        "a",
        [&](APMRow row) {
            if (rows++ == 0) other.run(series(1, kRows) + "INSERT INTO b SELECT printf('b%0100d', i) FROM n");
            values.insert(row.at("v").stringValue());
        },
        nullptr);
    REQUIRE(skipped);
    CHECK(skipped->empty());
    CHECK(rows == count(*store, "a"));
    CHECK(values.size() == static_cast<std::size_t>(kRows));
    CHECK(*values.begin() == "a00001");
    CHECK(*values.rbegin() == "a02000");
    REQUIRE(store->executeStatement("COMMIT", {}, nullptr));
    CHECK(count(*store, "b") == kRows);
}

TEST_CASE("readings inside one transaction give the rows of its snapshot while another connection commits") {
    // The engine's own store, and one that only reads, as the dump's.
    for (const bool readOnly : {false, true}) {
        CAPTURE(readOnly);
        testsupport::TempDir dir;
        const fs::path path = dir / "t.sql";
        Other other(path);
        other.run("PRAGMA journal_mode=WAL; CREATE TABLE t (v TEXT); INSERT INTO t VALUES ('1'), ('2'), ('3')");
        auto store = readOnly ? APMSqliteStore::makeReadOnlyWithDatabasePath(path.string(), nullptr, kTables.tables)
                              : openStore(path, kTables);
        REQUIRE(store);
        auto read = [&] {
            std::int64_t rows = 0;
            REQUIRE(store->readableRowsOfTable("t", [&](APMRow) { ++rows; }, nullptr));
            return rows;
        };
        struct Case {
            const char* what;
            std::string meanwhile;
            // Run before the transaction begins.
            std::string before = {};
        };
        const std::vector<Case> cases = {
            {"a commit", "INSERT INTO t VALUES ('4'), ('5')"},
            {"a commit, then a checkpoint", "INSERT INTO t VALUES ('6'); PRAGMA wal_checkpoint(PASSIVE)"},
            {"many commits that grow the table", series(1, 300) + "INSERT INTO t SELECT printf('%0200d', i) FROM n"},
            // Every frame copied: the snapshot needs none, and the commit
            // starts the log afresh over frames it counts.
            {"a commit that starts the log afresh", "INSERT INTO t VALUES ('7')", "PRAGMA wal_checkpoint(PASSIVE)"},
        };
        for (const auto& entry : cases) {
            CAPTURE(entry.what);
            if (!entry.before.empty()) other.run(entry.before);
            REQUIRE(store->executeStatement("BEGIN", {}, nullptr));
            const std::int64_t before = count(*store, "t");
            CHECK(read() == before);
            other.run(entry.meanwhile);
            CHECK(count(*store, "t") == before);
            CHECK(read() == before);
            REQUIRE(store->executeStatement("COMMIT", {}, nullptr));
            CHECK(read() == other.integer("SELECT count(*) FROM t"));
        }
    }
}

TEST_CASE("a store that only reads, beside another process that writes, reads at its own snapshot") {
    constexpr int kRows = 2000;
    struct Case {
        std::string what;
        // Before the transaction, and during the reading, by the other process.
        std::string before;
        std::string meanwhile;
    };
    const std::vector<Case> cases = {
        {"a commit to the same table", "", "INSERT INTO a VALUES ('late')"},
        {"the log started afresh over the table's frames, by a write to another table",
         "PRAGMA wal_checkpoint(PASSIVE)", series(1, kRows) + "INSERT INTO b SELECT printf('b%0100d', i) FROM n"},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        testsupport::TempDir dir;
        const fs::path path = dir / "t.sql";
        OtherProcess other(path);
        other.run("PRAGMA page_size=4096; PRAGMA journal_mode=WAL; CREATE TABLE a (v TEXT); CREATE TABLE b (v TEXT); " +
                  series(1, kRows) + "INSERT INTO a SELECT printf('a%05d', i) FROM n");
        if (!entry.before.empty()) other.run(entry.before);
        auto store = APMSqliteStore::makeReadOnlyWithDatabasePath(path.string(), nullptr, kTables.tables);
        REQUIRE(store);
        REQUIRE(store->executeStatement("BEGIN", {}, nullptr));
        REQUIRE(count(*store, "a") == kRows);
        std::set<std::string> values;
        std::int64_t rows = 0;
        const auto skipped = store->readableRowsOfTable(
            "a",
            [&](APMRow row) {
                if (rows++ == 0) other.run(entry.meanwhile);
                values.insert(row.at("v").stringValue());
            },
            nullptr);
        REQUIRE(skipped);
        CHECK(skipped->empty());
        CHECK(rows == kRows);
        CHECK(values.size() == static_cast<std::size_t>(kRows));
        std::int64_t again = 0;
        REQUIRE(store->readableRowsOfTable("a", [&](APMRow) { ++again; }, nullptr));
        CHECK(again == count(*store, "a"));
        REQUIRE(store->executeStatement("COMMIT", {}, nullptr));
    }
}

TEST_CASE("the check before a table's first write reads the statement's snapshot after a spill started the log afresh "
          "inside the transaction") {
    testsupport::TempDir dir;
    const fs::path path = dir / "t.sql";
    // Open throughout, so that the log's index, every frame of it copied
    // into the file, is not made again when the store opens the file.
    Other other(path);
    other.run("PRAGMA page_size=4096; PRAGMA journal_mode=WAL; CREATE TABLE a (v TEXT); CREATE TABLE b (v TEXT); " +
              series(1, 400) + "INSERT INTO b SELECT printf('b%0300d', i) FROM n; " + series(1, 400) +
              "INSERT INTO a SELECT printf('a%0300d', i) FROM n");
    other.run("PRAGMA wal_checkpoint(PASSIVE)");
    APMMonitorCapture capture;
    auto store = openStore(path, kTables);
    REQUIRE(store->executeStatement("PRAGMA cache_size = 2", {}, nullptr));
    const bool done = store->performTransactionWithError(nullptr, [&] {
        // Too large for the cache: its pages spill into the log, which
        // starts afresh over the frames b's pages lay in.
        return store->executeStatement(series(1, 2000) + "INSERT INTO a SELECT printf('n%0300d', i) FROM n", {}, nullptr)
                   .has_value() &&
               store->executeStatement("INSERT INTO b VALUES ('written')", {}, nullptr).has_value();
    });
    CHECK(done);
    CHECK_FALSE(capture.hasCode(kAPMSqliteStoreDamageFoundCode));
    CHECK_FALSE(fs::exists(path.string() + kAPMSqliteStoreSetAsideSuffix));
    CHECK(count(*store, "a") == 2400);
    CHECK(count(*store, "b") == 401);
}

TEST_CASE("the check before a table's first write finds damage in the schema's own pages, and in the page of a table "
          "another connection made after the schema was read") {
    struct Case {
        const char* what;
        // Whether the store wrote (and so read the schema) before; another
        // connection's work; then the bytes written over in the file, at
        // the page that returns.
        bool wroteBefore;
        std::string meanwhile;
        std::function<std::size_t(Other&)> page;
        std::size_t at;
        std::string bytes;
        const char* write;
        const char* said;
    };
    const std::vector<Case> cases = {
        {"page 1's first cell pointer off the page", false, "", [](Other&) { return std::size_t{1}; }, 108, "\xff\xf0",
         "INSERT INTO t VALUES ('written')", "the schema does not read whole"},
        {"a table made since, its last leaf's first cell pointer before its cell area", true,
         "CREATE TABLE x (v TEXT); " + series(1, 300) + "INSERT INTO x SELECT printf('x%0100d', i) FROM n",
         [](Other& other) {
             return static_cast<std::size_t>(other.integer(
                 "SELECT pageno FROM dbstat WHERE name = 'x' AND pagetype = 'leaf' ORDER BY path DESC LIMIT 1"));
         },
         8, std::string("\x00\x10", 2), "INSERT INTO x VALUES ('written')", "the page table x appends its rows to"},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        testsupport::TempDir dir;
        const fs::path path = dir / "t.sql";
        {
            Other other(path);
            other.run("PRAGMA page_size=4096; PRAGMA journal_mode=WAL; CREATE TABLE t (v TEXT); " + series(1, 300) +
                      "INSERT INTO t SELECT printf('t%0100d', i) FROM n; PRAGMA wal_checkpoint(TRUNCATE)");
        }
        APMMonitorCapture capture;
        auto store = openStore(path, kTables);
        if (entry.wroteBefore) REQUIRE(store->executeStatement("INSERT INTO t VALUES ('first')", {}, nullptr));
        {
            Other other(path);
            if (!entry.meanwhile.empty()) other.run(entry.meanwhile + "; PRAGMA wal_checkpoint(TRUNCATE)");
            const std::size_t page = entry.page(other);
            REQUIRE(testsupport::overwriteBytes(path, (page - 1) * kPageSize + entry.at, entry.bytes));
        }
        REQUIRE_FALSE(capture.hasCode(kAPMSqliteStoreDamageFoundCode));
        store->executeStatement(entry.write, {}, nullptr);
        const auto found = capture.entriesWithCode(kAPMSqliteStoreDamageFoundCode);
        REQUIRE(found.size() == 1);
        CHECK(found[0].contexts.at(1).stringValue().find(entry.said) != std::string::npos);
        CHECK(fs::exists(path.string() + kAPMSqliteStoreSetAsideSuffix));
    }
}

namespace {

// A file of `rows` rows of t, the newest of them only in its log, whose
// commits change rows again; the log, read back.
std::string makeLoggedTable(const fs::path& path, int rows) {
    Other other(path);
    other.run("PRAGMA page_size=4096; PRAGMA journal_mode=WAL; CREATE TABLE t (v TEXT); " + series(1, rows / 2) +
              "INSERT INTO t SELECT printf('t%0200d', i) FROM n; PRAGMA wal_checkpoint(TRUNCATE)");
    for (int first = rows / 2 + 1; first <= rows; first += 50) {
        other.run(series(first, std::min(first + 49, rows)) + "INSERT INTO t SELECT printf('t%0200d', i) FROM n");
        other.run("UPDATE t SET v = printf('u%0200d', rowid) WHERE rowid = " + std::to_string(first / 3));
    }
    return testsupport::readText(path.string() + "-wal");
}

std::multiset<std::string> valuesSQLiteReads(const fs::path& path) {
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    std::multiset<std::string> values;
    if (sqlite3_prepare_v2(db, "SELECT v FROM t", -1, &statement, nullptr) == SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW) {
            values.insert(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return values;
}

// Turns one byte of the page of the first frame whose page a later frame
// holds again: SQLite's checksums stop there.
void turnByteOfFirstSupersededFrame(const fs::path& path, const std::string& log) {
    std::vector<std::uint32_t> pages;
    for (std::size_t at = 32; at + 24 + kPageSize <= log.size(); at += 24 + kPageSize) {
        pages.push_back((std::uint32_t{static_cast<unsigned char>(log[at + 2])} << 8) | static_cast<unsigned char>(log[at + 3]));
    }
    for (std::size_t frame = 0; frame < pages.size(); ++frame) {
        if (std::find(pages.begin() + static_cast<std::ptrdiff_t>(frame) + 1, pages.end(), pages[frame]) == pages.end()) continue;
        const std::size_t at = 32 + frame * (24 + kPageSize) + 24 + 1000;
        REQUIRE(testsupport::overwriteBytes(path.string() + "-wal", at, std::string(1, static_cast<char>(log[at] ^ 0x04))));
        return;
    }
    FAIL("no frame whose page a later frame holds again");
}

}  // namespace

TEST_CASE("a log of another page size with valid checksums is damage found before the first write: every row SQLite "
          "reads is kept") {
    constexpr int kRows = 600;
    for (const std::size_t logPageSize : {std::size_t{8192}, std::size_t{65536}}) {
        CAPTURE(logPageSize);
        testsupport::TempDir dir;
        const fs::path path = dir / "t.sql";
        const std::string log = makeLoggedTable(path, kRows);
        // Each frame's page followed by bytes of its own, the header saying
        // the larger size, every checksum summed again.
        std::string relaid = log.substr(0, 32);
        for (int shift = 24, at = 8; shift >= 0; shift -= 8, ++at) relaid[at] = static_cast<char>((logPageSize >> shift) & 0xff);
        for (std::size_t at = 32; at + 24 + kPageSize <= log.size(); at += 24 + kPageSize) {
            relaid += log.substr(at, 24 + kPageSize) +
                      testsupport::seededBytes(static_cast<std::uint32_t>(at), logPageSize - kPageSize);
        }
        testsupport::writeText(path.string() + "-wal", testsupport::resummedLog(relaid, logPageSize, false, SIZE_MAX));
        auto expected = valuesSQLiteReads(path);
        REQUIRE(expected.size() == static_cast<std::size_t>(kRows));

        APMMonitorCapture capture;
        auto store = openStore(path, kTables);
        CHECK(store->executeStatement("INSERT INTO t VALUES ('written')", {}, nullptr));
        const auto found = capture.entriesWithCode(kAPMSqliteStoreDamageFoundCode);
        REQUIRE(found.size() == 1);
        CHECK(found[0].contexts.at(1).stringValue().find("pages are of " + std::to_string(logPageSize)) != std::string::npos);
        CHECK(fs::exists(path.string() + kAPMSqliteStoreSetAsideSuffix));
        store.reset();
        expected.insert("written");
        CHECK(valuesSQLiteReads(path) == expected);
    }
}

TEST_CASE("commits past a damaged frame are read only while no other connection is part way through a commit") {
    constexpr int kRows = 600;
    testsupport::TempDir dir;
    const fs::path path = dir / "t.sql";
    const std::string log = makeLoggedTable(path, kRows);
    turnByteOfFirstSupersededFrame(path, log);
    const auto sqliteReads = valuesSQLiteReads(path);
    REQUIRE(sqliteReads.size() < static_cast<std::size_t>(kRows));
    Other writer(path);
    auto store = openStore(path, kTables);
    auto rows = [&] {
        std::int64_t read = 0;
        REQUIRE(store->readableRowsOfTable("t", [&](APMRow) { ++read; }, nullptr));
        return read;
    };
    // A writer that holds the log: what lies past SQLite's snapshot may be
    // its commit half written.
    writer.run("BEGIN IMMEDIATE");
    CHECK(rows() == static_cast<std::int64_t>(sqliteReads.size()));
    writer.run("ROLLBACK");
    CHECK(rows() == kRows);
    // The writers held off for that read are let go.
    writer.run("BEGIN IMMEDIATE; ROLLBACK");
}

TEST_CASE("a commit after the snapshot is not read past a damaged frame that ends the snapshot") {
    testsupport::TempDir dir;
    const fs::path path = dir / "t.sql";
    makeLoggedTable(path, 600);
    auto store = openStore(path, kTables);
    Other writer(path);
    writer.run("INSERT INTO t VALUES ('snapshot')");
    REQUIRE(store->executeStatement("BEGIN", {}, nullptr));
    REQUIRE(count(*store, "t") == 601);
    // The snapshot's last frame: the last byte of its page, a digit of the
    // leaf's oldest cell, turned.
    const fs::path log = path.string() + "-wal";
    REQUIRE((fs::file_size(log) - 32) % (24 + kPageSize) == 0);
    REQUIRE(testsupport::overwriteBytes(log, fs::file_size(log) - 1, "x"));
    writer.run("INSERT INTO t VALUES ('late')");
    std::int64_t late = 0;
    REQUIRE(store->readableRowsOfTable("t", [&](APMRow row) { late += row.at("v").stringValue() == "late" ? 1 : 0; },
                                       nullptr));
    CHECK(late == 0);
    REQUIRE(store->executeStatement("COMMIT", {}, nullptr));
}
