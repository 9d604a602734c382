// Tests that a database file found damaged is set aside, never deleted, and
// that every row it still gives is carried into the new file.
#include <doctest/doctest.h>

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "measurement/foundation/text.h"
#include "measurement/store/database_test_support.h"
#include "testsupport/file_text.h"
#include "testsupport/odd_names.h"
#include "testsupport/sqlite_file.h"

using namespace measurement;
using namespace measurement::testing;

namespace fs = std::filesystem;
using testsupport::bigEndian;
using testsupport::varint;

namespace {

constexpr const char* kAppID = "velmora-damage-test";
constexpr int kEvents = 3001;
constexpr int kBundles = 400;
// The events and bundles the schema's damage cases store.
constexpr int kStored = 300;
constexpr int kStoredBundles = 1;
constexpr std::size_t kDamagedBytes = 600;

std::string fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A connection of the test's own, which checks and changes nothing.
struct Connection {
    explicit Connection(const fs::path& path) {
        REQUIRE(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK);
    }
    ~Connection() { sqlite3_close(db); }
    std::int64_t integer(const std::string& sql, const std::string& text = "", const std::string& second = "") {
        sqlite3_stmt* statement = nullptr;
        REQUIRE(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK);
        if (!text.empty()) sqlite3_bind_text(statement, 1, text.c_str(), -1, SQLITE_TRANSIENT);
        if (!second.empty()) sqlite3_bind_text(statement, 2, second.c_str(), -1, SQLITE_TRANSIENT);
        REQUIRE(sqlite3_step(statement) == SQLITE_ROW);
        const auto value = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
        return value;
    }
    sqlite3* db = nullptr;
};

// The columns after the first, each as its type and bytes.
std::string columnsText(sqlite3_stmt* statement) {
    std::string row;
    for (int column = 1; column < sqlite3_column_count(statement); ++column) {
        const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, column));
        const auto size = static_cast<std::size_t>(sqlite3_column_bytes(statement, column));
        row += std::to_string(sqlite3_column_type(statement, column)) + ":" + std::string(bytes ? bytes : "", size) + "\x1f";
    }
    return row;
}

// Every row of a table by row ID, each column (of those listed) as its type
// and bytes.
std::map<std::int64_t, std::string> rowsOf(const fs::path& path, const std::string& table,
                                           const std::string& columns = "*") {
    Connection connection(path);
    sqlite3_stmt* statement = nullptr;
    REQUIRE(sqlite3_prepare_v2(connection.db, ("SELECT rowid, " + columns + " FROM " + table).c_str(), -1, &statement,
                               nullptr) == SQLITE_OK);
    std::map<std::int64_t, std::string> rows;
    int rc = SQLITE_OK;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        rows.emplace(sqlite3_column_int64(statement, 0), columnsText(statement));
    }
    sqlite3_finalize(statement);
    REQUIRE(rc == SQLITE_DONE);
    return rows;
}

// The rows of the table that a look-up of each row ID alone still finds.
std::set<std::int64_t> readableOneByOne(const fs::path& path, const std::string& table,
                                        const std::map<std::int64_t, std::string>& rows) {
    Connection connection(path);
    sqlite3_stmt* statement = nullptr;
    REQUIRE(sqlite3_prepare_v2(connection.db, ("SELECT * FROM " + table + " WHERE rowid = ?").c_str(), -1, &statement,
                               nullptr) == SQLITE_OK);
    std::set<std::int64_t> readable;
    for (const auto& [rowID, row] : rows) {
        sqlite3_reset(statement);
        sqlite3_bind_int64(statement, 1, rowID);
        if (sqlite3_step(statement) == SQLITE_ROW) readable.insert(rowID);
    }
    sqlite3_finalize(statement);
    return readable;
}

// The leaf pages of a table's tree in key order, each with the row IDs it
// holds, read from the file's bytes as SQLite lays them out.
struct Leaf {
    std::uint32_t page = 0;
    std::set<std::int64_t> rowIDs;
};

std::vector<Leaf> leavesOf(const fs::path& path, const std::string& table, std::size_t* pageSize) {
    std::uint32_t root = 0;
    {
        Connection connection(path);
        *pageSize = static_cast<std::size_t>(connection.integer("PRAGMA page_size"));
        root = static_cast<std::uint32_t>(
            connection.integer("SELECT rootpage FROM sqlite_master WHERE type = 'table' AND name = ?", table));
    }
    const std::string file = fileBytes(path);
    std::vector<Leaf> leaves;
    std::function<void(std::uint32_t)> walk = [&](std::uint32_t page) {
        const std::size_t start = (page - 1) * *pageSize;
        const std::size_t header = start + (page == 1 ? 100 : 0);
        const auto type = static_cast<unsigned char>(file.at(header));
        const auto cells = bigEndian(file, header + 3, 2);
        if (type == 0x0d) {
            Leaf leaf{page, {}};
            for (std::uint32_t cell = 0; cell < cells; ++cell) {
                std::size_t at = start + bigEndian(file, header + 8 + 2 * cell, 2);
                varint(file, &at);  // the payload's size
                leaf.rowIDs.insert(varint(file, &at));
            }
            leaves.push_back(std::move(leaf));
            return;
        }
        REQUIRE(type == 0x05);
        for (std::uint32_t cell = 0; cell < cells; ++cell) {
            walk(bigEndian(file, start + bigEndian(file, header + 12 + 2 * cell, 2), 4));
        }
        walk(bigEndian(file, header + 8, 4));
    };
    walk(root);
    return leaves;
}

// Bytes that no page begins with: the page's type becomes 0.
std::string damage(const fs::path& path, std::size_t offset) {
    std::string bytes;
    for (std::size_t i = 0; i < kDamagedBytes; ++i) bytes += static_cast<char>(i * 131 % 256);
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

APMEvent numbered(int i, double now) {
    return APMEvent("app", true, "event_" + std::to_string(i), now - 100 + i * 0.001, 0,
                    APMParameters{{"index", APMValue(static_cast<std::int64_t>(i))}});
}

// Rows of every kind the engine keeps, stored by the fixture's database,
// which is then closed, its log copied into the file, so that damage to the
// file's bytes lies where every reader reads: that many events (every other
// one realtime) and their header, that many queued bundles, the day's
// counts, the app instance ID and the first open, a user property, two
// events' aggregates and the snapshot of them a reset keeps.
void storeRowsOfEveryKind(DatabaseFixture& fx, int events, int bundles) {
    const double now = fx.time.now();
    fx.onWorker([&] {
        auto& db = fx.database();
        REQUIRE(db.insertRawEventMetadata(makeBundle(kAppID, 1), 1, nullptr));
        REQUIRE(db.performTransaction([&] {
            for (int i = 0; i < events; ++i) {
                APMEvent event = numbered(i, now);
                event.setRealtime(i % 2 == 0);
                if (!db.insertRawEvent(event, 1, nullptr)) return false;
            }
            for (int i = 0; i < bundles; ++i) {
                const auto end = static_cast<std::int64_t>((now - 50) * 1000) + i;
                if (!db.insertBundle(makeBundle(kAppID, end), false, nullptr)) return false;
            }
            return db.updateDailyCounts(APMDailyCounts(1, 0, events, events, 0, 0, 0), nullptr);
        }));
        REQUIRE(db.recordAppInstanceIDUnlessRecorded("kept-instance", nullptr) == "kept-instance");
        bool recorded = false;
        REQUIRE(db.recordFirstOpenUnlessRecorded(1700000000000, &recorded, nullptr));
        REQUIRE(db.updateUserAttribute(APMUserAttribute("app", "kept_property", APMValue(std::string("yes")), 1),
                                       nullptr));
        for (const char* name : {"first_event", "second_event"}) {
            REQUIRE(db.updateEventAggregates(APMEventAggregates(name, 5, 2, 1, now - 10), nullptr));
        }
        REQUIRE(db.createEventsSnapshotTable(nullptr));
    });
    // Its layout examined and recorded again, as the next start does.
    fx.reopen();
    fx.close();
    Connection connection(fx.path());
    REQUIRE(sqlite3_exec(connection.db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr) == SQLITE_OK);
}

// Every row of each table, by table.
std::map<std::string, std::map<std::int64_t, std::string>> rowsOfTables(const fs::path& path,
                                                                       const std::vector<std::string>& tables) {
    std::map<std::string, std::map<std::int64_t, std::string>> rows;
    for (const auto& table : tables) rows[table] = rowsOf(path, table);
    return rows;
}

}  // namespace

