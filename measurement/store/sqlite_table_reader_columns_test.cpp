// Tests that the reader of a damaged file gives each declared column from its own place in the records, names each
// stretch of damage between the rows around it, and tells a failure of the system from damage.
#include <doctest/doctest.h>

#include <sqlite3.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/monitor.h"
#include "measurement/store/sqlite_table_reader.h"
#include "testsupport/file_text.h"
#include "testsupport/sqlite_file.h"
#include "testsupport/temp_dir.h"

using namespace measurement;

namespace fs = std::filesystem;
using testsupport::bigEndian;
using testsupport::varint;

namespace {

constexpr std::size_t kPageSize = 4096;

void run(sqlite3* db, const std::string& sql) { REQUIRE(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK); }

std::int64_t integer(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    REQUIRE(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK);
    REQUIRE(sqlite3_step(statement) == SQLITE_ROW);
    const std::int64_t value = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return value;
}

struct Reading {
    std::optional<TableReader::Shape> shape;
    std::vector<sqlite_page_rows::Row> rows;
    std::vector<APMUnreadableStretch> skipped;
    bool read = false;
    std::string error;
};

Reading readTable(sqlite3* db, const std::string& table, const APMDeclaredTables& declared) {
    Reading reading;
    TableReader reader(db, declared);
    reading.shape = reader.shapeOf(table, &reading.error);
    if (!reading.shape) return reading;
    reading.read = reader.read(
        table, *reading.shape,
        [&](const sqlite_page_rows::Row& row) {
            reading.rows.push_back(row);
            return true;
        },
        &reading.skipped, &reading.error);
    return reading;
}

std::vector<std::string> names(const TableReader::Shape& shape) {
    std::vector<std::string> named;
    for (const auto& column : shape.columns) named.push_back(column.name);
    return named;
}

// The row IDs of a leaf page, in the order of its cells.
std::vector<std::int64_t> leafRowIDs(const std::string& file, std::size_t page) {
    std::vector<std::int64_t> rowIDs;
    const std::size_t start = page * kPageSize;
    for (std::uint32_t cell = 0; cell < bigEndian(file, start + 3, 2); ++cell) {
        std::size_t at = start + bigEndian(file, start + 8 + 2 * cell, 2);
        varint(file, &at);
        rowIDs.push_back(varint(file, &at));
    }
    return rowIDs;
}

}  // namespace

