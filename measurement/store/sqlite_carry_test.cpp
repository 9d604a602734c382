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

namespace {

// Each row by row ID, its columns as a fresh connection reads them as
// UTF-8: their type and every byte, NULs within included.
std::map<std::int64_t, std::vector<std::string>> utf8RowsOf(const fs::path& path, const std::string& table) {
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    REQUIRE(sqlite3_prepare_v2(db, ("SELECT rowid, * FROM " + table).c_str(), -1, &statement, nullptr) == SQLITE_OK);
    std::map<std::int64_t, std::vector<std::string>> rows;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        std::vector<std::string> row;
        for (int column = 1; column < sqlite3_column_count(statement); ++column) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
            const auto size = static_cast<std::size_t>(sqlite3_column_bytes(statement, column));
            row.push_back(std::to_string(sqlite3_column_type(statement, column)) + ":" + std::string(text ? text : "", size));
        }
        rows.emplace(sqlite3_column_int64(statement, 0), std::move(row));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

// UTF-16 code units as a file of that byte order stores them, in hex.
std::string unitsHex(const std::vector<std::uint16_t>& units, bool bigEndian) {
    static const char* digits = "0123456789abcdef";
    std::string hex;
    for (const std::uint16_t unit : units) {
        const unsigned high = unit >> 8u, low = unit & 0xffu;
        for (const unsigned byte : {bigEndian ? high : low, bigEndian ? low : high}) {
            hex += digits[byte >> 4];
            hex += digits[byte & 15];
        }
    }
    return hex;
}

}  // namespace

TEST_CASE("a file whose text is UTF-16 is carried and read with the text SQLite reads from it, as UTF-8") {
    // Untyped, b takes what the file's bytes make of it: UTF-16 that SQLite
    // reads past (surrogates with no pair after them, a mark of byte order,
    // a NUL), each of which it reads as UTF-8 that the rows' checks take.
    // (A surrogate alone at the end reads as bytes that are no UTF-8, which
    // the checks refuse in any file.)
    const std::vector<std::vector<std::uint16_t>> oddUnits = {
        {0xdc00, 0x0062}, {0xd83d, 0x0041, 0x0042}, {0xfeff, 0x0063},
        {0x0064, 0x0000, 0x0065}, {0xdbff, 0xdfff}, {0x00e9, 0xd800, 0xd800},
    };
    const std::string texts = "('plain'), (''), ('café'), ('日本語のテキスト'), ('😀 and 🎉'), "
                              "(printf('%.*c', 3000, 'x') || 'é' || printf('%.*c', 3000, 'ß'))";
    const APMDeclaredSchema declared{{{"t", {{"a", "TEXT"}, {"b", ""}}}}, {}};
    for (const bool bigEndian : {false, true}) {
        CAPTURE(bigEndian);
        testsupport::TempDir dir;
        const fs::path path = dir / "utf16.sql";
        std::string rows = "PRAGMA encoding='" + std::string(bigEndian ? "UTF-16be" : "UTF-16le") +
                           "'; CREATE TABLE t (a TEXT, b); CREATE TABLE \"ünknown\" (x); INSERT INTO t (a) VALUES " +
                           texts + "; ";
        for (const auto& units : oddUnits) {
            rows += "INSERT INTO t (a, b) VALUES ('odd', CAST(x'" + unitsHex(units, bigEndian) + "' AS TEXT)); ";
        }
        testsupport::runSQL(path, rows);
        fs::copy_file(path, dir / "copy.sql");
        const auto read = utf8RowsOf(dir / "copy.sql", "t");
        REQUIRE(read.size() == 6 + oddUnits.size());

        APMMonitorCapture capture;
        auto store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr, declared);
        REQUIRE(store);
        // The dump's reading, of the file as it lies.
        std::map<std::int64_t, std::vector<std::string>> dumped;
        const auto skipped = store->readableRowsOfTable(
            "t",
            [&](APMRow row) {
                std::vector<std::string> values;
                for (const char* column : {"a", "b"}) {
                    const auto found = row.find(column);
                    values.push_back(found == row.end() ? "5:" : "3:" + found->second.asString());
                }
                dumped.emplace(row.at("rowid").intValue(), std::move(values));
            },
            nullptr);
        REQUIRE(skipped);
        CHECK(skipped->empty());
        CHECK(dumped == read);

        REQUIRE(store->replaceAsDamaged("a test's damage", nullptr));
        CHECK(capture.count(kAPMSqliteStoreDamagedFileCode) == 1);
        // The table the owner does not keep is named as the file names it.
        const auto loss = store->takeCarriedLoss();
        REQUIRE(loss);
        REQUIRE(loss->size() == 1);
        CHECK(loss->front().table == "ünknown");
        store.reset();
        CHECK(utf8RowsOf(path, "t") == read);
        CHECK(testsupport::querySQL(path, "PRAGMA encoding") == "UTF-8");
    }
}