TEST_CASE("a damaged page of the raw events or of the queue: the file is set aside, and every row that still reads "
          "is carried into the new one") {
    enum class Where { first, inside, last };
    struct Case {
        const char* what;
        const char* table;
        Where where;
        // Met by a read while in use, which marks the file for the next open.
        std::function<bool(APMDatabase&)> readMeetingIt;
    };
    const std::vector<Case> cases = {
        {"the last leaf of the raw events, found by the open's check", "raw_events", Where::last, nullptr},
        {"a leaf inside the raw events, met while reading them", "raw_events", Where::inside,
         [](APMDatabase& db) { return db.rawEventsWithMetadataFingerprint(1, nullptr, nullptr).has_value(); }},
        {"the first leaf of the queue, found by the open's check", "queue", Where::first, nullptr},
        {"a leaf inside the queue, met while reading it", "queue", Where::inside,
         [](APMDatabase& db) { return db.queryBundlesWithCountLimit(kBundles, 1 << 30, nullptr).has_value(); }},
    };
    for (const auto& entry : cases) {
        const std::string what = entry.what;
        CAPTURE(what);
        DatabaseFixture fx;
        const double now = fx.time.now();
        storeRowsOfEveryKind(fx, kEvents, kBundles);
        const std::string other = std::string(entry.table) == "queue" ? "raw_events" : "queue";
        auto before =
            rowsOfTables(fx.path(), {entry.table, other, "raw_events_metadata", "app_metadata", "user_attributes"});
        REQUIRE(before[entry.table].size() == (std::string(entry.table) == "queue" ? kBundles : kEvents));

        std::size_t pageSize = 0;
        const auto leaves = leavesOf(fx.path(), entry.table, &pageSize);
        REQUIRE(leaves.size() >= 4);
        const Leaf& leaf = entry.where == Where::first ? leaves.front()
                           : entry.where == Where::last ? leaves.back()
                                                        : leaves[2];
        std::set<std::int64_t> onLeaf, expected;
        for (const auto& [rowID, row] : before[entry.table]) (leaf.rowIDs.count(rowID) ? onLeaf : expected).insert(rowID);
        REQUIRE(onLeaf == leaf.rowIDs);
        const std::size_t offset = (leaf.page - 1) * pageSize;
        const std::string written = damage(fx.path(), offset);

        if (entry.readMeetingIt) {
            fx.reopen();
            CHECK_FALSE(fx.capture.hasCode(kAPMSqliteStoreDamagedFileCode));
            fx.onWorker([&] { CHECK_FALSE(entry.readMeetingIt(fx.database())); });
            CHECK(fs::exists(fx.path().string() + kAPMSqliteStoreDamageMarkSuffix));
        }
        fx.reopen();

        // The damaged file itself is set aside, not deleted.
        const fs::path aside = fx.path().string() + ".corrupt";
        REQUIRE(fs::exists(aside));
        CHECK(fileBytes(aside).substr(offset, kDamagedBytes) == written);
        CHECK_FALSE(fs::exists(fx.path().string() + kAPMSqliteStoreDamageMarkSuffix));
        CHECK_FALSE(fs::exists(fx.path().string() + kAPMSqliteStoreCarrySuffix));
        CHECK(fx.capture.count(kAPMSqliteStoreDamagedFileCode) == 1);
        CHECK(fx.capture.count(kAPMSqliteStoreCarriedRowsCode) == 1);

        // Every row that reads from the damaged file, and only the damaged
        // page's rows missing, each as it was stored.
        const auto carried = rowsOf(fx.path(), entry.table);
        std::set<std::int64_t> carriedIDs;
        for (const auto& [rowID, row] : carried) {
            carriedIDs.insert(rowID);
            CHECK(row == before[entry.table].at(rowID));
        }
        CHECK(carriedIDs == expected);
        CHECK(carriedIDs == readableOneByOne(aside, entry.table, before[entry.table]));
        for (const auto& table : {other, std::string("raw_events_metadata"), std::string("app_metadata"),
                                  std::string("user_attributes")}) {
            CAPTURE(table);
            CHECK(rowsOf(fx.path(), table) == before[table]);
        }

        // The new file is used as any other: the next writes are stored
        // after the carried rows, the carried ones read through the engine.
        fx.onWorker([&] {
            auto& db = fx.database();
            REQUIRE(db.insertRawEvent(numbered(kEvents, now), 1, nullptr));
            CHECK(db.insertBundle(makeBundle(kAppID, static_cast<std::int64_t>(now * 1000)), false, nullptr));
            CHECK(db.recordAppInstanceIDUnlessRecorded("another-instance", nullptr) == "kept-instance");
            bool recorded = true;
            CHECK(db.recordFirstOpenUnlessRecorded(1800000000000, &recorded, nullptr) == 1700000000000);
            CHECK_FALSE(recorded);
            const auto bundles = db.queryBundlesWithCountLimit(kBundles + 1, 1 << 30, nullptr);
            REQUIRE(bundles);
            CHECK(bundles->size() == before["queue"].size() + 1 - (other == "queue" ? 0 : onLeaf.size()));
        });
        const auto events = rowsOf(fx.path(), "raw_events");
        CHECK(events.size() == before["raw_events"].size() + 1 - (other == "queue" ? onLeaf.size() : 0));
        CHECK(events.rbegin()->second.find("event_" + std::to_string(kEvents)) != std::string::npos);
    }
}

namespace {

constexpr int kSweepEvents = 3000;
constexpr int kLoggedEvents = 300;
// One event whose row spills onto overflow pages.
constexpr int kLargeEvent = 1000;
constexpr std::size_t kLargeEventBytes = 12000;
// Looked up one by one past the last row stored, for keys that damage made.
constexpr std::int64_t kRowIDMargin = 100;

// The pages of a table of the given kind ('leaf', 'internal', 'overflow'),
// in key order, from SQLite's page statistics of an intact file.
std::vector<std::int64_t> pagesOf(const fs::path& path, const std::string& table, const std::string& kind) {
    Connection connection(path);
    sqlite3_stmt* statement = nullptr;
    const char* sql = "SELECT pageno FROM dbstat WHERE name = ?1 AND pagetype = ?2 ORDER BY path";
    REQUIRE(sqlite3_prepare_v2(connection.db, sql, -1, &statement, nullptr) == SQLITE_OK);
    sqlite3_bind_text(statement, 1, table.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(statement, 2, kind.c_str(), -1, SQLITE_TRANSIENT);
    std::vector<std::int64_t> pages;
    while (sqlite3_step(statement) == SQLITE_ROW) pages.push_back(sqlite3_column_int64(statement, 0));
    sqlite3_finalize(statement);
    return pages;
}

// What looking up each row ID alone gives in a file, read only: the rows
// the engine could have written there (failed: those that fail, answer
// another row ID, or read with a value of a type the engine never writes).
struct OneByOne {
    std::map<std::int64_t, std::string> rows;
    std::set<std::int64_t> failed;
};

// The raw events' columns with the one storage class the engine writes in
// each; only the clock may be NULL.
bool writableRawEvent(sqlite3_stmt* statement) {
    static const std::map<std::string, int> kTypes = {
        {"metadata_fingerprint", SQLITE_INTEGER}, {"name", SQLITE_TEXT},        {"timestamp", SQLITE_FLOAT},
        {"data", SQLITE_BLOB},                    {"is_realtime", SQLITE_INTEGER}, {"clock", SQLITE_INTEGER}};
    for (int column = 1; column < sqlite3_column_count(statement); ++column) {
        const int type = sqlite3_column_type(statement, column);
        const std::string name = sqlite3_column_name(statement, column);
        if (type == SQLITE_NULL ? name != "clock" : type != kTypes.at(name)) return false;
        if (type != SQLITE_TEXT) continue;
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
        if (!APMIsValidUTF8(std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, column))))) {
            return false;
        }
    }
    return true;
}