TEST_CASE("each declared column is read from its own place: a layout that reorders them takes no other column along, a "
          "key of two columns is no row ID, and a virtual generated column holds no place") {
    struct Case {
        std::string what;
        const char* made;
        APMColumnInfo declared;
        // The columns given, and what the row stored with row ID 77 gives
        // for the declared ones ("" for none or NULL).
        std::vector<std::string> given;
        std::vector<std::string> values;
    };
    const std::vector<Case> cases = {
        {"the declared columns reordered, one more after them",
         "CREATE TABLE t (b TEXT, a TEXT, extra TEXT); INSERT INTO t (rowid, a, b, extra) VALUES (77, 'A', 'B', 'X')",
         {{"a", "TEXT"}, {"b", "TEXT"}},
         {"a", "b"},
         {"A", "B"}},
        {"the declared columns in order, one more after them: a newer layout",
         "CREATE TABLE t (a TEXT, b TEXT, extra TEXT); INSERT INTO t (rowid, a, b, extra) VALUES (77, 'A', 'B', 'X')",
         {{"a", "TEXT"}, {"b", "TEXT"}},
         {"a", "b", "extra"},
         {"A", "B"}},
        {"an INTEGER column of a key of two columns",
         "CREATE TABLE t (fingerprint INTEGER, name TEXT, PRIMARY KEY (fingerprint, name)); INSERT INTO t (rowid, "
         "fingerprint, name) VALUES (77, NULL, 'n')",
         {{"fingerprint", "INTEGER"}, {"name", "TEXT"}},
         {"fingerprint", "name"},
         {"", "n"}},
        {"a column named rowid where a declared one is missing",
         "CREATE TABLE t (a TEXT, rowid TEXT); INSERT INTO t (oid, a, rowid) VALUES (77, 'A', 'R')",
         {{"a", "TEXT"}, {"b", "TEXT"}},
         {"a", "b"},
         {"A", ""}},
        {"an INTEGER column that is the key alone",
         "CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT); INSERT INTO t VALUES (77, 'n')",
         {{"id", "INTEGER"}, {"name", "TEXT"}},
         {"id", "name"},
         {"77", "n"}},
        {"a virtual generated column before the declared ones",
         "CREATE TABLE t (name TEXT, twice TEXT AS (name || name) VIRTUAL, timestamp REAL, data BLOB); "
         "INSERT INTO t (rowid, name, timestamp, data) VALUES (77, 'n', 1.5, x'0102')",
         {{"name", "TEXT"}, {"timestamp", "REAL"}, {"data", "BLOB"}},
         {"name", "timestamp", "data"},
         {"n", "1.5", "\x01\x02"}},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        testsupport::TempDir folder;
        sqlite3* db = nullptr;
        REQUIRE(sqlite3_open((folder / "t.sql").c_str(), &db) == SQLITE_OK);
        run(db, entry.made);
        const Reading reading = readTable(db, "t", {{"t", entry.declared}});
        sqlite3_close(db);
        REQUIRE(reading.shape);
        CHECK(names(*reading.shape) == entry.given);
        CHECK(reading.read);
        CHECK(reading.skipped.empty());
        REQUIRE(reading.rows.size() == 1);
        for (std::size_t at = 0; at < entry.values.size(); ++at) {
            CAPTURE(at);
            const auto& value = reading.rows[0].values.at(at);
            std::string said;
            if (value && value->type == sqlite_btree::RecordValue::Type::integer) said = std::to_string(value->integer);
            if (value && value->type == sqlite_btree::RecordValue::Type::real) said = std::to_string(value->real).substr(0, 3);
            if (value && (value->type == sqlite_btree::RecordValue::Type::text ||
                          value->type == sqlite_btree::RecordValue::Type::blob)) {
                said = value->bytes;
            }
            CHECK(said == entry.values[at]);
        }
    }
}

