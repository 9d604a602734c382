// Tests that a database file found damaged is set aside, never deleted, and
// that every row it still gives is carried into the new file.
#include <doctest/doctest.h>

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "measurement/store/database_test_support.h"

using namespace measurement;
using namespace measurement::testing;

namespace fs = std::filesystem;

namespace {

constexpr const char* kAppID = "velmora-damage-test";
constexpr int kEvents = 3001;
constexpr int kBundles = 400;
constexpr std::size_t kDamagedBytes = 600;

std::string fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t bigEndian(const std::string& bytes, std::size_t at, int width) {
    std::uint32_t value = 0;
    for (int i = 0; i < width; ++i) value = (value << 8) | static_cast<unsigned char>(bytes.at(at + i));
    return value;
}

std::int64_t varint(const std::string& bytes, std::size_t* at) {
    std::uint64_t value = 0;
    for (int i = 0; i < 9; ++i) {
        const auto byte = static_cast<unsigned char>(bytes.at((*at)++));
        if (i == 8) return static_cast<std::int64_t>((value << 8) | byte);
        value = (value << 7) | (byte & 0x7f);
        if ((byte & 0x80) == 0) break;
    }
    return static_cast<std::int64_t>(value);
}

// A connection of the test's own, which checks and changes nothing.
struct Connection {
    explicit Connection(const fs::path& path) {
        REQUIRE(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK);
    }
    ~Connection() { sqlite3_close(db); }
    std::int64_t integer(const std::string& sql, const std::string& text = "") {
        sqlite3_stmt* statement = nullptr;
        REQUIRE(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK);
        if (!text.empty()) sqlite3_bind_text(statement, 1, text.c_str(), -1, SQLITE_TRANSIENT);
        REQUIRE(sqlite3_step(statement) == SQLITE_ROW);
        const auto value = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
        return value;
    }
    sqlite3* db = nullptr;
};

// Every row of a table by row ID, each column as its type and bytes.
std::map<std::int64_t, std::string> rowsOf(const fs::path& path, const std::string& table) {
    Connection connection(path);
    sqlite3_stmt* statement = nullptr;
    REQUIRE(sqlite3_prepare_v2(connection.db, ("SELECT rowid, * FROM " + table).c_str(), -1, &statement, nullptr) ==
            SQLITE_OK);
    std::map<std::int64_t, std::string> rows;
    int rc = SQLITE_OK;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        std::string row;
        for (int column = 1; column < sqlite3_column_count(statement); ++column) {
            const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, column));
            row += std::to_string(sqlite3_column_type(statement, column)) + ":" +
                   std::string(bytes ? bytes : "", static_cast<std::size_t>(sqlite3_column_bytes(statement, column))) +
                   "\x1f";
        }
        rows.emplace(sqlite3_column_int64(statement, 0), std::move(row));
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
        fx.onWorker([&] {
            auto& db = fx.database();
            REQUIRE(db.insertRawEventMetadata(makeBundle(kAppID, 1), 1, nullptr));
            REQUIRE(db.performTransaction([&] {
                for (int i = 0; i < kEvents; ++i) {
                    if (!db.insertRawEvent(numbered(i, now), 1, nullptr)) return false;
                }
                for (int i = 0; i < kBundles; ++i) {
                    const auto end = static_cast<std::int64_t>((now - 50) * 1000) + i;
                    if (!db.insertBundle(makeBundle(kAppID, end), false, nullptr)) return false;
                }
                return true;
            }));
            REQUIRE(db.recordAppInstanceIDUnlessRecorded("kept-instance", nullptr) == "kept-instance");
            bool recorded = false;
            REQUIRE(db.recordFirstOpenUnlessRecorded(1700000000000, &recorded, nullptr));
            REQUIRE(db.updateUserAttribute(APMUserAttribute("app", "kept_property", APMValue(std::string("yes")), 1),
                                           nullptr));
        });
        fx.close();
        // The log copied into the file, so that the damage lies where every
        // reader reads.
        {
            Connection connection(fx.path());
            REQUIRE(sqlite3_exec(connection.db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr) ==
                    SQLITE_OK);
        }
        const std::string other = std::string(entry.table) == "queue" ? "raw_events" : "queue";
        std::map<std::string, std::map<std::int64_t, std::string>> before;
        for (const auto& table : {std::string(entry.table), other, std::string("raw_events_metadata"),
                                  std::string("app_metadata"), std::string("user_attributes")}) {
            before[table] = rowsOf(fx.path(), table);
        }
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