OneByOne lookUpEach(const fs::path& path, const std::string& table, const std::set<std::int64_t>& rowIDs) {
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    REQUIRE(sqlite3_prepare_v2(db, ("SELECT rowid, * FROM " + table + " NOT INDEXED WHERE rowid = ?").c_str(), -1,
                               &statement, nullptr) == SQLITE_OK);
    OneByOne read;
    for (const std::int64_t rowID : rowIDs) {
        sqlite3_reset(statement);
        sqlite3_bind_int64(statement, 1, rowID);
        const int rc = sqlite3_step(statement);
        const bool writable =
            rc == SQLITE_ROW && sqlite3_column_int64(statement, 0) == rowID && writableRawEvent(statement);
        if (writable) read.rows.emplace(rowID, columnsText(statement));
        if (!writable && rc != SQLITE_DONE) read.failed.insert(rowID);
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return read;
}

void overwrite(const fs::path& path, std::size_t offset, const std::string& bytes) {
    REQUIRE(testsupport::overwriteBytes(path, offset, bytes));
}

using testsupport::seededBytes;

// A file of the engine's layout with kSweepEvents raw events in one table
// and a few rows in the others, its log copied into it; beside it as
// "logged" the same with kLoggedEvents more, which live only in its log; and
// as "tiny" one whose kSweepEvents raw events are as small as rows come, so
// that its pages hold many.
void makeSweepFiles(const fs::path& folder) {
    {
        DatabaseFixture tiny;
        tiny.close();
        Connection connection(tiny.path());
        const std::string rows = "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                                 std::to_string(kSweepEvents) +
                                 ") INSERT INTO raw_events (metadata_fingerprint, name, timestamp, data) "
                                 "SELECT 1, '', 0.0, x'' FROM n; PRAGMA wal_checkpoint(TRUNCATE)";
        REQUIRE(sqlite3_exec(connection.db, rows.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK);
        fs::copy_file(tiny.path(), folder / "tiny.sql");
    }
    DatabaseFixture fx;
    const double now = fx.time.now();
    fx.onWorker([&] {
        auto& db = fx.database();
        REQUIRE(db.insertRawEventMetadata(makeBundle(kAppID, 1), 1, nullptr));
        REQUIRE(db.performTransaction([&] {
            for (int i = 0; i < kSweepEvents; ++i) {
                APMEvent event = numbered(i, now);
                if (i == kLargeEvent) {
                    event = APMEvent("app", true, "large", now, 0,
                                     APMParameters{{"text", APMValue(std::string(kLargeEventBytes, 'x'))}});
                }
                if (!db.insertRawEvent(event, 1, nullptr)) return false;
            }
            for (int i = 0; i < 20; ++i) {
                if (!db.insertBundle(makeBundle(kAppID, 1000 + i), false, nullptr)) return false;
            }
            return true;
        }));
    });
    fx.close();
    {
        Connection connection(fx.path());
        REQUIRE(sqlite3_exec(connection.db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr) == SQLITE_OK);
    }
    fs::copy_file(fx.path(), folder / "checkpointed.sql");
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open(fx.path().c_str(), &db) == SQLITE_OK);
    REQUIRE(sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr) == SQLITE_OK);
    const std::string more = "INSERT INTO raw_events (metadata_fingerprint, name, timestamp, data, is_realtime, clock) "
                             "SELECT metadata_fingerprint, name, timestamp, data, is_realtime, clock FROM raw_events "
                             "WHERE rowid <= " + std::to_string(kLoggedEvents);
    REQUIRE(sqlite3_exec(db, more.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK);
    sqlite3_close(db);
    fs::copy_file(fx.path(), folder / "logged.sql");
    fs::copy_file(fx.path().string() + "-wal", folder / "logged.sql-wal");
}

// Where in a table-leaf page (not page 1) the cell of that row ID begins.
std::size_t cellOf(const std::string& page, std::int64_t rowID) {
    for (std::uint32_t cell = 0; cell < bigEndian(page, 3, 2); ++cell) {
        const std::size_t start = bigEndian(page, 8 + 2 * cell, 2);
        std::size_t at = start;
        varint(page, &at);  // the payload's size
        if (varint(page, &at) == rowID) return start;
    }
    FAIL("no cell of row " << rowID);
    return 0;
}

// The page with the serial type of one column of some rows' records set to
// another of the same length: each row reads whole, with a value of another
// type. Every type changed is held in one byte.
using TypeChange = std::tuple<std::int64_t, int, std::function<int(int)>>;
std::string withTypesChanged(std::string page, const std::vector<TypeChange>& changes) {
    for (const auto& [rowID, column, type] : changes) {
        std::size_t at = cellOf(page, rowID);
        varint(page, &at);
        varint(page, &at);
        REQUIRE(static_cast<unsigned char>(page.at(at)) < 0x80);  // the record header's own size
        const std::size_t serialType = at + 1 + static_cast<std::size_t>(column);
        REQUIRE(static_cast<unsigned char>(page.at(serialType)) < 0x80);
        page[serialType] = static_cast<char>(type(page.at(serialType)));
    }
    return page;
}

// A cell whose payload size runs over nine bytes: SQLite's in-order read
// takes its row ID from the tenth byte (`inOrder`), its look-up skips every
// byte of the size and takes the record's first byte, the size of its
// header (7 here), for the row ID. Its record is a raw event of the engine's
// types: fingerprint 1, name "e", time 1.0, one byte of data, 0 and 0.
std::string cellReadTwoWays(unsigned char inOrder) {
    const std::string record = std::string("\x07\x09\x0f\x07\x0e\x08\x08", 7) + "e" +
                               std::string("\x3f\xf0\0\0\0\0\0\0", 8) + std::string(1, '\0');
    std::string cell(8, '\x80');
    cell += static_cast<char>(0x80 | record.size());
    cell += static_cast<char>(inOrder);
    return cell + record;
}

// The row ID of a table-leaf page's middle cell (where a look-up's search
// of the page begins, and so finds it) written over the next cell's, whose
// row ID takes as many bytes: where to write it, its bytes, and the row ID.
struct SameKey {
    std::size_t offset;
    std::string bytes;
    std::int64_t rowID;
};
SameKey middleKeyTwice(const std::string& page) {
    const std::uint32_t middle = (bigEndian(page, 3, 2) - 1) / 2;
    std::size_t first = bigEndian(page, 8 + 2 * middle, 2), second = bigEndian(page, 8 + 2 * (middle + 1), 2);
    varint(page, &first);  // the payload sizes
    varint(page, &second);
    const std::size_t firstKey = first, secondKey = second;
    const std::int64_t rowID = varint(page, &first);
    varint(page, &second);
    REQUIRE(first - firstKey == second - secondKey);
    return {secondKey, page.substr(firstKey, first - firstKey), rowID};
}

std::string bigEndianBytes(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
            static_cast<char>(value)};
}

}  // namespace

TEST_CASE("whatever lies at the mark's name asks for the whole file's check at open: damage inside the raw events, "
          "which only that check reads, is found, and every other row carried") {
    struct Kind {
        std::string what;
        std::function<void(const fs::path& name, const fs::path& outside)> make;
    };
    std::vector<Kind> kinds = {{"the mark", [](const fs::path& name, const fs::path&) { testsupport::writeText(name, ""); }}};
    for (const auto& odd : testsupport::oddKinds()) kinds.push_back({odd.what, odd.make});
    for (const auto& kind : kinds) {
        CAPTURE(kind.what);
        DatabaseFixture fx;
        storeRowsOfEveryKind(fx, kEvents, kBundles);
        const auto before = rowsOf(fx.path(), "raw_events");
        std::size_t pageSize = 0;
        const auto leaves = leavesOf(fx.path(), "raw_events", &pageSize);
        REQUIRE(leaves.size() >= 4);
        const Leaf& inside = leaves[2];
        damage(fx.path(), (inside.page - 1) * pageSize);
        testsupport::TempDir elsewhere;
        kind.make(fx.path().string() + kAPMSqliteStoreDamageMarkSuffix, elsewhere / "outside");

        fx.reopen();
        CHECK(fx.capture.count(kAPMSqliteStoreDamagedFileCode) == 1);
        CHECK(fx.capture.count(kAPMSqliteStoreOddNameSetAsideCode) == (kind.what == "the mark" ? 0 : 1));
        // The copy after the one the odd name took, if any.
        CHECK(fs::is_regular_file(fx.path().string() + (kind.what == "the mark" ? ".corrupt" : ".corrupt-2")));
        std::map<std::int64_t, std::string> expected;
        for (const auto& [rowID, row] : before) {
            if (!inside.rowIDs.count(rowID)) expected.emplace(rowID, row);
        }
        CHECK(rowsOf(fx.path(), "raw_events") == expected);
    }
}