TEST_CASE("a stretch of damage is placed between the rows read around it: an interior cell that does not read, a cell "
          "pointer more that leads to a cell read before, a file of no bytes") {
    testsupport::TempDir folder;
    const fs::path intact = folder / "intact.sql";
    constexpr int kRows = 2000;
    std::uint32_t root = 0;
    std::vector<std::int64_t> leaves;
    {
        sqlite3* db = nullptr;
        REQUIRE(sqlite3_open(intact.c_str(), &db) == SQLITE_OK);
        run(db, "PRAGMA page_size=4096; CREATE TABLE t (n INTEGER, pad TEXT); WITH RECURSIVE i(v) AS (SELECT 1 UNION ALL "
                "SELECT v + 1 FROM i WHERE v < " + std::to_string(kRows) +
                    ") INSERT INTO t SELECT v, printf('%.*c', 40, 'x') FROM i; DELETE FROM t WHERE rowid = 500");
        root = static_cast<std::uint32_t>(integer(db, "SELECT rootpage FROM sqlite_master WHERE name = 't'"));
        REQUIRE(integer(db, "SELECT count(*) FROM dbstat WHERE name = 't' AND pagetype = 'internal'") == 1);
        sqlite3_stmt* statement = nullptr;
        REQUIRE(sqlite3_prepare_v2(db, "SELECT pageno FROM dbstat WHERE name = 't' AND pagetype = 'leaf' ORDER BY path", -1,
                                   &statement, nullptr) == SQLITE_OK);
        while (sqlite3_step(statement) == SQLITE_ROW) leaves.push_back(sqlite3_column_int64(statement, 0));
        sqlite3_finalize(statement);
        sqlite3_close(db);
    }
    const std::string file = testsupport::readText(intact.string());
    const std::size_t rootAt = (root - 1) * kPageSize;
    REQUIRE(leaves.size() >= 8);
    // The second leaf, led to by the root's second cell, and the leaf that
    // held row 500, which its deletion left room for one pointer more.
    const auto second = leafRowIDs(file, static_cast<std::size_t>(leaves[1] - 1));
    const auto first = leafRowIDs(file, static_cast<std::size_t>(leaves[0] - 1));
    std::size_t roomy = 0;
    for (const auto leaf : leaves) {
        const auto rowIDs = leafRowIDs(file, static_cast<std::size_t>(leaf - 1));
        if (rowIDs.front() < 500 && rowIDs.back() > 500) roomy = static_cast<std::size_t>(leaf - 1);
    }
    REQUIRE(roomy != 0);
    const auto roomyRows = leafRowIDs(file, roomy);
    const std::size_t roomyAt = roomy * kPageSize;
    const std::uint32_t roomyCells = bigEndian(file, roomyAt + 3, 2);
    REQUIRE(bigEndian(file, roomyAt + 5, 2) >= 8 + 2 * (roomyCells + 1));

    struct Case {
        std::string what;
        std::size_t at;
        std::string bytes;
        // The stretch named: after and before which rows, and words of why.
        std::int64_t after;
        std::int64_t before;
        std::string why;
        std::size_t rowsLost;
    };
    const std::string roomyCount = {static_cast<char>((roomyCells + 1) >> 8), static_cast<char>((roomyCells + 1) & 0xff)};
    const std::vector<Case> cases = {
        {"the root's second cell pointer off the page", rootAt + 12 + 2, std::string(2, '\xff'), first.back(),
         second.back() + 1, "page " + std::to_string(root) + ": cell 1 lies at 65535, off the page's cells",
         second.size()},
        {"one pointer more, to the leaf's first cell", roomyAt + 3,
         roomyCount + file.substr(roomyAt + 5, 3 + 2 * roomyCells) + file.substr(roomyAt + 8, 2), roomyRows.back(),
         roomyRows.back() + 1, "cell " + std::to_string(roomyCells) + " leads to a cell read before", 0},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        testsupport::TempDir copy;
        const fs::path path = copy / "t.sql";
        fs::copy_file(intact, path);
        REQUIRE(testsupport::overwriteBytes(path, entry.at, entry.bytes));
        sqlite3* db = nullptr;
        REQUIRE(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
        const Reading reading = readTable(db, "t", {{"t", {{"n", "INTEGER"}, {"pad", "TEXT"}}}});
        sqlite3_close(db);
        CHECK(reading.read);
        CHECK(reading.rows.size() == kRows - 1 - entry.rowsLost);
        REQUIRE(reading.skipped.size() == 1);
        CHECK(reading.skipped[0].afterRowID == entry.after);
        CHECK(reading.skipped[0].beforeRowID == entry.before);
        CHECK(reading.skipped[0].error.find(entry.why) != std::string::npos);
    }

    // A file of no bytes holds no table, and no damage.
    const fs::path empty = folder / "empty.sql";
    testsupport::writeText(empty.string(), "");
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open_v2(empty.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
    {
        TableReader reader(db, {{"t", {{"n", "INTEGER"}}}});
        CHECK_FALSE(reader.unreadable());
        CHECK(reader.tables().empty());
        CHECK(reader.schemaSkipped().empty());
        CHECK_FALSE(reader.headerDamage());
    }
    sqlite3_close(db);
}

namespace {

// A file system layer over the default one whose reads of the main file
// fail, once asked, as a disk that fails them does (SQLITE_IOERR_READ):
// every read, or those of one page (of kPageSize bytes).
std::atomic<bool> failReads{false};
std::atomic<std::int64_t> failingPage{0};
sqlite3_vfs failingVfs;
sqlite3_io_methods failingMethods;
const sqlite3_io_methods* realMethods = nullptr;

int failingRead(sqlite3_file* file, void* into, int amount, sqlite3_int64 at) {
    const std::int64_t page = failingPage;
    const auto first = static_cast<sqlite3_int64>((page - 1) * static_cast<std::int64_t>(kPageSize));
    const bool onPage = page > 0 && at < first + static_cast<sqlite3_int64>(kPageSize) && at + amount > first;
    if (failReads || onPage) return SQLITE_IOERR_READ;
    return realMethods->xRead(file, into, amount, at);
}

int failingOpen(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    auto* real = static_cast<sqlite3_vfs*>(vfs->pAppData);
    const int rc = real->xOpen(real, name, file, flags, outFlags);
    if (rc != SQLITE_OK || !file->pMethods || (flags & SQLITE_OPEN_MAIN_DB) == 0) return rc;
    realMethods = file->pMethods;
    failingMethods = *file->pMethods;
    failingMethods.xRead = failingRead;
    file->pMethods = &failingMethods;
    return rc;
}

sqlite3_vfs* realVfs = nullptr;

const char* failingVfsName() {
    static const bool registered = [] {
        sqlite3_vfs* real = sqlite3_vfs_find(nullptr);
        realVfs = real;
        failingVfs = *real;
        failingVfs.zName = "velmora-failing-reads";
        failingVfs.pAppData = real;
        failingVfs.xOpen = failingOpen;
        return sqlite3_vfs_register(&failingVfs, 0) == SQLITE_OK;
    }();
    REQUIRE(registered);
    return failingVfs.zName;
}

}  // namespace

TEST_CASE("a read of the file that the system fails is a failure, not damage: no stretch is named") {
    testsupport::TempDir folder;
    const fs::path path = folder / "t.sql";
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open(path.c_str(), &db) == SQLITE_OK);
    run(db, "CREATE TABLE t (n INTEGER); INSERT INTO t VALUES (1), (2)");
    sqlite3_close(db);
    REQUIRE(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, failingVfsName()) == SQLITE_OK);
    {
        // SQLite has the schema; the reader's own reads of the file fail.
        run(db, "BEGIN; SELECT count(*) FROM t");
        failReads = true;
        TableReader reader(db, {{"t", {{"n", "INTEGER"}}}});
        CHECK(reader.readFailed());
        std::string error;
        const auto shape = reader.shapeOf("t", &error);
        REQUIRE(shape);
        std::vector<APMUnreadableStretch> skipped;
        CHECK_FALSE(reader.read("t", *shape, [](const sqlite_page_rows::Row&) { return true; }, &skipped, &error));
        CHECK(skipped.empty());
        CHECK(error.find("cannot be read") != std::string::npos);
        failReads = false;
    }
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    // A schema SQLite cannot load while another connection holds the file
    // is a failure too.
    sqlite3* holder = nullptr;
    REQUIRE(sqlite3_open(path.c_str(), &holder) == SQLITE_OK);
    run(holder, "BEGIN EXCLUSIVE");
    REQUIRE(sqlite3_open(path.c_str(), &db) == SQLITE_OK);
    const Reading locked = readTable(db, "t", {{"t", {{"n", "INTEGER"}}}});
    sqlite3_close(db);
    sqlite3_close(holder);
    CHECK_FALSE(locked.shape);
    CHECK(locked.error.find("locked") != std::string::npos);
}

