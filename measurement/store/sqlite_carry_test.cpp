// Tests that a carry takes each row with the columns it holds, fails whole where the new file refuses a row for
// a reason other than its constraints, and that a table an intact file lacks is no damage.
#include <doctest/doctest.h>

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "measurement/foundation/monitor.h"
#include "measurement/store/sqlite_store.h"
#include "testsupport/file_text.h"
#include "testsupport/sqlite_file.h"
#include "testsupport/temp_dir.h"

using namespace measurement;

namespace fs = std::filesystem;

namespace {

// Each row by row ID, its columns as SQLite reads them in a fresh
// connection, each as its type and text ("5:" for NULL).
std::map<std::int64_t, std::string> rowsOf(const fs::path& path, const std::string& table,
                                           const std::string& columns) {
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    REQUIRE(sqlite3_prepare_v2(db, ("SELECT rowid, " + columns + " FROM " + table).c_str(), -1, &statement,
                               nullptr) == SQLITE_OK);
    std::map<std::int64_t, std::string> rows;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        std::string row;
        for (int column = 1; column < sqlite3_column_count(statement); ++column) {
            const auto* text = sqlite3_column_text(statement, column);
            row += std::to_string(sqlite3_column_type(statement, column)) + ":" +
                   (text ? reinterpret_cast<const char*>(text) : "") + " ";
        }
        rows.emplace(sqlite3_column_int64(statement, 0), row);
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

}  // namespace

TEST_CASE("rows written before and after columns were added are carried each with the values it holds, the "
          "columns it lacks taking their defaults") {
    testsupport::TempDir dir;
    const fs::path path = dir / "carried.sql";
    // Rows of one, two and three columns, in turns: rows 1-3 before any
    // column was added, 4-6 with the second, 7-9 with all three; row 2 then
    // written again whole, and row 8 given a NULL where it had a value.
    testsupport::runSQL(path,
                        "CREATE TABLE t (a INTEGER); INSERT INTO t (rowid, a) VALUES (1, 10), (2, 20), (3, 30); "
                        "ALTER TABLE t ADD COLUMN b TEXT; INSERT INTO t (rowid, a, b) VALUES (4, 40, 'four'), "
                        "(5, 50, 'five'), (6, 60, NULL); ALTER TABLE t ADD COLUMN c REAL DEFAULT 0.5; "
                        "INSERT INTO t (rowid, a, b, c) VALUES (7, 70, 'seven', 7.5), (8, 80, 'eight', 8.5), "
                        "(9, 90, NULL, 9.5); UPDATE t SET b = 'two' WHERE rowid = 2; UPDATE t SET c = NULL WHERE "
                        "rowid = 8");
    const auto before = rowsOf(path, "t", "a, b, c");
    REQUIRE(before.size() == 9);
    const APMDeclaredSchema declared{{{"t", {{"a", "INTEGER"}, {"b", "TEXT"}, {"c", "REAL DEFAULT 0.5"}}}}, {}};
    APMMonitorCapture capture;
    auto store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr, declared);
    REQUIRE(store);
    REQUIRE(store->replaceAsDamaged("a test's damage", nullptr));
    CHECK_FALSE(store->damageKept());
    CHECK(capture.count(kAPMSqliteStoreDamagedFileCode) == 1);
    store.reset();
    CHECK(fs::exists(path.string() + kAPMSqliteStoreSetAsideSuffix));
    CHECK(rowsOf(path, "t", "a, b, c") == before);
}

TEST_CASE("a row the new file refuses for a reason other than its constraints ends the carry: nothing of it "
          "replaces the file, which is kept whole") {
    testsupport::TempDir dir;
    const fs::path path = dir / "refusing.sql";
    // The new file's index takes each value's magnitude, which the smallest
    // integer has none of: its row's insert fails, as a full disk's would.
    testsupport::runSQL(path, "CREATE TABLE t (a INTEGER); CREATE TABLE u (x TEXT); WITH RECURSIVE n(i) AS (SELECT 1 "
                              "UNION ALL SELECT i + 1 FROM n WHERE i < 10) INSERT INTO t (a) SELECT i FROM n; UPDATE t "
                              "SET a = " + std::to_string(std::numeric_limits<std::int64_t>::min()) +
                                  " WHERE rowid = 5; INSERT INTO u (x) VALUES ('after the refused row')");
    const auto before = rowsOf(path, "t", "a");
    const APMDeclaredSchema declared{{{"t", {{"a", "INTEGER"}}}, {"u", {{"x", "TEXT"}}}},
                                     {{"t", {"CREATE INDEX t_by_magnitude ON t (abs(a))"}}}};
    APMMonitorCapture capture;
    auto store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr, declared);
    REQUIRE(store);
    REQUIRE(store->replaceAsDamaged("a test's damage", nullptr));
    CHECK(store->damageKept());
    const auto failed = capture.entriesWithCode(kAPMSqliteStoreSetAsideFailedCode);
    REQUIRE(failed.size() == 1);
    CHECK(failed[0].message.find("its rows could not be carried into a new file: integer overflow") !=
          std::string::npos);
    CHECK_FALSE(capture.hasCode(kAPMSqliteStoreDamagedFileCode));
    store.reset();
    CHECK_FALSE(fs::exists(path.string() + kAPMSqliteStoreSetAsideSuffix));
    CHECK_FALSE(fs::exists(path.string() + kAPMSqliteStoreCarrySuffix));
    CHECK(rowsOf(path, "t", "a") == before);
    CHECK(rowsOf(path, "u", "x").size() == 1);
}

TEST_CASE("a declared table an intact file lacks is no damage; one a damaged schema lacks may be") {
    testsupport::TempDir dir;
    const fs::path path = dir / "lacking.sql";
    testsupport::runSQL(path, "CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (1); CREATE INDEX t_by_a ON t (a)");
    const APMDeclaredTables declared{{"t", {{"a", "INTEGER"}}}, {"u", {{"x", "TEXT"}}}};
    {
        auto store = APMSqliteStore::makeReadOnlyWithDatabasePath(path.string(), nullptr, declared);
        REQUIRE(store);
        std::optional<APMError> error;
        CHECK_FALSE(store->readableRowsOfTable("u", [](APMRow) { FAIL("a row of no table"); }, &error));
        REQUIRE(error);
        CHECK(error->monitorContext().stringValue().find("no such table") != std::string::npos);
        const auto rowsOfT = store->readableRowsOfTable("t", [](APMRow) {}, nullptr);
        REQUIRE(rowsOfT);
        CHECK(rowsOfT->empty());
    }
    // One byte of the index's declaration, "ON" made "0N": SQLite cannot
    // load the schema, and a table missing from it may be what did not read.
    const std::string file = testsupport::readText(path);
    const auto at = file.find("t_by_a ON");
    REQUIRE(at != std::string::npos);
    REQUIRE(testsupport::overwriteBytes(path, at + 7, "0"));
    auto store = APMSqliteStore::makeReadOnlyWithDatabasePath(path.string(), nullptr, declared);
    REQUIRE(store);
    const auto skipped = store->readableRowsOfTable("u", [](APMRow) { FAIL("a row of no table"); }, nullptr);
    REQUIRE(skipped);
    REQUIRE(skipped->size() == 1);
    CHECK(skipped->front().table == "u");
}