TEST_CASE("damage on any one page: the carry and the dump take every row whose cell reads, and only those") {
    APMMonitorCapture capture;
    testsupport::TempDir folder;
    makeSweepFiles(folder.path());
    const fs::path checkpointed = folder / "checkpointed.sql";
    const auto pageSize = static_cast<std::size_t>(Connection(checkpointed).integer("PRAGMA page_size"));
    struct Case {
        std::string what;
        const char* layout;
        std::int64_t page;
        std::size_t offset;
        std::string bytes;
        // What one of the stretches says, where the case asks.
        std::string said = {};
        // The rows the damage may lose: those the damaged page holds or
        // leads to (none known for an interior page), and whether they may
        // lie outside every stretch named (the tree's order lost with it).
        std::optional<std::set<std::int64_t>> lostAtMost = {};
        bool lostAnywhere = false;
    };
    std::vector<Case> cases;
    const auto leaves = pagesOf(checkpointed, "raw_events", "leaf");
    REQUIRE(leaves.size() >= 8);
    for (std::size_t i = 0; i < leaves.size(); ++i) {
        cases.push_back({"leaf " + std::to_string(i), "checkpointed.sql", leaves[i], 8,
                         seededBytes(static_cast<std::uint32_t>(i), kDamagedBytes)});
    }
    // Bytes on the last leaf that sent a read seeking past damage on without
    // end, with the file as the engine lays these rows out.
    cases.push_back({"the last leaf, once read without end", "checkpointed.sql", leaves.back(), 8,
                     seededBytes(5, kDamagedBytes)});
    const auto interior = pagesOf(checkpointed, "raw_events", "internal");
    REQUIRE(interior.size() == 1);
    cases.push_back({"the interior page", "checkpointed.sql", interior.front(), 8, seededBytes(1, kDamagedBytes), "",
                     std::nullopt, true});
    // One row's overflow chain broken, its leaf page whole: the chain leads
    // past the file's end.
    const auto overflow = pagesOf(checkpointed, "raw_events", "overflow");
    REQUIRE(overflow.size() >= 2);
    cases.push_back({"one row's overflow chain", "checkpointed.sql", overflow.front(), 0, std::string(4, '\xff'), "",
                     std::set<std::int64_t>{kLargeEvent + 1}});
    // The newest leaves only in the log, behind a page in the file that no
    // longer reads as one: the tree's read stops there.
    cases.push_back({"a middle leaf's type, the newest rows in the log", "logged.sql", leaves[leaves.size() / 2], 0,
                     seededBytes(7, kDamagedBytes)});
    // Cells whose values damage turned into others of the same length and
    // another type: each row reads, and is no row the engine could have
    // written (serial types 7 a real, 6 an integer, 28 a blob of 8 bytes,
    // a blob's type plus one text of its length, 0 NULL, 29 a text of 8
    // bytes).
    const std::string firstLeaf = fileBytes(checkpointed).substr((leaves[0] - 1) * pageSize, pageSize);
    const auto to = [](int type) { return [type](int) { return type; }; };
    cases.push_back({"values of other types on the first leaf", "checkpointed.sql", leaves[0], 0,
                     withTypesChanged(firstLeaf, {{12, 1, to(7)},
                                                  {14, 1, to(6)},
                                                  {16, 1, to(28)},
                                                  {18, 3, [](int blob) { return blob + 1; }},
                                                  {20, 0, to(0)},
                                                  {22, 2, to(29)}}),
                     "row 12: the column \"name\" holds a real where it is declared TEXT"});
    // A key SQLite's in-order read takes otherwise than its look-up: read
    // within its page, the cell gives no row.
    cases.push_back({"a row ID the in-order read takes otherwise", "checkpointed.sql", leaves[0], cellOf(firstLeaf, 7),
                     cellReadTwoWays(127)});
    // The cell after a leaf's middle one under the middle one's row ID: the
    // first the tree gives is the row.
    const std::string middleLeaf =
        fileBytes(checkpointed).substr((leaves[leaves.size() / 2] - 1) * pageSize, pageSize);
    const SameKey twice = middleKeyTwice(middleLeaf);
    cases.push_back({"a cell under the row ID of the cell before it", "checkpointed.sql", leaves[leaves.size() / 2],
                     twice.offset, twice.bytes,
                     "row " + std::to_string(twice.rowID) + ": another cell under this row ID came first"});
    // The last child of the tree's root leads back to the root: its last
    // leaf is lost, and the walk ends there.
    const auto tinyRoot = pagesOf(folder / "tiny.sql", "raw_events", "internal");
    REQUIRE(tinyRoot.size() == 1);
    std::size_t tinyPageSize = 0;
    cases.push_back({"the root's last child leading back to it", "tiny.sql", tinyRoot.front(), 8,
                     bigEndianBytes(static_cast<std::uint32_t>(tinyRoot.front())),
                     "page " + std::to_string(tinyRoot.front()) + ": the tree leads to it again",
                     leavesOf(folder / "tiny.sql", "raw_events", &tinyPageSize).back().rowIDs});
    // A leaf's damage loses its rows at most.
    std::size_t leafPageSize = 0;
    for (const auto& leaf : leavesOf(checkpointed, "raw_events", &leafPageSize)) {
        for (auto& entry : cases) {
            if (entry.page == leaf.page && !entry.lostAtMost && !entry.lostAnywhere) entry.lostAtMost = leaf.rowIDs;
        }
    }
    // The rows each file holds, read from a copy (a read of the file
    // itself would copy its log into it).
    std::map<std::string, std::map<std::int64_t, std::string>> storedRows;
    for (const char* layout : {"checkpointed.sql", "logged.sql", "tiny.sql"}) {
        testsupport::TempDir copy;
        fs::copy_file(folder / layout, copy / "stored.sql");
        if (fs::exists(folder / (std::string(layout) + "-wal"))) {
            fs::copy_file(folder / (std::string(layout) + "-wal"), copy / "stored.sql-wal");
        }
        storedRows[layout] = rowsOf(copy / "stored.sql", "raw_events");
    }

    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        testsupport::TempDir dir;
        const fs::path path = dir / "measurement.sql";
        fs::copy_file(folder / entry.layout, path);
        const fs::path log = folder / (std::string(entry.layout) + "-wal");
        if (fs::exists(log)) fs::copy_file(log, path.string() + "-wal");
        overwrite(path, static_cast<std::size_t>(entry.page - 1) * pageSize + entry.offset, entry.bytes);

        // The dump's reader, on the damaged file as it lies.
        std::vector<std::int64_t> dumped;
        std::vector<APMUnreadableStretch> stretches;
        {
            auto store = APMSqliteStore::makeReadOnlyWithDatabasePath(path.string(), nullptr, APMDatabase::declaredTables());
            REQUIRE(store);
            auto read = store->readableRowsOfTable(
                "raw_events", [&](APMRow row) { dumped.push_back(row.at("rowid").intValue()); }, nullptr);
            REQUIRE(read);
            stretches = *read;
        }
        // The carry, at an open that checks the whole file.
        testsupport::writeText(path.string() + kAPMSqliteStoreDamageMarkSuffix, "");
        capture.clear();
        REQUIRE(APMSqliteStore::makeWithDatabasePath(path.string(), nullptr, APMDatabase::declaredSchema()));
        const auto carriedSaid = capture.entriesWithCode(kAPMSqliteStoreCarriedRowsCode);
        REQUIRE(carriedSaid.size() == 1);
        const fs::path aside = path.string() + ".corrupt";
        REQUIRE(fs::exists(aside));
        const auto carried = rowsOf(path, "raw_events");

        // No row but one stored, with the values stored; each once, the
        // same in the dump.
        const auto& stored = storedRows.at(entry.layout);
        std::set<std::int64_t> readable;
        for (const auto& row : carried) {
            const std::int64_t rowID = row.first;
            CAPTURE(rowID);
            CHECK((stored.count(rowID) && stored.at(rowID) == row.second));
            readable.insert(rowID);
        }
        CHECK(dumped.size() == readable.size());
        CHECK(std::set<std::int64_t>(dumped.begin(), dumped.end()) == readable);
        std::set<std::int64_t> lost;
        for (const auto& row : stored) {
            if (!readable.count(row.first)) lost.insert(row.first);
        }
        // None lost but those the damaged page held (or led to).
        if (entry.lostAtMost) {
            CHECK(std::includes(entry.lostAtMost->begin(), entry.lostAtMost->end(), lost.begin(), lost.end()));
        }
        // Each stretch lies between two rows read next to each other; every
        // stored row that did not read lies in one.
        auto holds = [](const APMUnreadableStretch& stretch, std::int64_t rowID) {
            return (!stretch.afterRowID || *stretch.afterRowID < rowID) &&
                   (!stretch.beforeRowID || rowID < *stretch.beforeRowID);
        };
        for (const auto& stretch : stretches) {
            const auto after = stretch.afterRowID ? readable.upper_bound(*stretch.afterRowID) : readable.begin();
            CHECK((after == readable.end() ? std::nullopt : std::optional(*after)) == stretch.beforeRowID);
        }
        CHECK(stretches.empty() == lost.empty());
        if (!entry.lostAnywhere) {
            CHECK(std::count_if(lost.begin(), lost.end(), [&](std::int64_t rowID) {
                      return std::none_of(stretches.begin(), stretches.end(),
                                          [&](const APMUnreadableStretch& stretch) { return holds(stretch, rowID); });
                  }) == 0);
        }
        if (!entry.said.empty()) {
            CHECK(std::any_of(stretches.begin(), stretches.end(), [&](const APMUnreadableStretch& stretch) {
                return stretch.error.find(entry.said) != std::string::npos;
            }));
            CHECK(carriedSaid[0].contexts.at(1).stringValue().find(entry.said) != std::string::npos);
        }
    }
}

namespace {

// SQLite's limit on the length of a value, lowered for every connection
// opened while this lives: a row with a value past it reads as one too big
// (SQLITE_TOOBIG), which a file of the engine's size shows no other way.
constexpr int kLoweredLengthLimit = 1000;

int lowerLengthLimit(sqlite3* db, const char**, const sqlite3_api_routines*) {
    sqlite3_limit(db, SQLITE_LIMIT_LENGTH, kLoweredLengthLimit);
    return SQLITE_OK;
}

struct LoweredLengthLimit {
    LoweredLengthLimit() { sqlite3_auto_extension(reinterpret_cast<void (*)()>(&lowerLengthLimit)); }
    ~LoweredLengthLimit() { sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(&lowerLengthLimit)); }
    LoweredLengthLimit(const LoweredLengthLimit&) = delete;
    LoweredLengthLimit& operator=(const LoweredLengthLimit&) = delete;
};

}  // namespace

