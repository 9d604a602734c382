// Tests that reading a damaged table takes work linear in its pages and cells.
#include <doctest/doctest.h>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "measurement/store/sqlite_table_reader.h"
#include "testsupport/file_text.h"
#include "testsupport/temp_dir.h"

using namespace measurement;

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kPageSize = 4096;
// Where an interior page's header keeps its last child, the page the tree
// goes on to after the children its cells name.
constexpr std::size_t kLastChildAt = 8;

std::int64_t integer(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    REQUIRE(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK);
    REQUIRE(sqlite3_step(statement) == SQLITE_ROW);
    const std::int64_t value = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return value;
}

// A table of that many rows as small as rows come, whose tree's root is an
// interior page, its last child made the root itself: every in-order read
// goes round the root until SQLite's depth limit. The rows of the leaf that
// was the last child are no longer reached; *reached: the others.
fs::path loopingTree(const fs::path& folder, int rows, std::int64_t* reached) {
    const fs::path path = folder / ("looping-" + std::to_string(rows) + ".sql");
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open(path.c_str(), &db) == SQLITE_OK);
    const std::string made = "PRAGMA page_size = " + std::to_string(kPageSize) +
                             "; CREATE TABLE raw_events (name TEXT NOT NULL); WITH RECURSIVE n(i) AS (SELECT 1 UNION "
                             "ALL SELECT i + 1 FROM n WHERE i < " +
                             std::to_string(rows) + ") INSERT INTO raw_events SELECT '' FROM n";
    REQUIRE(sqlite3_exec(db, made.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK);
    const auto root = static_cast<std::uint32_t>(integer(db, "SELECT rootpage FROM sqlite_master WHERE name = 'raw_events'"));
    REQUIRE(integer(db, "SELECT count(*) FROM dbstat WHERE name = 'raw_events' AND pagetype = 'internal'") == 1);
    *reached = rows - integer(db, "SELECT ncell FROM dbstat WHERE name = 'raw_events' AND pagetype = 'leaf' ORDER BY "
                                  "path DESC LIMIT 1");
    sqlite3_close(db);
    const std::string self = {static_cast<char>(root >> 24), static_cast<char>(root >> 16),
                              static_cast<char>(root >> 8), static_cast<char>(root)};
    REQUIRE(testsupport::overwriteBytes(path, (root - 1) * kPageSize + kLastChildAt, self));
    return path;
}

struct Read {
    std::int64_t rows = 0;
    std::uint64_t work = 0;
    std::vector<APMUnreadableStretch> skipped;
};

Read readAll(sqlite3* db) {
    Read read;
    TableReader reader(db, {});
    std::string error;
    const auto shape = reader.shapeOf("raw_events", &error);
    REQUIRE(shape);
    CHECK(reader.read(
        "raw_events", *shape,
        [&](const sqlite_page_rows::Row&) {
            ++read.rows;
            return true;
        },
        &read.skipped, &error));
    read.work = reader.work().pagesRead + reader.work().cellsRead;
    return read;
}

Read readAll(const fs::path& path) {
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
    const Read read = readAll(db);
    sqlite3_close(db);
    return read;
}

// The record locks this process holds on the file, each as its kind and
// range, as the system lists them (the file's device as hexadecimal major
// and minor numbers, then its inode): read without opening the file, whose
// close would end them.
// SQLite's lock bytes lie at 1 GiB into the file, whatever its size; a
// shared lock is a read lock on the range after the pending and reserved
// bytes.
constexpr off_t kSharedLockFirst = 0x40000000 + 2;
constexpr off_t kSharedLockBytes = 510;

// Whether this process holds a read lock on the shared range of the file,
// as another process asks the kernel: a process never sees its own locks
// as a conflict, and /proc/locks, read in pieces while other processes
// change it, may miss a lock.
bool holdsSharedLock(const fs::path& path) {
    const pid_t self = ::getpid();
    const pid_t child = ::fork();
    REQUIRE(child >= 0);
    if (child == 0) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct flock asked {};
        asked.l_type = F_WRLCK;
        asked.l_whence = SEEK_SET;
        asked.l_start = kSharedLockFirst;
        asked.l_len = kSharedLockBytes;
        if (fd < 0 || ::fcntl(fd, F_GETLK, &asked) != 0) ::_exit(3);
        ::_exit(asked.l_type == F_UNLCK ? 0 : asked.l_type == F_RDLCK && asked.l_pid == self ? 1 : 2);
    }
    int status = 0;
    REQUIRE(::waitpid(child, &status, 0) == child);
    REQUIRE(WIFEXITED(status));
    REQUIRE(WEXITSTATUS(status) <= 1);
    return WEXITSTATUS(status) == 1;
}

}  // namespace

