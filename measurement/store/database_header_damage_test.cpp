// Tests that a file whose header says otherwise than it holds, or that was cut short, keeps at least every row a
// fresh read of a copy by SQLite gives, in the carry and in the dump.
#include <doctest/doctest.h>

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "measurement/store/database_test_support.h"
#include "testsupport/file_text.h"
#include "testsupport/sqlite_file.h"

using namespace measurement;
using namespace measurement::testing;

namespace fs = std::filesystem;

namespace {

constexpr const char* kAppID = "velmora-header-test";
constexpr int kEvents = 3001;
constexpr int kBundles = 40;
constexpr std::size_t kPageSize = 4096;
constexpr std::size_t kPageCountAt = 28;
constexpr const char* kTables[] = {"raw_events", "queue"};

using RowIDs = std::map<std::string, std::set<std::int64_t>>;

// What SQLite's own reader gives of each table, read as far as it reads,
// from a copy: as the lenient reader the engine itself falls back on reads,
// the schema not trusted to be whole (which has SQLite read the pages the
// file holds where its header counts more).
RowIDs sqliteReads(const fs::path& path) {
    testsupport::TempDir copy;
    fs::copy_file(path, copy / "copy.sql");
    RowIDs read;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2((copy / "copy.sql").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 0, nullptr);
        sqlite3_exec(db, "PRAGMA writable_schema = ON", nullptr, nullptr, nullptr);
        for (const char* table : kTables) {
            sqlite3_stmt* statement = nullptr;
            const std::string sql = std::string("SELECT rowid, * FROM ") + table;
            if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) continue;
            while (sqlite3_step(statement) == SQLITE_ROW) read[table].insert(sqlite3_column_int64(statement, 0));
            sqlite3_finalize(statement);
        }
    }
    sqlite3_close(db);
    return read;
}

// The dump's reader on the file as it lies: each table's row IDs, and the
// stretches of damage it names.
struct Dumped {
    RowIDs rows;
    std::vector<APMUnreadableStretch> damage;
};
Dumped dumped(const fs::path& path) {
    Dumped read;
    auto store = APMSqliteStore::makeReadOnlyWithDatabasePath(path.string(), nullptr, APMDatabase::declaredTables());
    if (!store) return read;
    for (const char* table : kTables) {
        auto& rows = read.rows[table];
        const auto skipped =
            store->readableRowsOfTable(table, [&](APMRow row) { rows.insert(row.at("rowid").intValue()); }, nullptr);
        if (skipped) read.damage.insert(read.damage.end(), skipped->begin(), skipped->end());
    }
    return read;
}

// The carry: an open that checks the whole file, as one after damage was
// met does; then what the file in use holds.
RowIDs keptByTheCarry(const fs::path& path, APMMonitorCapture& capture, std::string* said) {
    testsupport::writeText(path.string() + kAPMSqliteStoreDamageMarkSuffix, "");
    capture.clear();
    APMSqliteStore::makeWithDatabasePath(path.string(), nullptr, APMDatabase::declaredSchema());
    const auto carried = capture.entriesWithCode(kAPMSqliteStoreCarriedRowsCode);
    if (!carried.empty()) *said = carried.front().contexts.at(1).stringValue();
    return sqliteReads(path);
}

// The row IDs of each table's leaves, by the page that holds them, read from
// the file's bytes as SQLite lays them out.
struct Leaf {
    std::string table;
    std::set<std::int64_t> rowIDs;
};
std::map<std::uint32_t, Leaf> leavesOf(const fs::path& path) {
    const std::string file = testsupport::readText(path.string());
    auto number = [&](std::size_t at, int width) {
        std::uint32_t value = 0;
        for (int i = 0; i < width; ++i) value = (value << 8) | static_cast<unsigned char>(file.at(at + i));
        return value;
    };
    auto varint = [&](std::size_t* at) {
        std::uint64_t value = 0;
        for (int i = 0; i < 9; ++i) {
            const auto byte = static_cast<unsigned char>(file.at((*at)++));
            if (i == 8) return static_cast<std::int64_t>((value << 8) | byte);
            value = (value << 7) | (byte & 0x7f);
            if ((byte & 0x80) == 0) break;
        }
        return static_cast<std::int64_t>(value);
    };
    std::map<std::uint32_t, Leaf> leaves;
    std::function<void(const std::string&, std::uint32_t)> walk = [&](const std::string& table, std::uint32_t page) {
        const std::size_t start = (page - 1) * kPageSize;
        const bool leaf = static_cast<unsigned char>(file.at(start)) == 0x0d;
        const auto cells = number(start + 3, 2);
        for (std::uint32_t cell = 0; cell < cells; ++cell) {
            std::size_t at = start + number(start + (leaf ? 8 : 12) + 2 * cell, 2);
            if (!leaf) {
                walk(table, number(at, 4));
                continue;
            }
            varint(&at);
            leaves[page].table = table;
            leaves[page].rowIDs.insert(varint(&at));
        }
        if (!leaf) walk(table, number(start + 8, 4));
    };
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
    for (const char* table : kTables) {
        sqlite3_stmt* statement = nullptr;
        REQUIRE(sqlite3_prepare_v2(db, "SELECT rootpage FROM sqlite_master WHERE name = ?", -1, &statement, nullptr) ==
                SQLITE_OK);
        sqlite3_bind_text(statement, 1, table, -1, SQLITE_STATIC);
        REQUIRE(sqlite3_step(statement) == SQLITE_ROW);
        const auto root = static_cast<std::uint32_t>(sqlite3_column_int64(statement, 0));
        sqlite3_finalize(statement);
        walk(table, root);
    }
    sqlite3_close(db);
    return leaves;
}