TEST_CASE("damage to a small table's page, and rows too big for SQLite to hold: the file is set aside, "
          "and the carry counts them as rows that did not read") {
    constexpr int kRows = 300;  // more than a small table's: checked at its end pages only
    const std::string tooLong(kLoweredLengthLimit * 2, 'x');
    // The table whose rows do not all read and what the carry says of it;
    // what is too long (the header's app ID, an event's parameter); the
    // seed of random bytes over the app metadata's page.
    struct Case {
        std::string what;
        const char* table;
        const char* said;
        bool longAppID;
        bool longEvent;
        std::optional<std::uint32_t> seed;
    };
    std::vector<Case> cases = {
        {"the events' header too big, a small table", "raw_events_metadata", "too big", true, false, std::nullopt},
        {"an event too big, in a file damaged elsewhere", "raw_events", "too big", false, true, 0}};
    for (std::uint32_t seed = 0; seed < 4; ++seed) {
        cases.push_back({"random bytes over the app metadata, seed " + std::to_string(seed), "app_metadata",
                         "app_metadata from the first row to the last: page ", false, false, seed});
    }

    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        DatabaseFixture fx;
        const double now = fx.time.now();
        fx.onWorker([&] {
            auto& db = fx.database();
            REQUIRE(db.insertRawEventMetadata(makeBundle(entry.longAppID ? tooLong : kAppID, 1), 1, nullptr));
            REQUIRE(db.performTransaction([&] {
                for (int i = 0; i < kRows; ++i) {
                    APMEvent event = numbered(i, now);
                    if (entry.longEvent && i == kRows / 2) {
                        event = APMEvent("app", true, "long", now, 0, APMParameters{{"text", APMValue(tooLong)}});
                    }
                    if (!db.insertRawEvent(event, 1, nullptr)) return false;
                }
                return true;
            }));
            bool recorded = false;
            REQUIRE(db.recordFirstOpenUnlessRecorded(1700000000000, &recorded, nullptr));
        });
        fx.close();
        REQUIRE(sqlite3_exec(Connection(fx.path()).db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr) ==
                SQLITE_OK);
        if (entry.seed) {
            const auto pages = pagesOf(fx.path(), "app_metadata", "leaf");
            REQUIRE(pages.size() == 1);
            const auto pageSize = static_cast<std::size_t>(Connection(fx.path()).integer("PRAGMA page_size"));
            overwrite(fx.path(), static_cast<std::size_t>(pages[0] - 1) * pageSize + 8,
                      seededBytes(*entry.seed, kDamagedBytes));
        }
        {
            const LoweredLengthLimit limit;
            fx.reopen();
        }

        CHECK(fx.capture.count(kAPMSqliteStoreDamagedFileCode) == 1);
        const auto carried = fx.capture.entriesWithCode(kAPMSqliteStoreCarriedRowsCode);
        CHECK(carried.size() == 1);
        const std::string skipped = carried.empty() ? "" : carried[0].contexts.at(1).stringValue();
        CAPTURE(skipped);
        CHECK(skipped.find(std::string(entry.table) + " ") != std::string::npos);
        CHECK(skipped.find(entry.said) != std::string::npos);
        CHECK(rowsOf(fx.path(), "raw_events").size() == kRows - (entry.longEvent ? 1 : 0));
        CHECK(rowsOf(fx.path(), "raw_events_metadata").size() == (entry.longAppID ? 0 : 1));
        // What the app metadata held is known lost, not taken for a first start.
        fx.onWorker([&] { CHECK(fx.database().appMetadataLostToDamage(nullptr) == entry.seed.has_value()); });
    }
}

TEST_CASE("a row another program committed where no look-up of its row ID leads is named among the rows that did "
          "not read") {
    testsupport::TempDir folder;
    makeSweepFiles(folder.path());
    // Past the header of the last leaf: the page's largest row ID reads wrong.
    const fs::path path = folder / "checkpointed.sql";
    const auto pageSize = static_cast<std::size_t>(Connection(path).integer("PRAGMA page_size"));
    overwrite(path, static_cast<std::size_t>(pagesOf(path, "raw_events", "leaf").back() - 1) * pageSize + 8,
              seededBytes(0, kDamagedBytes));
    std::int64_t stranger = 0;
    {
        Connection connection(path);
        REQUIRE(sqlite3_exec(connection.db,
                             "INSERT INTO raw_events (metadata_fingerprint, name, timestamp, data, is_realtime, clock) "
                             "SELECT metadata_fingerprint, 'stranger', timestamp, data, is_realtime, clock FROM "
                             "raw_events WHERE rowid = 1",
                             nullptr, nullptr, nullptr) == SQLITE_OK);
        stranger = sqlite3_last_insert_rowid(connection.db);
    }
    // Under a row ID that reads as another row.
    REQUIRE(lookUpEach(path, "raw_events", {stranger}).rows.at(stranger).find("stranger") == std::string::npos);
    auto store = APMSqliteStore::makeReadOnlyWithDatabasePath(path.string(), nullptr);
    REQUIRE(store);
    std::set<std::int64_t> read;
    const auto stretches =
        store->readableRowsOfTable("raw_events", [&](APMRow row) { read.insert(row.at("rowid").intValue()); }, nullptr);
    REQUIRE(stretches);
    // Each row that did not read lies in a stretch; of the two cells under
    // the stranger's row ID, the one that did not read is named by it.
    std::vector<std::int64_t> unnamed;
    const std::string secondCell = "row " + std::to_string(stranger) + ": another cell under this row ID came first";
    for (std::int64_t rowID = 1; rowID <= kSweepEvents; ++rowID) {
        const bool named = std::any_of(stretches->begin(), stretches->end(), [&](const APMUnreadableStretch& stretch) {
            if (rowID == stranger) return stretch.error.find(secondCell) != std::string::npos;
            return (!stretch.afterRowID || *stretch.afterRowID < rowID) &&
                   (!stretch.beforeRowID || rowID < *stretch.beforeRowID);
        });
        if ((rowID == stranger || !read.count(rowID)) && !named) unnamed.push_back(rowID);
    }
    CHECK(unnamed.empty());
}

TEST_CASE("a declaration in the schema that does not parse: the dump reads every row, and the carry takes every row "
          "into a file of the engine's own declarations") {
    // One byte of the stored text of an object's declaration.
    struct Case {
        std::string what;
        const char* object;
        const char* from;
        const char* to;
        // The declaration SQLite names as the one it cannot parse.
        const char* unparsed;
    };
    const std::vector<Case> cases = {
        {"an index of the raw events", "raw_events_by_timestamp", " ON ", " 0N ", "raw_events_by_timestamp"},
        {"a unique index of the audiences' filters", "event_filters_by_id", " ON ", " 0N ", "event_filters_by_id"},
        // Then an index names a column that is no longer there; the
        // renamed column's values are the declared column's.
        {"a column's name in the raw events' declaration", "raw_events", "is_realtime", "is_realtXme",
         "raw_events_realtime"},
        // The table itself then has no declaration: its rows are read from
        // its pages, with the engine's.
        {"the raw events' own declaration", "raw_events", " (\"", " 0\"", "raw_events"},
        // Its first column is the row ID under a name of its own.
        {"the app metadata's own declaration", "app_metadata", " (\"", " 0\"", "app_metadata"},
    };
    const char* damage = "UPDATE sqlite_master SET sql = replace(sql, ?2, ?3) WHERE name = ?1";
    const std::vector<std::string> tables = {"raw_events", "raw_events_metadata", "queue", "app_metadata",
                                             "user_attributes"};
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        DatabaseFixture fx;
        const double now = fx.time.now();
        storeRowsOfEveryKind(fx, kStored, kStoredBundles);
        auto before = rowsOfTables(fx.path(), tables);
        {
            Connection connection(fx.path());
            REQUIRE(sqlite3_exec(connection.db, "PRAGMA writable_schema = ON", nullptr, nullptr, nullptr) == SQLITE_OK);
            sqlite3_stmt* statement = nullptr;
            REQUIRE(sqlite3_prepare_v2(connection.db, damage, -1, &statement, nullptr) == SQLITE_OK);
            sqlite3_bind_text(statement, 1, entry.object, -1, SQLITE_STATIC);
            sqlite3_bind_text(statement, 2, entry.from, -1, SQLITE_STATIC);
            sqlite3_bind_text(statement, 3, entry.to, -1, SQLITE_STATIC);
            REQUIRE(sqlite3_step(statement) == SQLITE_DONE);
            sqlite3_finalize(statement);
            REQUIRE(sqlite3_changes(connection.db) == 1);
        }
        {
            sqlite3* db = nullptr;
            REQUIRE(sqlite3_open(fx.path().c_str(), &db) == SQLITE_OK);
            CHECK(sqlite3_exec(db, "SELECT count(*) FROM raw_events", nullptr, nullptr, nullptr) == SQLITE_CORRUPT);
            sqlite3_close(db);
        }

        // The dump's reader: every row, and the schema named.
        {
            auto store = APMSqliteStore::makeReadOnlyWithDatabasePath(fx.path().string(), nullptr,
                                                                      APMDatabase::declaredTables());
            REQUIRE(store);
            std::set<std::int64_t> dumped;
            const auto skipped = store->readableRowsOfTable(
                "raw_events", [&](APMRow row) { dumped.insert(row.at("rowid").intValue()); }, nullptr);
            REQUIRE(skipped);
            CHECK(skipped->empty());
            std::set<std::int64_t> stored;
            for (const auto& row : before["raw_events"]) stored.insert(row.first);
            CHECK(dumped == stored);
            const auto damage = store->damageInSmallTables();
            REQUIRE(damage.size() == 1);
            CHECK(damage[0].table == kAPMSqliteStoreSchemaTable);
            CHECK(damage[0].error.find(entry.unparsed) != std::string::npos);
        }

        fx.reopen();
        CHECK(fx.capture.count(kAPMSqliteStoreDamagedFileCode) == 1);
        const auto said = fx.capture.entriesWithCode(kAPMSqliteStoreCarriedRowsCode);
        REQUIRE(said.size() == 1);
        CHECK(said[0].contexts.at(1).stringValue().find("sqlite_master from the first row to the last: the schema") !=
              std::string::npos);
        for (const auto& table : tables) {
            CAPTURE(table);
            CHECK(rowsOf(fx.path(), table) == before[table]);
        }
        // The declarations as the engine makes them.
        Connection carried(fx.path());
        CHECK(carried.integer("SELECT count(*) FROM sqlite_master WHERE name = ?1 AND instr(sql, ?2) = 0",
                              entry.object, entry.to) == 1);
        fx.onWorker([&] { CHECK(fx.database().insertRawEvent(numbered(kStored, now), 1, nullptr)); });
        CHECK(rowsOf(fx.path(), "raw_events").size() == before["raw_events"].size() + 1);
    }
}