TEST_CASE("a tree that leads back into itself is read in work linear in its cells, every row it leads to once") {
    testsupport::TempDir folder;
    constexpr int kRows = 8000;
    std::int64_t reachedOnce = 0, reachedTwice = 0;
    const Read once = readAll(loopingTree(folder.path(), kRows, &reachedOnce));
    const Read twice = readAll(loopingTree(folder.path(), 2 * kRows, &reachedTwice));
    CHECK(once.rows == reachedOnce);
    CHECK(twice.rows == reachedTwice);
    for (const Read* read : {&once, &twice}) {
        REQUIRE(read->skipped.size() == 1);
        CHECK(read->skipped[0].error.find("the tree leads to it again") != std::string::npos);
        CHECK_FALSE(read->skipped[0].beforeRowID);
    }
    // Twice the cells, twice the work; work that grows with the square of
    // the cells would be four times as much.
    CHECK(twice.work < once.work * 5 / 2);
    CHECK(twice.work > once.work * 3 / 2);
}

TEST_CASE("a read of the file's pages while a connection of the process has it open leaves the locks SQLite holds "
          "on it") {
    // Write-ahead logging: the connection holds its shared lock on the
    // file from its first read on, which tells another connection's close
    // that the log is still in use.
    testsupport::TempDir folder;
    std::int64_t reached = 0;
    const fs::path path = loopingTree(folder.path(), kPageSize, &reached);
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open(path.c_str(), &db) == SQLITE_OK);
    REQUIRE(sqlite3_exec(db, "PRAGMA journal_mode=WAL; SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) ==
            SQLITE_OK);
    REQUIRE(holdsSharedLock(path));
    const Read read = readAll(db);
    CHECK(read.rows == reached);
    CHECK(holdsSharedLock(path));
    sqlite3_close(db);
    CHECK_FALSE(holdsSharedLock(path));
}

TEST_CASE("rows that do not read are named in stretches whose count stays bounded, each between the rows given next "
          "to it") {
    constexpr int kRows = 3000;
    testsupport::TempDir folder;
    const fs::path path = folder / "alternating.sql";
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open(path.c_str(), &db) == SQLITE_OK);
    // Every other row holds text where its owner declares an integer.
    const std::string made = "CREATE TABLE counted (n); WITH RECURSIVE i(v) AS (SELECT 1 UNION ALL SELECT v + 1 FROM i "
                             "WHERE v < " + std::to_string(kRows) +
                             ") INSERT INTO counted (rowid, n) SELECT v, CASE v % 2 WHEN 0 THEN 'text' ELSE v END FROM i";
    REQUIRE(sqlite3_exec(db, made.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK);
    const APMDeclaredTables declared = {{"counted", {{"n", "INTEGER NOT NULL"}}}};
    TableReader reader(db, declared);
    std::string error;
    const auto shape = reader.shapeOf("counted", &error);
    REQUIRE(shape);
    std::vector<std::int64_t> given;
    std::vector<APMUnreadableStretch> skipped;
    REQUIRE(reader.read(
        "counted", *shape,
        [&](const sqlite_page_rows::Row& row) {
            given.push_back(*row.rowID);
            return true;
        },
        &skipped, &error));
    sqlite3_close(db);
    CHECK(given.size() == kRows / 2);
    REQUIRE(skipped.size() == 1000);
    for (std::size_t at = 0; at + 1 < skipped.size(); ++at) {
        CHECK(skipped[at].afterRowID == given[at]);
        CHECK(skipped[at].beforeRowID == given[at + 1]);
        CHECK(skipped[at].error == "row " + std::to_string(given[at] + 1) +
                                       ": the column \"n\" holds text where it is declared INTEGER");
    }
    CHECK(skipped.back().error.find("(and 500 more that did not read after it)") != std::string::npos);
}