namespace {

// The failing layer as the default one, which the store's connections
// take, for as long as it lives.
class FailingByDefault {
public:
    FailingByDefault() {
        failingVfsName();
        REQUIRE(sqlite3_vfs_register(&failingVfs, 1) == SQLITE_OK);
    }
    ~FailingByDefault() {
        failingPage = 0;
        sqlite3_vfs_register(realVfs, 1);
    }
    FailingByDefault(const FailingByDefault&) = delete;
    FailingByDefault& operator=(const FailingByDefault&) = delete;
};

// The page of the table's tree of that type that comes first in the order.
std::int64_t pageOf(const fs::path& path, const std::string& table, const std::string& type, const std::string& order,
                    int skipped = 0) {
    return std::stoll(testsupport::querySQL(path, "SELECT pageno FROM dbstat WHERE name = '" + table +
                                                      "' AND pagetype = '" + type + "' ORDER BY " + order +
                                                      " LIMIT 1 OFFSET " + std::to_string(skipped)));
}

}  // namespace

TEST_CASE("a page read the system fails part way through is a failure of the carry, the dump and the check before "
          "the first write: nothing is taken for damage or set aside") {
    testsupport::TempDir made;
    const fs::path intact = made / "intact.sql";
    // A schema of several pages, and a table of many leaves.
    std::string schema = "PRAGMA page_size=4096; CREATE TABLE t (a INTEGER, b TEXT); ";
    for (int table = 0; table < 60; ++table) {
        schema += "CREATE TABLE pad_" + std::to_string(table) + " (c TEXT DEFAULT '" + std::string(150, 'p') + "'); ";
    }
    testsupport::runSQL(intact, schema + "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < "
                                         "2000) INSERT INTO t SELECT i, printf('%0300d', i) FROM n");
    const APMDeclaredSchema declared{{{"t", {{"a", "INTEGER"}, {"b", "TEXT"}}}}, {}};
    struct Case {
        const char* what;
        std::int64_t page;
        // Whether the check before the first write of t reads it.
        bool checked;
    };
    const std::vector<Case> cases = {
        {"a leaf of the table", pageOf(intact, "t", "leaf", "path", 3), false},
        {"the leaf the table appends to", pageOf(intact, "t", "leaf", "path DESC"), true},
        {"a page of the schema past its first", pageOf(intact, "sqlite_schema", "leaf", "path DESC"), true},
    };
    const std::string failure = "cannot be read: " + std::string(std::strerror(EIO));
    for (const auto& entry : cases) {
        const std::string what = entry.what;
        CAPTURE(what);
        REQUIRE(entry.page > 1);
        for (const std::string operation : {"carry", "dump", "first write"}) {
            CAPTURE(operation);
            testsupport::TempDir dir;
            const fs::path path = dir / "t.sql";
            fs::copy_file(intact, path);
            const FailingByDefault failing;
            APMMonitorCapture capture;
            auto store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr, declared);
            REQUIRE(store);
            failingPage = entry.page;
            if (operation == "carry") {
                // Damage found elsewhere: the rows cannot be carried now,
                // and the file is kept as it is.
                REQUIRE(store->replaceAsDamaged("a test's damage", nullptr));
                CHECK(store->damageKept());
                const auto kept = capture.entriesWithCode(kAPMSqliteStoreSetAsideFailedCode);
                REQUIRE(kept.size() == 1);
                CHECK(kept[0].message.find(failure) != std::string::npos);
                CHECK_FALSE(capture.hasCode(kAPMSqliteStoreDamagedFileCode));
            } else if (operation == "dump") {
                std::optional<APMError> error;
                CHECK_FALSE(store->readableRowsOfTable("t", [](APMRow) {}, &error));
                REQUIRE(error);
                CHECK(error->monitorContext().stringValue().find(failure) != std::string::npos);
            } else {
                std::optional<APMError> error;
                const auto written = store->executeStatement("INSERT INTO t VALUES (0, 'after')", {}, &error);
                CHECK(written.has_value() == !entry.checked);
                if (entry.checked) {
                    REQUIRE(error);
                    CHECK(error->code() != kAPMSqliteStoreDamagedCode);
                    CHECK(error->monitorContext().stringValue().find(failure) != std::string::npos);
                    // The disk answers again: the write goes in.
                    failingPage = 0;
                    CHECK(store->executeStatement("INSERT INTO t VALUES (0, 'after')", {}, nullptr));
                }
                CHECK_FALSE(capture.hasCode(kAPMSqliteStoreDamageFoundCode));
            }
            failingPage = 0;
            store.reset();
            CHECK_FALSE(fs::exists(path.string() + kAPMSqliteStoreSetAsideSuffix));
            CHECK(testsupport::querySQL(path, "SELECT count(*) FROM t WHERE b <> 'after'") == "2000");
        }
    }
}