namespace {

std::size_t leafCount(Connection& connection) {
    return static_cast<std::size_t>(
        connection.integer("SELECT count(*) FROM dbstat WHERE name = 'raw_events' AND pagetype = 'leaf'"));
}

// Copies of a raw event until the last leaf of the raw events is full: the
// next row appended to it splits it.
void fillLastLeaf(const fs::path& path) {
    Connection connection(path);
    const std::string copy = "INSERT INTO raw_events (metadata_fingerprint, name, timestamp, data, is_realtime, clock) "
                             "SELECT metadata_fingerprint, name, timestamp, data, is_realtime, clock FROM raw_events "
                             "WHERE rowid = 2";
    for (const std::size_t leaves = leafCount(connection);;) {
        REQUIRE(sqlite3_exec(connection.db, ("BEGIN; " + copy).c_str(), nullptr, nullptr, nullptr) == SQLITE_OK);
        const bool split = leafCount(connection) != leaves;
        REQUIRE(sqlite3_exec(connection.db, split ? "ROLLBACK" : "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK);
        if (split) break;
    }
    REQUIRE(sqlite3_exec(connection.db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr) == SQLITE_OK);
}

}  // namespace

TEST_CASE("a write into a last leaf of the raw events whose header reads whole and whose cells do not keeps every row "
          "that read before it, and is stored") {
    // Two bytes over the last cell pointer of a full leaf: SQLite reads the
    // page's largest row ID as a smaller one, and a write that splits the
    // page would route the look-ups of the rows above it to the new page.
    constexpr std::uint32_t kSeed = 9;
    testsupport::TempDir folder;
    makeSweepFiles(folder.path());
    const fs::path source = folder / "checkpointed.sql";
    fillLastLeaf(source);
    const auto pageSize = static_cast<std::size_t>(Connection(source).integer("PRAGMA page_size"));
    const auto lastLeaf = static_cast<std::size_t>(pagesOf(source, "raw_events", "leaf").back());
    const std::size_t cells = bigEndian(fileBytes(source), (lastLeaf - 1) * pageSize + 3, 2);
    std::set<std::int64_t> rowIDs;
    for (std::int64_t rowID = 1; rowID <= kSweepEvents + kRowIDMargin * 2; ++rowID) rowIDs.insert(rowID);
    for (const bool group : {false, true}) {
        CAPTURE(group);
        DatabaseFixture fx;
        fx.close();
        for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(fx.path().string() + suffix);
        fs::copy_file(source, fx.path());
        overwrite(fx.path(), (lastLeaf - 1) * pageSize + 8 + 2 * (cells - 1), seededBytes(kSeed, 2));
        const auto before = lookUpEach(fx.path(), "raw_events", rowIDs).rows;
        fx.reopen();
        REQUIRE_FALSE(fx.capture.hasCode(kAPMSqliteStoreDamagedFileCode));  // past what the open checks
        std::optional<std::int64_t> written;
        std::optional<bool> committed;
        const double now = fx.time.now();
        fx.onWorker([&] {
            auto& db = fx.database();
            auto write = [&] {
                written = db.insertRawEvent(APMEvent("app", true, "after_damage", now, 0, APMParameters{}), 1, nullptr);
                return written.has_value();
            };
            if (!group) {
                CHECK(write());
                return;
            }
            REQUIRE(db.openWriteGroup([&](bool done) { committed = done; }, nullptr));
            CHECK(db.performGroupedTransaction(write, nullptr));
            CHECK(db.closeWriteGroup());
        });
        CHECK(committed == (group ? std::optional(true) : std::nullopt));
        fx.close();
        CHECK(fx.capture.count(kAPMSqliteStoreDamageFoundCode) == 1);
        CHECK(fs::exists(fx.path().string() + ".corrupt"));
        const auto after = lookUpEach(fx.path(), "raw_events", rowIDs).rows;
        std::vector<std::int64_t> lost;
        for (const auto& row : before) {
            if (!after.count(row.first) || after.at(row.first) != row.second) lost.push_back(row.first);
        }
        CHECK(lost.empty());
        REQUIRE(written);
        CHECK(after.count(*written));
        CHECK(after.size() == before.size() + 1);
    }
}

TEST_CASE("a schema whose bytes changed while SQLite's count of its changes did not is damage: every row is carried "
          "into a file of the engine's declarations, and the next event stored") {
    // Each written through SQLite's writable schema, which leaves the
    // schema version as it was: bytes written over the schema table.
    struct Case {
        std::string what;
        std::string change;
    };
    const std::vector<Case> cases = {
        {"7 bytes of garbage inside a column's name in the daily counts' declaration, which every event's write "
         "names",
         "UPDATE sqlite_master SET sql = replace(sql, 'ents_co', CAST(X'3df1469c8b5b84' AS TEXT)) WHERE name = "
         "'daily_counts'"},
        // Its columns after them would read under the names before them.
        {"two columns of the app metadata's declaration merged into one under a name of garbage",
         "UPDATE sqlite_master SET sql = replace(sql, 'ig\" BLOB, \"fir', CAST(X'502b49fa9363f516688e8b9d07e7bc' AS "
         "TEXT)) WHERE name = 'app_metadata'"},
        {"a letter of an index's declaration", "UPDATE sqlite_master SET sql = replace(sql, ' ON ', ' oN ') WHERE name "
                                               "= 'raw_events_by_timestamp'"},
        {"a type in the queue's declaration",
         "UPDATE sqlite_master SET sql = replace(sql, 'BLOB', 'BLOX') WHERE name = 'queue'"},
        {"a column's name in the declaration of the layout's own record",
         "UPDATE sqlite_master SET sql = replace(sql, 'schema_version', 'schema_versiXn') WHERE name = "
         "'schema_checks'"},
        {"an object's type", "UPDATE sqlite_master SET type = 'indeX' WHERE name = 'queue_by_end_timestamp'"},
        // SQLite takes the two names below in any case.
        {"an index's name", "UPDATE sqlite_master SET name = 'QUEUE_by_end_timestamp' WHERE name = "
                            "'queue_by_end_timestamp'"},
        {"the table an index is of", "UPDATE sqlite_master SET tbl_name = 'QUEUE' WHERE name = 'queue_realtime'"},
        {"the root pages of two indexes of the raw events swapped: each reads the other's keys",
         "UPDATE sqlite_master SET rootpage = (SELECT sum(rootpage) FROM sqlite_master WHERE name IN "
         "('raw_events_by_fingerprint', 'raw_events_by_timestamp')) - rootpage WHERE name IN "
         "('raw_events_by_fingerprint', 'raw_events_by_timestamp')"},
    };
    const std::vector<std::string> tables = {"raw_events", "queue", "daily_counts", "app_metadata", "user_attributes"};
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        DatabaseFixture fx;
        const double now = fx.time.now();
        storeRowsOfEveryKind(fx, kStored, kStoredBundles);
        auto before = rowsOfTables(fx.path(), tables);
        const std::int64_t version = Connection(fx.path()).integer("PRAGMA schema_version");
        {
            Connection connection(fx.path());
            REQUIRE(sqlite3_exec(connection.db, ("PRAGMA writable_schema = ON; " + entry.change).c_str(), nullptr,
                                 nullptr, nullptr) == SQLITE_OK);
            REQUIRE(sqlite3_changes(connection.db) > 0);
        }
        REQUIRE(Connection(fx.path()).integer("PRAGMA schema_version") == version);

        fx.reopen();
        CHECK(fx.capture.count(kAPMSqliteStoreDamagedFileCode) == 1);
        CHECK_FALSE(fx.capture.hasCode(kAPMSqliteStoreSetAsideCode));
        for (const auto& table : tables) {
            CAPTURE(table);
            CHECK(rowsOf(fx.path(), table) == before[table]);
        }
        fx.onWorker([&] {
            CHECK(fx.database().insertRawEvent(numbered(kStored, now), 1, nullptr));
            CHECK(fx.database().updateDailyCounts(APMDailyCounts(1, 0, kStored + 1, kStored + 1, 0, 0, 0), nullptr));
        });
        CHECK(rowsOf(fx.path(), "raw_events").size() == before["raw_events"].size() + 1);
        // The file made anew holds the engine's own declarations, and is
        // not taken for damage again.
        fx.reopen();
        CHECK(fx.capture.count(kAPMSqliteStoreDamagedFileCode) == 1);
        CHECK(Connection(fx.path()).integer("SELECT count(*) FROM sqlite_master WHERE sql GLOB '*oN*' OR sql GLOB "
                                            "'*BLOX*' OR sql GLOB '*schema_versiXn*' OR type = 'indeX' OR name GLOB "
                                            "'QUEUE*' OR tbl_name GLOB 'QUEUE'") == 0);
    }
}

namespace {

// The tables whose every row the sweeps below compare.
const std::vector<std::string> kEngineTables = {"raw_events",      "raw_events_metadata", "queue",  "daily_counts",
                                                "app_metadata",    "user_attributes",     "events", "events_snapshot"};

std::string engineColumns(const std::string& table) {
    std::string listed;
    for (const auto& column : APMDatabase::declaredTables().at(table)) {
        listed += (listed.empty() ? "\"" : ", \"") + column.name + "\"";
    }
    return listed;
}

// Every row of a table of the engine's by row ID, its columns the engine
// declares (in its order) as type and bytes.
std::map<std::int64_t, std::string> engineRowsOf(const fs::path& path, const std::string& table) {
    return rowsOf(path, table, engineColumns(table));
}

std::map<std::string, std::map<std::int64_t, std::string>> engineRows(const fs::path& path) {
    std::map<std::string, std::map<std::int64_t, std::string>> rows;
    for (const auto& table : kEngineTables) rows[table] = engineRowsOf(path, table);
    return rows;
}

// Statements that make a table of the engine's again as another program
// might: its declared columns, then `more` (columns, constraints), then
// `tail`; its rows copied with their row IDs (by key into a table without
// them), `values` filling the column "extra" where `more` adds it.
std::string madeAgain(const std::string& table, const std::string& more, const std::string& tail = "",
                      const std::string& values = "") {
    std::string definition;
    for (const auto& column : APMDatabase::declaredTables().at(table)) {
        definition += (definition.empty() ? "\"" : ", \"") + column.name + "\" " + column.type;
    }
    const std::string id = tail.find("WITHOUT ROWID") == std::string::npos ? "rowid, " : "";
    const std::string columns = engineColumns(table) + (values.empty() ? "" : ", extra");
    const std::string selected = engineColumns(table) + (values.empty() ? "" : ", " + values);
    return "CREATE TABLE again (" + definition + more + ")" + tail + "; INSERT INTO again (" + id + columns +
           ") SELECT " + id + selected + " FROM " + table + "; DROP TABLE " + table +
           "; ALTER TABLE again RENAME TO " + table;
}

// One bit of the file's schema version (bytes 40 to 43 of its header).
constexpr std::size_t kSchemaVersionLowByte = 43;

void flipSchemaVersionBit(const fs::path& path) {
    const char byte = fileBytes(path).at(kSchemaVersionLowByte);
    overwrite(path, kSchemaVersionLowByte, std::string(1, static_cast<char>(byte ^ 1)));
}

}  // namespace

TEST_CASE("a layout the engine cannot write into, made by another program or by damage to the schema: every row of "
          "the engine's tables that read is carried into a new file, and the next event is stored") {
    struct Case {
        std::string what;
        std::string change;
        bool versionBit = false;
    };
    const std::vector<Case> cases = {
        {"a column named rowid added to the raw events", "ALTER TABLE raw_events ADD COLUMN rowid INTEGER"},
        {"a column of the raw events renamed", "ALTER TABLE raw_events RENAME COLUMN name TO event_name"},
        {"the daily counts made again without row IDs", madeAgain("daily_counts", "", " WITHOUT ROWID")},
        {"the user properties made again with other columns",
         "CREATE TABLE again (property TEXT NOT NULL PRIMARY KEY, origin TEXT NOT NULL, set_timestamp REAL NOT NULL, "
         "value NOT NULL, source TEXT); INSERT INTO again (rowid, property, origin, set_timestamp, value, source) "
         "SELECT rowid, name, origin, set_timestamp, value, 'elsewhere' FROM user_attributes; DROP TABLE "
         "user_attributes; ALTER TABLE again RENAME TO user_attributes"},
        {"the raw events made again with a check that refuses every row",
         "PRAGMA ignore_check_constraints = ON; " + madeAgain("raw_events", ", CHECK (0)")},
        {"the raw events made again with a column NOT NULL without a default",
         madeAgain("raw_events", ", extra TEXT NOT NULL", "", "'x'")},
        {"one letter of the raw events' declaration, with one bit of the schema version",
         "PRAGMA writable_schema = ON; UPDATE sqlite_master SET sql = replace(sql, '\"name\"', '\"nbme\"') WHERE name = "
         "'raw_events'",
         true},
        {"a generated column added to the raw events", "ALTER TABLE raw_events ADD COLUMN g AS (length(name) * 2) VIRTUAL"},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        DatabaseFixture fx;
        const double now = fx.time.now();
        storeRowsOfEveryKind(fx, kStored, kStoredBundles);
        const auto before = engineRows(fx.path());
        REQUIRE(before.at("events_snapshot").size() == 2);
        testsupport::runSQL(fx.path(), entry.change);
        if (entry.versionBit) flipSchemaVersionBit(fx.path());

        fx.reopen();
        CHECK(fx.capture.count(kAPMSqliteStoreSetAsideCode) + fx.capture.count(kAPMSqliteStoreDamagedFileCode) == 1);
        CHECK(fs::exists(fx.path().string() + ".corrupt"));
        for (const auto& table : kEngineTables) {
            CAPTURE(table);
            CHECK(engineRowsOf(fx.path(), table) == before.at(table));
        }
        fx.onWorker([&] { CHECK(fx.database().insertRawEvent(numbered(kStored, now), 1, nullptr)); });
        CHECK(engineRowsOf(fx.path(), "raw_events").size() == before.at("raw_events").size() + 1);
    }
}

TEST_CASE("a cell pointer of the raw events' last leaf near the page's end: the carry keeps every row the dump lists, "
          "every stored row but the one the pointer led to") {
    constexpr std::size_t kPageSize = 4096;
    constexpr std::uint32_t kFirstPointer = kPageSize - 8;
    APMMonitorCapture capture;
    testsupport::TempDir folder;
    makeSweepFiles(folder.path());
    const fs::path source = folder / "checkpointed.sql";
    REQUIRE(Connection(source).integer("PRAGMA page_size") == static_cast<std::int64_t>(kPageSize));
    const auto lastLeaf = static_cast<std::size_t>(pagesOf(source, "raw_events", "leaf").back());
    const std::string page = fileBytes(source).substr((lastLeaf - 1) * kPageSize, kPageSize);
    const std::uint32_t cells = bigEndian(page, 3, 2);
    const auto stored = rowsOf(source, "raw_events");
    for (const std::uint32_t cell : {0u, cells / 2, cells - 1}) {
        std::size_t at = bigEndian(page, 8 + 2 * cell, 2);
        varint(page, &at);  // the payload's size
        const std::int64_t pointedAt = varint(page, &at);
        for (std::uint32_t pointer = kFirstPointer; pointer < kPageSize; ++pointer) {
            CAPTURE(cell);
            CAPTURE(pointer);
            testsupport::TempDir dir;
            const fs::path path = dir / "measurement.sql";
            fs::copy_file(source, path);
            overwrite(path, (lastLeaf - 1) * kPageSize + 8 + 2 * cell,
                      {static_cast<char>(pointer >> 8), static_cast<char>(pointer & 0xff)});
            std::set<std::int64_t> dumped;
            {
                auto store =
                    APMSqliteStore::makeReadOnlyWithDatabasePath(path.string(), nullptr, APMDatabase::declaredTables());
                REQUIRE(store);
                REQUIRE(store->readableRowsOfTable(
                    "raw_events", [&](APMRow row) { CHECK(dumped.insert(row.at("rowid").intValue()).second); }, nullptr));
            }
            testsupport::writeText(path.string() + kAPMSqliteStoreDamageMarkSuffix, "");
            REQUIRE(APMSqliteStore::makeWithDatabasePath(path.string(), nullptr, APMDatabase::declaredSchema()));
            auto expected = stored;
            expected.erase(pointedAt);
            const auto carried = rowsOf(path, "raw_events");
            CHECK(carried == expected);
            std::set<std::int64_t> carriedIDs;
            for (const auto& row : carried) carriedIDs.insert(row.first);
            CHECK(carriedIDs == dumped);
        }
    }
}

namespace {

// The log's index ("-shm"): its first block's hash table, after the page
// numbers of its frames, up to the block's end.
constexpr std::size_t kIndexHashAt = 16384;
constexpr std::size_t kIndexHashBytes = 16384;
// The log: a header, then frames of a header and a page image each.
constexpr std::size_t kLogHeaderBytes = 32;
constexpr std::size_t kFrameHeaderBytes = 24;

// Where in the log the latest image of the page lies.
std::size_t latestImageOf(const fs::path& log, std::uint32_t page, std::size_t pageSize) {
    const std::string bytes = fileBytes(log);
    std::optional<std::size_t> latest;
    for (std::size_t frame = kLogHeaderBytes; frame + kFrameHeaderBytes + pageSize <= bytes.size();
         frame += kFrameHeaderBytes + pageSize) {
        if (bigEndian(bytes, frame, 4) == page) latest = frame + kFrameHeaderBytes;
    }
    REQUIRE(latest);
    return *latest;
}

}  // namespace

TEST_CASE("garbage in the log's index, or in a committed frame of the log, while another connection holds the file: "
          "every row a fresh read of a copy of the files gives is kept") {
    constexpr int kCommits = 40;
    for (const bool index : {true, false}) {
        CAPTURE(index);
        DatabaseFixture fx;
        const double now = fx.time.now();
        storeRowsOfEveryKind(fx, kStored, kStoredBundles);
        // The newest commits only in the log, which the engine keeps.
        fx.reopen();
        fx.onWorker([&] {
            for (int i = 0; i < kCommits; ++i) REQUIRE(fx.database().insertRawEvent(numbered(kStored + i, now), 1, nullptr));
        });
        fx.close();
        const std::string path = fx.path().string();
        // Another connection holds the file: its index is not made again.
        Connection other(fx.path());
        const auto pageSize = static_cast<std::size_t>(other.integer("PRAGMA page_size"));
        const auto lastLeaf = static_cast<std::uint32_t>(other.integer(
            "SELECT pageno FROM dbstat WHERE name = 'raw_events' AND pagetype = 'leaf' ORDER BY path DESC LIMIT 1"));
        if (index) {
            overwrite(path + "-shm", kIndexHashAt, seededBytes(3, kIndexHashBytes));
        } else {
            overwrite(path + "-wal", latestImageOf(path + "-wal", lastLeaf, pageSize), seededBytes(4, pageSize));
        }
        testsupport::TempDir copy;
        fs::copy_file(path, copy / "copy.sql");
        fs::copy_file(path + "-wal", copy / "copy.sql-wal");
        const auto fresh = engineRows(copy / "copy.sql");
        REQUIRE(fresh.at("raw_events").size() >= static_cast<std::size_t>(kStored));

        fx.reopen();
        fx.onWorker([&] { CHECK(fx.database().insertRawEvent(numbered(kStored + kCommits, now), 1, nullptr)); });
        fx.close();
        CHECK(fs::exists(path + ".corrupt"));
        for (const auto& table : kEngineTables) {
            CAPTURE(table);
            const auto kept = engineRowsOf(fx.path(), table);
            std::vector<std::int64_t> lost;
            for (const auto& [rowID, row] : fresh.at(table)) {
                if (!kept.count(rowID) || kept.at(rowID) != row) lost.push_back(rowID);
            }
            CHECK(lost.empty());
        }
    }
}

namespace {

// The rows of every table of a file.
std::int64_t rowsInFile(const fs::path& path) {
    Connection connection(path);
    std::int64_t rows = 0;
    for (const auto& entry : tableRows(path, "sqlite_master")) {
        if (entry.at("type").stringValue() != "table") continue;
        rows += connection.integer("SELECT count(*) FROM \"" + entry.at("name").stringValue() + "\"");
    }
    return rows;
}

}  // namespace

TEST_CASE("the carry of a file of another layout: a newer layout's columns go along, a declared column the file "
          "lacks takes its default, and rows the new file refuses are counted apart") {
    struct Case {
        std::string what;
        std::string change;
        // Of the new file, beside the rows read before.
        std::string check;
        std::int64_t refused = 0;
    };
    const std::vector<Case> cases = {
        {"a column a newer layout adds after the declared ones",
         "ALTER TABLE raw_events ADD COLUMN later TEXT; UPDATE raw_events SET later = 'later ' || rowid",
         "SELECT count(*) = " + std::to_string(kStored) + " FROM raw_events WHERE later = 'later ' || rowid"},
        {"the raw events without the realtime flag",
         "UPDATE raw_events SET clock = 7; CREATE TABLE again (metadata_fingerprint INTEGER NOT NULL, name TEXT NOT "
         "NULL, timestamp REAL NOT NULL, data BLOB NOT NULL, clock INTEGER); INSERT INTO again (rowid, "
         "metadata_fingerprint, name, timestamp, data, clock) SELECT rowid, metadata_fingerprint, name, timestamp, "
         "data, clock FROM raw_events; DROP TABLE raw_events; ALTER TABLE again RENAME TO raw_events",
         "SELECT count(*) = " + std::to_string(kStored) + " FROM raw_events WHERE is_realtime = 0 AND clock = 7"},
        {"two user properties under one name",
         "CREATE TABLE again (name TEXT NOT NULL, origin TEXT NOT NULL, set_timestamp REAL NOT NULL, value NOT NULL); "
         "INSERT INTO again (rowid, name, origin, set_timestamp, value) SELECT rowid, name, origin, set_timestamp, "
         "value FROM user_attributes; INSERT INTO again (rowid, name, origin, set_timestamp, value) SELECT rowid + 1, "
         "name, origin, set_timestamp, 'other' FROM user_attributes; DROP TABLE user_attributes; ALTER TABLE again "
         "RENAME TO user_attributes",
         "SELECT count(*) = 1 FROM user_attributes WHERE value = 'yes'", 1},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        DatabaseFixture fx;
        storeRowsOfEveryKind(fx, kStored, kStoredBundles);
        auto before = engineRows(fx.path());
        before.erase("raw_events");
        testsupport::runSQL(fx.path(), entry.change + "; " + testsupport::kTriggerRenamingNewEvent);
        fx.reopen();
        const auto said = fx.capture.entriesWithCode(kAPMSqliteStoreCarriedRowsCode);
        REQUIRE(said.size() == 1);
        CHECK(said[0].contexts.at(0).intValue() == rowsInFile(fx.path()));
        const std::string refused = std::to_string(entry.refused) + " rows that read but that the tables' constraints refused";
        CHECK((said[0].contexts.at(1).stringValue().find(refused) != std::string::npos) == (entry.refused > 0));
        CHECK(Connection(fx.path()).integer(entry.check) == 1);
        for (const auto& tableRows : before) {
            const std::string& table = tableRows.first;
            CAPTURE(table);
            if (table != "user_attributes") CHECK(engineRowsOf(fx.path(), table) == tableRows.second);
        }
    }
}

TEST_CASE("another program's own table with a column named rowid: the check before the first write takes the file "
          "for whole, and the next event is stored in it") {
    DatabaseFixture fx;
    const double now = fx.time.now();
    storeRowsOfEveryKind(fx, kStored, kStoredBundles);
    testsupport::runSQL(fx.path(), "CREATE TABLE other_program (rowid INTEGER, x TEXT); INSERT INTO other_program "
                                   "VALUES (5, 'a'), (9, 'b')");
    fx.reopen();
    fx.onWorker([&] { CHECK(fx.database().insertRawEvent(numbered(kStored, now), 1, nullptr)); });
    CHECK_FALSE(fx.capture.hasCode(kAPMSqliteStoreDamageFoundCode));
    CHECK_FALSE(fs::exists(fx.path().string() + ".corrupt"));
    CHECK(rowsOf(fx.path(), "raw_events").size() == static_cast<std::size_t>(kStored) + 1);
    CHECK(rowsOf(fx.path(), "other_program").size() == 2);
}