std::string word(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
            static_cast<char>(value)};
}

}  // namespace

TEST_CASE("a header byte changed, a page count past the file, or a file cut short: the carry and the dump keep every "
          "row a fresh read of a copy gives, and every row of the pages the file still holds") {
    APMMonitorCapture capture;
    testsupport::TempDir folder;
    const fs::path base = folder / "base.sql";
    {
        DatabaseFixture fx;
        const double now = fx.time.now();
        fx.onWorker([&] {
            auto& db = fx.database();
            REQUIRE(db.insertRawEventMetadata(makeBundle(kAppID, 1), 1, nullptr));
            REQUIRE(db.performTransaction([&] {
                for (int i = 0; i < kEvents; ++i) {
                    const APMEvent event("app", true, "event_" + std::to_string(i), now - 100 + i * 0.001, 0,
                                         APMParameters{{"index", APMValue(static_cast<std::int64_t>(i))}});
                    if (!db.insertRawEvent(event, 1, nullptr)) return false;
                }
                for (int i = 0; i < kBundles; ++i) {
                    if (!db.insertBundle(makeBundle(kAppID, 1000 + i), false, nullptr)) return false;
                }
                return true;
            }));
        });
        fx.close();
        // Its log copied into it: the header read is the file's own.
        testsupport::runSQL(fx.path(), "PRAGMA wal_checkpoint(TRUNCATE)");
        fs::copy_file(fx.path(), base);
    }
    const std::string bytes = testsupport::readText(base.string());
    REQUIRE(bytes.size() % kPageSize == 0);
    const auto pages = static_cast<std::uint32_t>(bytes.size() / kPageSize);
    const auto leaves = leavesOf(base);

    struct Case {
        std::string what;
        std::string bytes;
        // The pages the file still holds, where it was cut short, and
        // whether the damage must be named.
        std::uint32_t held = 0;
        bool named = false;
    };
    std::vector<Case> cases;
    auto changed = [&](std::size_t at, const std::string& to) {
        std::string copy = bytes;
        copy.replace(at, to.size(), to);
        return copy;
    };
    // Every byte SQLite's reader goes on past, and the ones it refuses, at
    // a few values each (the reserved bytes per page at 32 besides).
    for (std::size_t at = 16; at < 100; ++at) {
        for (const int value : {0x00, 0x01, 0x20, 0xff}) {
            if (value == 0x20 && at != 20) continue;
            if (static_cast<unsigned char>(bytes[at]) == value) continue;
            cases.push_back({"byte " + std::to_string(at) + " made " + std::to_string(value),
                             changed(at, std::string(1, static_cast<char>(value)))});
        }
    }
    for (const std::uint32_t counted : {pages + 1, pages + 1000, 0xffffffffu}) {
        cases.push_back({"a page count of " + std::to_string(counted), changed(kPageCountAt, word(counted)), 0, true});
    }
    for (std::uint32_t cut = 1; cut <= 3; ++cut) {
        cases.push_back({"the last " + std::to_string(cut) + " pages cut", bytes.substr(0, (pages - cut) * kPageSize),
                         pages - cut, true});
    }

    std::size_t sqliteTotal = 0, keptTotal = 0, dumpedTotal = 0;
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        testsupport::TempDir dir;
        const fs::path path = dir / "measurement.sql";
        testsupport::writeText(path.string(), entry.bytes);
        const RowIDs read = sqliteReads(path);
        const Dumped dump = dumped(path);
        std::string said;
        const RowIDs kept = keptByTheCarry(path, capture, &said);
        RowIDs expected = read;
        // A file cut short: the rows of every leaf it still holds.
        for (const auto& [page, leaf] : leaves) {
            if (page <= entry.held) expected[leaf.table].insert(leaf.rowIDs.begin(), leaf.rowIDs.end());
        }
        for (const char* table : kTables) {
            CAPTURE(table);
            const auto& want = expected[table];
            const auto& gotKept = kept.count(table) ? kept.at(table) : std::set<std::int64_t>{};
            const auto& gotDumped = dump.rows.count(table) ? dump.rows.at(table) : std::set<std::int64_t>{};
            CHECK(std::includes(gotKept.begin(), gotKept.end(), want.begin(), want.end()));
            CHECK(std::includes(gotDumped.begin(), gotDumped.end(), want.begin(), want.end()));
            sqliteTotal += read.count(table) ? read.at(table).size() : 0;
            keptTotal += gotKept.size();
            dumpedTotal += gotDumped.size();
        }
        if (entry.named) {
            CHECK(std::any_of(dump.damage.begin(), dump.damage.end(), [](const APMUnreadableStretch& stretch) {
                return stretch.table == kAPMSqliteStoreSchemaTable && stretch.error.find("header") != std::string::npos;
            }));
            CHECK(said.find("header") != std::string::npos);
        }
    }
    // The figures, beside the run.
    MESSAGE("header sweep: " << cases.size() << " files, rows SQLite reads " << sqliteTotal << ", kept " << keptTotal
                             << ", dumped " << dumpedTotal);
}
