// Tests of the SQLite store.
#include <doctest/doctest.h>

#include <sqlite3.h>
#include <sys/xattr.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "measurement/foundation/monitor.h"
#include "measurement/store/files.h"
#include "measurement/store/sqlite_store.h"
#include "platform/dispatch/timer.h"
#include "platform/foundation/process_info.h"
#include "testsupport/file_text.h"
#include "testsupport/sqlite_file.h"
#include "testsupport/temp_dir.h"
#include "testsupport/test_hooks.h"

using namespace measurement;
using platform::Value;

namespace {

// A table of (name TEXT PRIMARY KEY, amount INTEGER), which a carry takes.
const APMColumnInfo kItemColumns = {{"name", "TEXT NOT NULL PRIMARY KEY"}, {"amount", "INTEGER"}};
const APMDeclaredSchema kItems = {{{"items", kItemColumns}}, {}};

std::unique_ptr<APMSqliteStore> openStore(const std::filesystem::path& path, const APMDeclaredSchema& declared = kItems) {
    std::optional<APMError> error;
    auto store = APMSqliteStore::makeWithDatabasePath(path.string(), &error, declared);
    REQUIRE_MESSAGE(store, (error ? error->description() : std::string("no error")));
    return store;
}

void makeItems(APMSqliteStore& store) { REQUIRE(store.ensureTableWithName("items", kItemColumns, {}, {}, nullptr)); }

std::int64_t itemCount(APMSqliteStore& store) {
    auto rows = store.recordsForQuery("SELECT COUNT(*) AS n FROM items", {}, nullptr);
    REQUIRE(rows);
    return rows->front().at("n").intValue();
}

void writeGarbage(const std::filesystem::path& path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (int i = 0; i < 4096; ++i) out.put(static_cast<char>((i * 37 + 11) % 251));
}

}  // namespace

TEST_CASE("the store opens, creates and reopens its file") {
    testsupport::TempDir dir;
    APMMonitorCapture capture;

    SUBCASE("an empty path is refused") {
        std::optional<APMError> error;
        CHECK_FALSE(APMSqliteStore::makeWithDatabasePath("", &error));
        REQUIRE(error);
        CHECK(error->code() == 1);
        CHECK(error->localizedDescription() == "Received empty database path on init");
    }
    SUBCASE("a missing folder is an open failure that deletes nothing") {
        std::optional<APMError> error;
        CHECK_FALSE(APMSqliteStore::makeWithDatabasePath((dir / "missing" / "db.sql").string(), &error));
        REQUIRE(error);
        CHECK(error->code() == kAPMSqliteStoreOpenCode);
        CHECK(capture.hasCode(kAPMSqliteStoreOpenFailedCode));
    }
    SUBCASE("the file is marked to be left out of backups where the file system allows it") {
        const auto path = dir / "db.sql";
        auto store = openStore(path);
        char value[16] = {};
        const auto size = ::getxattr(path.c_str(), "user.xdg.robots.backup", value, sizeof value - 1);
        if (size >= 0) {
            CHECK(std::string(value, static_cast<std::size_t>(size)) == "false");
            CHECK_FALSE(capture.hasCode(kAPMSqliteStoreBackupExclusionCode));
        } else {
            CHECK(capture.hasCode(kAPMSqliteStoreBackupExclusionCode));
        }
    }
    SUBCASE("rows survive closing and opening again") {
        const auto path = dir / "db.sql";
        {
            auto store = openStore(path);
            CHECK(store->databasePath() == path.string());
            CHECK(std::filesystem::exists(path));
            makeItems(*store);
            CHECK(store->upsertRecord({{"name", "a"}, {"amount", 3}}, "items", nullptr));
        }
        auto store = openStore(path);
        auto rows = store->recordsForQuery("SELECT amount FROM items WHERE name = ?", {"a"}, nullptr);
        REQUIRE(rows);
        REQUIRE(rows->size() == 1);
        CHECK(rows->front().at("amount") == Value(3));
        CHECK_FALSE(capture.hasCode(kAPMSqliteStoreDamagedFileCode));
    }
    SUBCASE("a file of garbage is set aside and made again") {
        const auto path = dir / "db.sql";
        writeGarbage(path);
        const auto garbage = testsupport::readText(path);
        auto store = openStore(path);
        CHECK(capture.count(kAPMSqliteStoreDamagedFileCode) == 1);
        CHECK(testsupport::readText(path.string() + ".corrupt") == garbage);
        makeItems(*store);
        CHECK(store->upsertRecord({{"name", "b"}, {"amount", 1}}, "items", nullptr));
        CHECK(itemCount(*store) == 1);
    }
    SUBCASE("a damaged page inside a valid file is found by the integrity check") {
        const auto path = dir / "db.sql";
        {
            auto store = openStore(path);
            makeItems(*store);
            REQUIRE(store->executeStatement("CREATE TABLE notes (text)", {}, nullptr));
            REQUIRE(store->executeStatement("INSERT INTO notes VALUES ('not the owner''s')", {}, nullptr));
            REQUIRE(store->performTransactionWithError(nullptr, [&] {
                for (int i = 0; i < 400; ++i) {
                    if (!store->upsertRecord({{"name", "item" + std::to_string(i)}, {"amount", i}}, "items", nullptr)) {
                        return false;
                    }
                }
                return true;
            }));
        }
        // Overwrite everything after the first page: the header still says
        // "SQLite format 3", the tables are garbage.
        const auto size = std::filesystem::file_size(path);
        REQUIRE(size > 8192);
        {
            std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
            file.seekp(4096);
            for (std::uintmax_t i = 4096; i < size; ++i) file.put(static_cast<char>(0xA5));
        }
        auto store = openStore(path);
        CHECK(capture.count(kAPMSqliteStoreDamagedFileCode) == 1);
        CHECK(std::filesystem::file_size(path.string() + ".corrupt") == size);
        // The schema still reads: the table is there, none of its rows.
        CHECK(store->tableExists("items", nullptr));
        CHECK(itemCount(*store) == 0);
        // A table its owner does not declare is not carried, and said so.
        CHECK_FALSE(store->tableExists("notes", nullptr));
        const auto carried = capture.entriesWithCode(kAPMSqliteStoreCarriedRowsCode);
        REQUIRE(carried.size() == 1);
        CHECK(carried[0].contexts.at(1).stringValue().find("notes from the first row to the last: a table its owner "
                                                           "does not keep: not carried") != std::string::npos);
    }
}

TEST_CASE("tables are made, checked and extended") {
    testsupport::TempDir dir;
    APMMonitorCapture capture;
    auto store = openStore(dir / "db.sql");
    makeItems(*store);
    REQUIRE(store->upsertRecord({{"name", "kept"}, {"amount", 7}}, "items", nullptr));

    auto columnType = [&](const std::string& column) {
        auto rows = store->recordsForQuery("SELECT type FROM pragma_table_info('items') WHERE name = ?", {column},
                                           nullptr);
        REQUIRE(rows);
        return rows->empty() ? std::string("<none>") : rows->front().at("type").asString();
    };

    SUBCASE("ensuring the same layout again changes nothing") {
        CHECK(store->ensureTableWithName("items", {{"name", "TEXT NOT NULL PRIMARY KEY"}, {"amount", "INTEGER"}}, {},
                                         {}, nullptr));
        CHECK(itemCount(*store) == 1);
    }
    SUBCASE("add-on columns are added to an existing table, rows kept") {
        CHECK(store->ensureTableWithName("items", {{"name", "TEXT NOT NULL PRIMARY KEY"}},
                                         {{"note", "TEXT"}, {"flag", "INTEGER NOT NULL DEFAULT 5"}}, {}, nullptr));
        auto rows = store->recordsForQuery("SELECT * FROM items", {}, nullptr);
        REQUIRE(rows);
        REQUIRE(rows->size() == 1);
        // The new nullable column is absent; the defaulted one has its default.
        CHECK(*rows == APMRows{{{"name", "kept"}, {"amount", 7}, {"flag", 5}}});
    }
    SUBCASE("a missing elementary column makes the table unusable") {
        std::optional<APMError> error;
        CHECK_FALSE(store->ensureTableWithName("items", {{"name", "TEXT"}, {"weight", "REAL"}}, {}, {}, &error));
        REQUIRE(error);
        CHECK(error->code() == kAPMSqliteStoreSchemaCode);
    }
    SUBCASE("a modified column type rebuilds the table with its rows") {
        CHECK(columnType("amount") == "INTEGER");
        CHECK(store->ensureTableWithName("items", {{"name", "TEXT NOT NULL PRIMARY KEY"}, {"amount", "INTEGER"}}, {},
                                         {{"amount", "REAL NOT NULL DEFAULT 0"}}, nullptr));
        CHECK(columnType("amount") == "REAL");
        auto rows = store->recordsForQuery("SELECT name, amount FROM items", {}, nullptr);
        REQUIRE(rows);
        // REAL affinity turns the stored 7 into 7.0.
        CHECK(*rows == APMRows{{{"name", "kept"}, {"amount", 7.0}}});
        // The primary key survived the rebuild.
        CHECK(store->upsertRecord({{"name", "kept"}, {"amount", 8.5}}, "items", nullptr));
        CHECK(itemCount(*store) == 1);
    }
    SUBCASE("bad arguments") {
        std::optional<APMError> error;
        CHECK_FALSE(store->ensureTableWithName("", {{"a", "TEXT"}}, {}, {}, &error));
        CHECK(error->code() == 1);
        error.reset();
        CHECK_FALSE(store->ensureTableWithName("t", {}, {}, {}, &error));
        CHECK(error->code() == 1);
    }
    SUBCASE("names are quoted, never spliced") {
        const std::string odd = "odd\"; DROP TABLE items; --";
        CHECK(store->ensureTableWithName(odd, {{"x", "INTEGER"}}, {}, {}, nullptr));
        CHECK(store->upsertRecord({{"x", 1}}, odd, nullptr));
        CHECK(store->tableExists(odd, nullptr));
        CHECK(itemCount(*store) == 1);
    }
}

TEST_CASE("transactions commit, roll back and pass exceptions on") {
    testsupport::TempDir dir;
    APMMonitorCapture capture;
    auto store = openStore(dir / "db.sql");
    makeItems(*store);
    auto insert = [&](const std::string& name) {
        REQUIRE(store->upsertRecord({{"name", name}, {"amount", 1}}, "items", nullptr));
    };
    std::optional<APMError> error;

    SUBCASE("true commits") {
        CHECK(store->performTransactionWithError(&error, [&] {
            insert("a");
            CHECK(store->isInTransaction());
            return true;
        }));
        CHECK_FALSE(error);
        CHECK_FALSE(store->isInTransaction());
        CHECK(itemCount(*store) == 1);
    }
    SUBCASE("false rolls back with code 3") {
        CHECK_FALSE(store->performTransactionWithError(&error, [&] {
            insert("a");
            insert("b");
            return false;
        }));
        REQUIRE(error);
        CHECK(error->code() == 3);
        CHECK(error->localizedDescription() == "Transaction failed");
        CHECK(itemCount(*store) == 0);
    }
    SUBCASE("an exception rolls back and reaches the caller") {
        CHECK_THROWS_AS(store->performTransactionWithError(&error,
                                                           [&]() -> bool {
                                                               insert("a");
                                                               throw std::runtime_error("boom");
                                                           }),
                        std::runtime_error);
        CHECK(itemCount(*store) == 0);
        CHECK_FALSE(store->isInTransaction());
        // The store is usable afterwards.
        CHECK(store->performTransactionWithError(&error, [&] {
            insert("c");
            return true;
        }));
        CHECK(itemCount(*store) == 1);
    }
    SUBCASE("a nested transaction undoes only its own work") {
        CHECK(store->performTransactionWithError(&error, [&] {
            insert("outer");
            std::optional<APMError> innerError;
            CHECK_FALSE(store->performTransactionWithError(&innerError, [&] {
                insert("inner");
                return false;
            }));
            CHECK(innerError->code() == 3);
            CHECK(store->performTransactionWithError(&innerError, [&] {
                insert("inner kept");
                return true;
            }));
            return true;
        }));
        auto rows = store->recordsForQuery("SELECT name FROM items ORDER BY name", {}, nullptr);
        CHECK(*rows == APMRows{{{"name", "inner kept"}}, {{"name", "outer"}}});
    }
    SUBCASE("an outer rollback undoes committed inner work") {
        CHECK_FALSE(store->performTransactionWithError(&error, [&] {
            CHECK(store->performTransactionWithError(nullptr, [&] {
                insert("inner");
                return true;
            }));
            return false;
        }));
        CHECK(itemCount(*store) == 0);
    }
    SUBCASE("no block, no database") {
        CHECK_FALSE(store->performTransactionWithError(&error, nullptr));
        CHECK(error->code() == 1);
        CHECK(error->localizedDescription() == "Received nil transaction block");
        REQUIRE(store->closeAndDeleteDatabase());
        error.reset();
        CHECK_FALSE(store->performTransactionWithError(&error, [] { return true; }));
        CHECK(error->code() == 2);
        CHECK(error->localizedDescription() == "Database not open");
    }
}

TEST_CASE("rows a transaction wrote and then undid, deleted, replaced or widened are not taken for damage at the "
          "commit") {
    testsupport::TempDir dir;
    APMMonitorCapture capture;
    const auto path = dir / "db.sql";
    auto store = openStore(path);
    makeItems(*store);
    auto write = [&](const std::string& statement) {
        return store->executeStatement(statement, {}, nullptr).has_value();
    };
    auto inOwn = [&](const std::function<bool()>& block) { return store->performTransactionWithError(nullptr, block); };
    auto grouped = [&](const std::string& statement, bool kept) {
        return store->performGroupedTransactionWithError(nullptr, [&] { return write(statement) && kept; });
    };
    const std::vector<std::tuple<const char*, std::function<bool()>, const char*>> cases = {
        {"a savepoint rolled back after changing a row the transaction wrote",
         [&] {
             return inOwn([&] {
                 return write("INSERT INTO items VALUES ('a', 1)") &&
                        !inOwn([&] { return write("UPDATE items SET amount = 2") && false; });
             });
         },
         "a1"},
        {"a statement that failed after writing a row of its own",
         [&] {
             return inOwn([&] {
                 return write("INSERT INTO items VALUES ('b', 1)") &&
                        !write("INSERT INTO items SELECT 'c', 1 UNION ALL SELECT 'b', 2");
             });
         },
         "b1"},
        {"a row deleted, another replaced under a new row ID",
         [&] {
             return inOwn([&] {
                 return write("INSERT INTO items VALUES ('d', 1), ('e', 1)") &&
                        write("DELETE FROM items WHERE name = 'd'") &&
                        store->upsertRecord({{"name", "e"}, {"amount", 3}}, "items", nullptr);
             });
         },
         "e3"},
        {"a column added after the write",
         [&] {
             return write("CREATE TABLE notes (n)") && inOwn([&] {
                        return write("INSERT INTO notes VALUES (1)") &&
                               write("ALTER TABLE notes ADD COLUMN note TEXT DEFAULT 'x'");
                    });
         },
         nullptr},
        {"a table dropped after its rows were written",
         [&] {
             return inOwn([&] {
                 return write("CREATE TABLE gone (n)") && write("INSERT INTO gone VALUES (1), (2)") &&
                        write("DROP TABLE gone");
             });
         },
         nullptr},
        {"texts and blobs of lengths that are no multiple of eight, NULs among the bytes",
         [&] {
             return write("CREATE TABLE IF NOT EXISTS blobs (b)") && inOwn([&] {
                        return write("INSERT INTO items VALUES ('a name of twenty-one', 1), ('', 2)") &&
                               write("INSERT INTO blobs VALUES (x'00'), (x'0001020304050607ff'), (zeroblob(4099))");
                    });
         },
         "a name of twenty-one1,2"},
        {"a grouped block undone after one kept",
         [&] {
             return store->openWriteGroup(nullptr, nullptr) && grouped("INSERT INTO items VALUES ('g', 1)", true) &&
                    !grouped("UPDATE items SET amount = 5", false) && store->closeWriteGroup();
         },
         "g1"},
    };
    for (const auto& [name, work, items] : cases) {
        const std::string what = name;
        CAPTURE(what);
        REQUIRE(write("DELETE FROM items"));
        CHECK(work());
        const auto rows = store->recordsForQuery("SELECT group_concat(name || amount) AS items FROM items", {}, {});
        CHECK((items ? APMRows{{{"items", items}}} : APMRows{{}}) == *rows);
        CHECK_FALSE(capture.hasCode(kAPMSqliteStoreDamageFoundCode));
        CHECK_FALSE(std::filesystem::exists(path.string() + kAPMSqliteStoreDamageMarkSuffix));
    }
}

TEST_CASE("queries bind values in order and give typed columns") {
    testsupport::TempDir dir;
    APMMonitorCapture capture;
    auto store = openStore(dir / "db.sql");
    REQUIRE(store->ensureTableWithName("mixed", {{"i", "INTEGER"}, {"r", "REAL"}, {"t", "TEXT"}, {"b", "BLOB"}}, {}, {},
                                       nullptr));
    const platform::Data bytes{{0, 1, 2, 255}};
    REQUIRE(store->executeStatement("INSERT INTO mixed (i, r, t, b) VALUES (?, ?, ?, ?)",
                                    {Value(std::int64_t{1} << 40), Value(2.5), Value("text"), Value(bytes)}, nullptr));
    REQUIRE(store->executeStatement("INSERT INTO mixed (i, t) VALUES (?, ?)", {Value(true), Value("")}, nullptr));
    REQUIRE(store->executeStatement("INSERT INTO mixed (b) VALUES (?)", {Value(platform::Data{})}, nullptr));
    std::optional<APMError> error;

    SUBCASE("typed columns, NULL absent, empty blob kept") {
        auto rows = store->recordsForQuery("select i, r, t, b from mixed order by rowid", {}, &error);
        REQUIRE(rows);
        REQUIRE(rows->size() == 3);
        CHECK((*rows)[0] == APMRow{{"i", Value(std::int64_t{1} << 40)}, {"r", 2.5}, {"t", "text"}, {"b", Value(bytes)}});
        CHECK((*rows)[1] == APMRow{{"i", 1}, {"t", ""}});
        CHECK((*rows)[2] == APMRow{{"b", Value(platform::Data{})}});
    }
    SUBCASE("values are bound in order") {
        auto rows = store->recordsForQuery("SELECT t FROM mixed WHERE i = ? AND t = ?", {Value(1), Value("")}, &error);
        REQUIRE(rows);
        CHECK(rows->size() == 1);
        rows = store->recordsForQuery("SELECT t FROM mixed WHERE i = ? AND t = ?", {Value(""), Value(1)}, &error);
        REQUIRE(rows);
        CHECK(rows->empty());
    }
    SUBCASE("only one select that changes nothing") {
        CHECK_FALSE(store->recordsForQuery("DELETE FROM mixed", {}, &error));
        CHECK(error->code() == 1);
        error.reset();
        CHECK_FALSE(store->recordsForQuery("SELECT 1; DELETE FROM mixed", {}, &error));
        CHECK(error->code() == 1);
        auto rows = store->recordsForQuery("  SELECT COUNT(*) AS n FROM mixed;", {}, nullptr);
        CHECK(rows->front().at("n") == Value(3));
    }
    SUBCASE("a wrong number of values or an unsupported value is refused") {
        CHECK_FALSE(store->recordsForQuery("SELECT * FROM mixed WHERE i = ?", {}, &error));
        CHECK(error->code() == 1);
        error.reset();
        CHECK_FALSE(store->recordsForQuery("SELECT * FROM mixed WHERE i = ?", {Value(Value::Array{})}, &error));
        CHECK(error->code() == 1);
    }
    SUBCASE("a bad statement reports code 6") {
        CHECK_FALSE(store->recordsForQuery("SELECT nothing FROM nowhere", {}, &error));
        CHECK(error->code() == kAPMSqliteStoreStatementCode);
        CHECK(capture.hasCode(kAPMSqliteStorePrepareFailedCode));
    }
}

TEST_CASE("upserts and both delete forms") {
    testsupport::TempDir dir;
    APMMonitorCapture capture;
    auto store = openStore(dir / "db.sql");
    makeItems(*store);
    std::optional<APMError> error;
    for (int i = 0; i < 5; ++i) {
        REQUIRE(store->upsertRecord({{"name", "n" + std::to_string(i)}, {"amount", i}}, "items", nullptr));
    }

    SUBCASE("upsert replaces the row of the same key") {
        CHECK(store->upsertRecord({{"name", "n1"}, {"amount", 100}}, "items", &error));
        CHECK(itemCount(*store) == 5);
        auto rows = store->recordsForQuery("SELECT amount FROM items WHERE name = 'n1'", {}, nullptr);
        CHECK(rows->front().at("amount") == Value(100));
        CHECK_FALSE(store->upsertRecord({}, "items", &error));
        CHECK(error->code() == 1);
    }
    SUBCASE("delete by one column") {
        CHECK(store->deleteRecordFromTableWithName("items", "name", "n3", &error));
        CHECK(itemCount(*store) == 4);
        CHECK(store->deleteRecordFromTableWithName("items", "name", "absent", &error));
        CHECK(itemCount(*store) == 4);
    }
    SUBCASE("delete by condition counts the rows") {
        CHECK(store->deleteRecordsFromTableWithName("items", "amount >= ? AND amount < ?", {1, 4}, &error) == 3);
        CHECK(store->deleteRecordsFromTableWithName("items", "amount > ?", {100}, &error) == 0);
        CHECK(itemCount(*store) == 2);
        CHECK_FALSE(store->deleteRecordsFromTableWithName("items", "", {}, &error));
        CHECK(error->code() == 1);
        REQUIRE(store->closeAndDeleteDatabase());
        error.reset();
        CHECK_FALSE(store->deleteRecordsFromTableWithName("items", "1", {}, &error));
        CHECK(error->code() == 2);
    }
}

TEST_CASE("closing and deleting, and the file helpers") {
    testsupport::TempDir dir;
    APMMonitorCapture capture;
    const auto path = dir / "db.sql";
    auto store = openStore(path);
    makeItems(*store);

    CHECK(store->closeAndDeleteDatabase());
    CHECK_FALSE(std::filesystem::exists(path));
    CHECK_FALSE(store->isOpen());
    // Deleting again finds nothing to delete, which is success.
    CHECK(store->closeAndDeleteDatabase());
    std::optional<APMError> error;
    CHECK_FALSE(store->upsertRecord({{"name", "x"}}, "items", &error));
    CHECK(error->code() == 2);

    error.reset();
    CHECK_FALSE(APMDeleteFileAtPath("", &error));
    CHECK(error->code() == 1);
    CHECK(error->localizedDescription() == "Received empty path for deleting file");
    CHECK(APMDeleteFileAtPath((dir / "absent").string(), nullptr));

    SUBCASE("a file that cannot be deleted is reported with 34019") {
        auto blocked = dir / "blocked.sql";
        std::filesystem::create_directories(blocked / "inside");
        CHECK_FALSE(APMSqliteStore::deleteDatabaseAtPath(blocked.string()));
        CHECK(capture.hasCode(kAPMSqliteStoreDeleteFailedCode));
        CHECK_FALSE(APMDeleteFileAtPath(blocked.string(), nullptr));
    }
    SUBCASE("a file another process has open is kept until it is alone") {
        auto mine = openStore(path);
        auto other = openStore(path);
        makeItems(*other);
        CHECK_FALSE(mine->closeAndDeleteDatabase());
        CHECK(capture.count(kAPMSqliteStoreDeleteFailedCode) == 1);
        CHECK(other->upsertRecord({{"name", "still"}}, "items", nullptr));
        CHECK(itemCount(*other) == 1);
        other.reset();
        CHECK(APMSqliteStore::deleteDatabaseAtPath(path.string()));
        CHECK_FALSE(std::filesystem::exists(path));
    }
    SUBCASE("a file another program put in the store's place is not the store's to delete") {
        auto mine = openStore(path);
        std::filesystem::rename(path, dir / "moved.sql");
        makeItems(*openStore(path));
        CHECK(mine->closeAndDeleteDatabase());
        CHECK(itemCount(*openStore(path)) == 0);
    }
}

TEST_CASE("the engine's folder is under the application-support folder") {
    testsupport::TempDir dir;
    APMMonitorCapture capture;
    platform::ProcessInfo::setApplicationSupportDirectory(dir.path());
    const std::string path = APMApplicationSupportPath("file.sql");
    CHECK(path == (dir.path() / "Rozeda" / "Measurement" / "file.sql").string());
    CHECK(std::filesystem::is_directory(dir.path() / "Rozeda" / "Measurement"));
    CHECK(APMApplicationSupportPath("").empty());
    CHECK_FALSE(capture.hasCode(kAPMApplicationSupportDirectoryNotFoundCode));

    // A file where the folder should be.
    std::ofstream(dir / "blocker") << "x";
    platform::ProcessInfo::setApplicationSupportDirectory(dir / "blocker");
    APMApplicationSupportPath("file.sql");
    CHECK(capture.hasCode(kAPMApplicationSupportDirectoryNotFoundCode));
    platform::ProcessInfo::reset();
}

TEST_CASE("transactions of two threads never interleave") {
    testsupport::TempDir dir;
    APMMonitorCapture capture;
    auto store = openStore(dir / "db.sql");
    REQUIRE(store->ensureTableWithName("counter", {{"id", "INTEGER PRIMARY KEY"}, {"value", "INTEGER"}}, {}, {},
                                       nullptr));
    REQUIRE(store->upsertRecord({{"id", 1}, {"value", 0}}, "counter", nullptr));
    // Each transaction reads, then writes the value plus one: interleaved
    // transactions would lose increments.
    auto work = [&] {
        for (int i = 0; i < 50; ++i) {
            CHECK(store->performTransactionWithError(nullptr, [&] {
                auto rows = store->recordsForQuery("SELECT value FROM counter WHERE id = 1", {}, nullptr);
                const auto value = rows->front().at("value").intValue();
                return store->upsertRecord({{"id", 1}, {"value", value + 1}}, "counter", nullptr);
            }));
        }
    };
    std::thread first(work), second(work);
    first.join();
    second.join();
    auto rows = store->recordsForQuery("SELECT value FROM counter", {}, nullptr);
    CHECK(rows->front().at("value") == Value(100));
}

TEST_CASE("a connection that holds the file is waited for, up to the limit") {
    testsupport::TempDir dir;
    APMMonitorCapture capture;
    platform::dispatch::ManualTime time(false);
    auto store = openStore(dir / "db.sql");
    makeItems(*store);

    // Another process's connection, holding the whole file.
    sqlite3* other = nullptr;
    REQUIRE(sqlite3_open((dir / "db.sql").string().c_str(), &other) == SQLITE_OK);
    REQUIRE(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK);

    std::optional<APMError> error;
    bool written = false;
    std::thread writer([&] {
        written = store->performTransactionWithError(&error, [&] {
            return store->upsertRecord({{"name", "waited"}, {"amount", 1}}, "items", nullptr);
        });
    });
    // The writer has found the file busy and waits.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!capture.hasCode(kAPMSqliteStoreBusyCode) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    REQUIRE(capture.hasCode(kAPMSqliteStoreBusyCode));

    SUBCASE("a long transaction of the other connection delays the write, which then commits") {
        time.clock().advance(kAPMSqliteStoreBusyTimeoutSeconds - 5);
        REQUIRE(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK);
        writer.join();
        CHECK(written);
        CHECK_FALSE(capture.hasCode(kAPMSqliteStoreBusyTimeoutCode));
        CHECK(itemCount(*store) == 1);
    }
    SUBCASE("a file held past the limit fails the transaction, logged") {
        time.clock().advance(kAPMSqliteStoreBusyTimeoutSeconds + 1);
        writer.join();
        REQUIRE(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK);
        CHECK_FALSE(written);
        REQUIRE(error);
        CHECK(error->code() == kAPMSqliteStoreTransactionCode);
        CHECK(capture.hasCode(kAPMSqliteStoreBusyTimeoutCode));
        CHECK(itemCount(*store) == 0);
    }
    sqlite3_close(other);
}

namespace {

// While this lives, every connection opened gets, before the store's own,
// a function of the read-back's name that takes every row for the one
// written, and a statement left running, so that SQLite refuses to replace
// that function.
struct ImpostorReadBack {
    static inline std::vector<sqlite3_stmt*> running;

    ImpostorReadBack() { sqlite3_auto_extension(reinterpret_cast<void (*)()>(&install)); }
    ~ImpostorReadBack() {
        sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(&install));
        for (auto* statement : std::exchange(running, {})) sqlite3_finalize(statement);
    }
    ImpostorReadBack(const ImpostorReadBack&) = delete;
    ImpostorReadBack& operator=(const ImpostorReadBack&) = delete;

    static void alwaysAsWritten(sqlite3_context* context, int, sqlite3_value**) { sqlite3_result_int(context, 1); }
    static int install(sqlite3* db, const char**, const sqlite3_api_routines*) {
        sqlite3_create_function_v2(db, "apm_reads_as_written", -1, SQLITE_UTF8, nullptr, &alwaysAsWritten, nullptr,
                                   nullptr, nullptr);
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT 1 UNION ALL SELECT 2", -1, &statement, nullptr) == SQLITE_OK) {
            sqlite3_step(statement);
            running.push_back(statement);
        }
        // The connection's last result, which its open reports, a success.
        return sqlite3_exec(db, "SELECT 1", nullptr, nullptr, nullptr);
    }
};

}  // namespace

TEST_CASE("a connection whose read-back SQLite does not set up takes no write") {
    testsupport::TempDir dir;
    APMMonitorCapture capture;
    const auto path = dir / "db.sql";
    {
        auto store = openStore(path);
        makeItems(*store);
        REQUIRE(store->upsertRecord({{"name", "kept"}, {"amount", 1}}, "items", nullptr));
    }
    const auto before = testsupport::readText(path);
    {
        const ImpostorReadBack impostor;
        std::optional<APMError> error;
        CHECK_FALSE(APMSqliteStore::makeWithDatabasePath(path.string(), &error));
        REQUIRE(error);
        CHECK(error->code() == kAPMSqliteStoreOpenCode);
        CHECK(error->monitorContext().stringValue().ends_with(
            ": the read-back of written rows could not be set up: unable to delete/modify user-function due to "
            "active statements"));
        CHECK(capture.hasCode(kAPMSqliteStoreOpenFailedCode));
    }
    CHECK(testsupport::readText(path) == before);
    CHECK_FALSE(std::filesystem::exists(path.string() + ".corrupt"));
    CHECK(itemCount(*openStore(path)) == 1);
}

TEST_CASE("a row whose written values SQLite cannot give is not committed, as no read could show it as written") {
    testsupport::TempDir dir;
    APMMonitorCapture capture;
    const auto path = dir / "db.sql";
    auto store = openStore(path);
    makeItems(*store);
    REQUIRE(store->upsertRecord({{"name", "before"}, {"amount", 1}}, "items", nullptr));
    auto written = [&](const char* statement) {
        return store->performTransactionWithError(nullptr, [&] {
            return store->executeStatement(statement, {}, nullptr).has_value() &&
                   store->executeStatement("UPDATE items SET amount = amount + 1 WHERE name = 'before'", {}, nullptr)
                       .has_value();
        });
    };
    std::optional<APMError> error;
    test_hooks::refuseWrittenValues(true);
    const bool stored = store->executeStatement("INSERT INTO items VALUES ('refused', 2)", {}, &error).has_value();
    const bool storedInTransaction = written("INSERT INTO items VALUES ('refused too', 3)");
    test_hooks::refuseWrittenValues(false);
    CHECK_FALSE(stored);
    CHECK_FALSE(storedInTransaction);
    REQUIRE(error);
    CHECK(error->code() == kAPMSqliteStoreTransactionCode);
    CHECK(error->monitorContext().stringValue() ==
          "the values written to row 2 of items could not be told, so that it cannot be read back");
    // No damage: nothing marked, and the next write is stored.
    CHECK_FALSE(capture.hasCode(kAPMSqliteStoreDamageFoundCode));
    CHECK_FALSE(std::filesystem::exists(path.string() + kAPMSqliteStoreDamageMarkSuffix));
    CHECK(written("INSERT INTO items VALUES ('after', 4)"));
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
    sqlite3_stmt* rows = nullptr;
    REQUIRE(sqlite3_prepare_v2(db, "SELECT group_concat(name || amount) FROM items", -1, &rows, nullptr) == SQLITE_OK);
    REQUIRE(sqlite3_step(rows) == SQLITE_ROW);
    CHECK(std::string(reinterpret_cast<const char*>(sqlite3_column_text(rows, 0))) == "before2,after4");
    sqlite3_finalize(rows);
    sqlite3_close(db);
}

namespace {

// While this lives, the connection opened last in the process: the test's
// way to change rows behind the store, as damage would, or to hold its
// statements to a limit.
struct LastConnection {
    static inline sqlite3* db = nullptr;
    LastConnection() { sqlite3_auto_extension(reinterpret_cast<void (*)()>(&note)); }
    ~LastConnection() {
        sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(&note));
        db = nullptr;
    }
    LastConnection(const LastConnection&) = delete;
    LastConnection& operator=(const LastConnection&) = delete;
    static int note(sqlite3* opened, const char**, const sqlite3_api_routines*) {
        db = opened;
        return SQLITE_OK;
    }
};

// The rows of a table as another program reads them from the file.
std::string rowsInFile(const std::filesystem::path& path, const std::string& table) {
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
    sqlite3_stmt* rows = nullptr;
    REQUIRE(sqlite3_prepare_v2(db, ("SELECT group_concat(quote(a) || ':' || quote(b)) FROM " + table).c_str(), -1,
                               &rows, nullptr) == SQLITE_OK);
    REQUIRE(sqlite3_step(rows) == SQLITE_ROW);
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(rows, 0));
    const std::string read = text ? text : "";
    sqlite3_finalize(rows);
    sqlite3_close(db);
    return read;
}

}  // namespace

TEST_CASE("a commit goes ahead only once every row it wrote reads back as written") {
    // Each case works on the table "t (a, b)", which holds (1, 'kept'), or
    // "u (a, b)", empty,
    // through the store and through the store's connection behind its back
    // (as damage would change a row, or to hold its statements to a limit),
    // and tells whether the store committed.
    using Work = std::function<bool(APMSqliteStore& store, sqlite3* behind, std::optional<APMError>* error)>;
    auto write = [](APMSqliteStore& store, const char* sql) { return store.executeStatement(sql, {}, nullptr).has_value(); };
    // Written in a transaction, then changed behind the store.
    auto changedAfter = [&](const char* written, const char* changed) -> Work {
        return [=](APMSqliteStore& store, sqlite3* behind, std::optional<APMError>* error) {
            return store.performTransactionWithError(error, [&] {
                return write(store, written) && sqlite3_exec(behind, changed, nullptr, nullptr, nullptr) == SQLITE_OK;
            });
        };
    };
    // The read-back statement, which passes every column to one function,
    // refused for a reason other than damage (prepared anew: the table "u"
    // is not written before).
    auto readBackRefused = [&](bool grouped) -> Work {
        return [=](APMSqliteStore& store, sqlite3* behind, std::optional<APMError>* error) {
            sqlite3_limit(behind, SQLITE_LIMIT_FUNCTION_ARG, 2);
            auto insert = [&] { return write(store, "INSERT INTO u VALUES (2, 'x')"); };
            if (!grouped) return store.performTransactionWithError(error, insert);
            std::optional<bool> closed;
            REQUIRE(store.openWriteGroup([&](bool committed) { closed = committed; }, nullptr));
            REQUIRE(store.performGroupedTransactionWithError(nullptr, insert));
            const bool committed = store.closeWriteGroup();
            CHECK(closed == committed);
            if (!committed) *error = apm_errorWithCode(kAPMSqliteStoreTransactionCode, "group", Value());
            return committed;
        };
    };
    struct Case {
        std::string what;
        Work work;
        // The error of the failed commit (0: it commits), and whether the
        // file is then taken for damaged.
        long code;
        bool damage;
    };
    const std::vector<Case> cases = {
        {"a text changed behind the store to what it was written as",
         changedAfter("INSERT INTO t VALUES (2, 'abcdefghijkl')", "UPDATE t SET b = 'abcdefghijkl' WHERE a = 2"), 0,
         false},
        {"the last byte of a text of twelve",
         changedAfter("INSERT INTO t VALUES (2, 'abcdefghijkl')", "UPDATE t SET b = 'abcdefghijkX' WHERE a = 2"),
         kAPMSqliteStoreDamagedCode, true},
        {"the last byte of a text of sixteen",
         changedAfter("INSERT INTO t VALUES (2, 'abcdefghijklmnop')", "UPDATE t SET b = 'abcdefghijklmnoX' WHERE a = 2"),
         kAPMSqliteStoreDamagedCode, true},
        {"the last byte of a blob of five",
         changedAfter("INSERT INTO t VALUES (2, x'0102030405')", "UPDATE t SET b = x'0102030406' WHERE a = 2"),
         kAPMSqliteStoreDamagedCode, true},
        {"the second of two rows of one table",
         changedAfter("INSERT INTO t VALUES (2, 'first'), (3, 'second')", "UPDATE t SET b = 'changed' WHERE a = 3"),
         kAPMSqliteStoreDamagedCode, true},
        {"a transaction whose read-back statement SQLite refuses", readBackRefused(false),
         kAPMSqliteStoreTransactionCode, false},
        {"a write group whose read-back statement SQLite refuses", readBackRefused(true),
         kAPMSqliteStoreTransactionCode, false},
        {"a commit asked for by a statement of the block, before the rows were read back",
         [&](APMSqliteStore& store, sqlite3*, std::optional<APMError>* error) {
             return store.performTransactionWithError(error, [&] {
                 return write(store, "INSERT INTO t VALUES (2, 'x')") && write(store, "COMMIT");
             });
         },
         kAPMSqliteStoreTransactionCode, false},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        testsupport::TempDir dir;
        APMMonitorCapture capture;
        const auto path = dir / "db.sql";
        const LastConnection last;
        auto store = openStore(path);
        sqlite3* connection = LastConnection::db;
        REQUIRE(write(*store, "CREATE TABLE t (a INTEGER PRIMARY KEY, b)"));
        REQUIRE(write(*store, "INSERT INTO t VALUES (1, 'kept')"));
        REQUIRE(write(*store, "CREATE TABLE u (a INTEGER PRIMARY KEY, b)"));
        const std::string before = rowsInFile(path, "t");
        std::optional<APMError> error;
        const bool committed = entry.work(*store, connection, &error);
        CHECK(committed == (entry.code == 0));
        CHECK((error ? error->code() : 0) == entry.code);
        CHECK(capture.hasCode(kAPMSqliteStoreDamageFoundCode) == entry.damage);
        CHECK(std::filesystem::exists(path.string() + kAPMSqliteStoreDamageMarkSuffix) == entry.damage);
        if (!committed) CHECK(rowsInFile(path, "t") + rowsInFile(path, "u") == before);
    }
}

namespace {

namespace fs = std::filesystem;
using testsupport::bigEndian;

void run(const fs::path& path, const std::string& sql) {
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open(path.c_str(), &db) == SQLITE_OK);
    REQUIRE(sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr) == SQLITE_OK);
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    CHECK_MESSAGE(rc == SQLITE_OK, sqlite3_errmsg(db));
    sqlite3_close(db);
}

std::vector<std::int64_t> integers(const fs::path& path, const std::string& sql) {
    auto store = APMSqliteStore::makeReadOnlyWithDatabasePath(path.string(), nullptr);
    REQUIRE(store);
    auto rows = store->recordsForQuery(sql, {}, nullptr);
    REQUIRE(rows);
    std::vector<std::int64_t> values;
    for (const auto& row : *rows) values.push_back(row.begin()->second.intValue());
    return values;
}

// Moves the file and its companions away and puts a copy of another in
// their place, as a program that ignores the engine's locks does.
void replaceWith(const fs::path& path, const fs::path& other) {
    for (const char* suffix : {"-wal", "-shm", ""}) {
        if (fs::exists(path.string() + suffix)) fs::rename(path.string() + suffix, path.string() + ".old" + suffix);
        if (fs::exists(other.string() + suffix)) fs::copy_file(other.string() + suffix, path.string() + suffix);
    }
}

}  // namespace

TEST_CASE("the page every table appends to is checked once a file, before the table's first write: whole files of any "
          "page size, layout and text encoding pass") {
    // Every kind of table with row IDs, each checked, and the schema's own
    // and the counters' of AUTOINCREMENT besides; a table without row IDs
    // and an index, which are not tables with row IDs. (A view in a file is
    // damage, carried away at open.)
    const std::vector<std::string> rowIDTables = {
        "CREATE TABLE t (a, b)",
        "CREATE TABLE alias (id INTEGER PRIMARY KEY, v TEXT)",
        "CREATE TABLE reals (r REAL, i INTEGER)",
        "CREATE TABLE empty (a)",
        "CREATE TABLE widened (a)",
        "CREATE TABLE generated (a INTEGER, b AS (a * 2), c AS (a + 1) STORED, d)",
        "CREATE TABLE counted (id INTEGER PRIMARY KEY AUTOINCREMENT, v)",
    };
    const std::size_t checkedTables = rowIDTables.size() + 2;
    const std::string others = "CREATE TABLE keyed (k TEXT PRIMARY KEY, v) WITHOUT ROWID; CREATE INDEX t_b ON t (b);";
    auto series = [](int count) {
        return "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(count) + ") ";
    };
    const std::string rows =
        series(300) + "INSERT INTO t SELECT i, randomblob(CASE WHEN i % 50 = 0 THEN 3 * (SELECT page_size FROM "
                      "pragma_page_size) ELSE 20 END) FROM n; " +
        series(300) + "INSERT INTO alias SELECT i * 3, 'v' || i FROM n; " + series(300) +
        "INSERT INTO reals SELECT CASE WHEN i % 2 = 0 THEN i ELSE i + 0.5 END, i FROM n; " + series(200) +
        "INSERT INTO widened SELECT i FROM n; ALTER TABLE widened ADD COLUMN b DEFAULT 7; INSERT INTO widened VALUES "
        "(1000, 8); " +
        series(200) + "INSERT INTO generated (a, d) SELECT i, x'00' FROM n; " + series(200) +
        "INSERT INTO counted (v) SELECT i FROM n; INSERT INTO keyed VALUES ('k', 1);";
    struct Layout {
        int pageSize;
        const char* encoding;
    };
    for (const Layout layout : {Layout{512, "UTF-8"}, Layout{4096, "UTF-8"}, Layout{65536, "UTF-8"},
                                Layout{4096, "UTF-16le"}, Layout{512, "UTF-16be"}}) {
        const int pageSize = layout.pageSize;
        CAPTURE(pageSize);
        CAPTURE(layout.encoding);
        testsupport::TempDir dir;
        const auto path = dir / "tables.sql";
        std::string schema = "PRAGMA page_size=" + std::to_string(pageSize) + "; PRAGMA encoding='" + layout.encoding +
                             "'; PRAGMA journal_mode=WAL; ";
        for (const auto& table : rowIDTables) schema += table + "; ";
        run(path, schema + others + " PRAGMA wal_checkpoint(TRUNCATE);");
        // The rows in the log only, or in the file too.
        run(path, rows + (pageSize == 4096 ? " PRAGMA wal_checkpoint(TRUNCATE);" : ""));
        fs::copy_file(path, dir / "copy.sql");
        if (fs::exists(path.string() + "-wal")) fs::copy_file(path.string() + "-wal", dir / "copy.sql-wal");

        APMMonitorCapture capture;
        auto store = openStore(path);
        CHECK(store->appendPageChecks() == 0);
        // Each table at its first write: a delete, then an insert in a
        // transaction; another table's in a write group.
        CHECK(store->executeStatement("DELETE FROM t WHERE a = 1", {}, nullptr));
        CHECK(store->appendPageChecks() == 1);
        CHECK(store->performTransactionWithError(nullptr, [&] {
            return store->executeStatement("INSERT INTO t VALUES (1, 2)", {}, nullptr).has_value();
        }));
        CHECK(store->appendPageChecks() == 1);
        REQUIRE(store->openWriteGroup(nullptr, nullptr));
        CHECK(store->performGroupedTransactionWithError(nullptr, [&] {
            return store->executeStatement("INSERT INTO alias (v) VALUES ('w')", {}, nullptr).has_value();
        }));
        CHECK(store->closeWriteGroup());
        CHECK(store->appendPageChecks() == 2);
        // Every other table (a delete that finds nothing is a write too),
        // the counters of AUTOINCREMENT with the table declared so, and the
        // schema's with a change to it; the table without row IDs is not
        // read.
        for (const char* write : {"INSERT INTO reals VALUES (1.5, 2)", "INSERT INTO empty VALUES (1)",
                                  "INSERT INTO widened VALUES (1, 2)", "DELETE FROM generated WHERE a = 0",
                                  "INSERT INTO counted (v) VALUES (1)", "DELETE FROM keyed WHERE k = 'none'",
                                  "CREATE INDEX reals_r ON reals (r)", "INSERT INTO reals VALUES (2.5, 3)"}) {
            const std::string statement = write;
            CAPTURE(statement);
            CHECK(store->executeStatement(statement, {}, nullptr));
        }
        CHECK(store->appendPageChecks() == checkedTables);
        // Another program's file at the path is a file of its own.
        replaceWith(path, dir / "copy.sql");
        CHECK(store->executeStatement("INSERT INTO t VALUES (3, 4)", {}, nullptr));
        CHECK(capture.count(kAPMSqliteStoreReplacedCode) == 1);
        CHECK(store->appendPageChecks() == checkedTables + 1);
        CHECK_FALSE(capture.hasCode(kAPMSqliteStoreDamageFoundCode));
        CHECK_FALSE(capture.hasCode(kAPMSqliteStoreDamagedFileCode));
        store.reset();
        CHECK(integers(path, "SELECT count(*) FROM t") == std::vector<std::int64_t>{301});
    }
}

namespace {

std::string twoBytes(std::uint32_t value) { return {static_cast<char>(value >> 8), static_cast<char>(value & 0xff)}; }

// Where the key of a table cell begins: past its payload's size, one byte
// for the small rows here; the key's two bytes then.
constexpr std::size_t kKeyAt = 1;

// A key of two bytes: seven bits, then the last eight of them.
std::uint32_t twoByteKey(const std::string& bytes, std::size_t at) {
    const auto high = static_cast<unsigned char>(bytes.at(at)), low = static_cast<unsigned char>(bytes.at(at + 1));
    REQUIRE(((high & 0x80) != 0 && (low & 0x80) == 0));
    return ((high & 0x7fu) << 7) | low;
}

}  // namespace

TEST_CASE("a page a table appends to that does not read whole is damage met before the first write: the file is "
          "carried, and the write goes into the new one") {
    constexpr std::size_t kPageSize = 4096;
    constexpr int kRows = 1000;
    // The same in a file whose text is UTF-16: the check must find its
    // tables by their names all the same.
    const char* encoding = "UTF-8";
    SUBCASE("UTF-8") {}
    SUBCASE("UTF-16le") { encoding = "UTF-16le"; }
    SUBCASE("UTF-16be") { encoding = "UTF-16be"; }
    CAPTURE(encoding);
    testsupport::TempDir dir;
    const auto intact = dir / "intact.sql";
    run(intact, std::string("PRAGMA page_size=4096; PRAGMA encoding='") + encoding +
                    "'; PRAGMA journal_mode=WAL; CREATE TABLE t (a INTEGER, b, PRIMARY KEY (a, b)); "
                "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(kRows) +
                    ") INSERT INTO t SELECT i, 'row ' || i FROM n; PRAGMA wal_checkpoint(TRUNCATE);");
    const auto root = static_cast<std::size_t>(integers(intact, "SELECT rootpage FROM sqlite_master WHERE name = 't'").at(0));
    const auto leaves = integers(intact, "SELECT pageno FROM dbstat WHERE name = 't' AND pagetype = 'leaf' ORDER BY path");
    REQUIRE(leaves.size() >= 3);
    const std::size_t last = (static_cast<std::size_t>(leaves.back()) - 1) * kPageSize;
    // The last leaf's first row holds NULL in the key's INTEGER column, and
    // the row before it that row's ID there and the same text: a look-up
    // led from the one to the other differs only there (a key of two
    // columns gives no row ID).
    const std::string built = testsupport::readText(intact);
    const std::string first = std::to_string(twoByteKey(built, last + bigEndian(built, last + 8, 2) + kKeyAt));
    run(intact, "UPDATE t SET a = NULL WHERE rowid = " + first + "; UPDATE t SET a = " + first + ", b = 'row " + first +
                    "' WHERE rowid = " + first + " - 1; PRAGMA wal_checkpoint(TRUNCATE);");
    const std::string file = testsupport::readText(intact);
    const std::size_t before = (static_cast<std::size_t>(leaves[leaves.size() - 2]) - 1) * kPageSize;
    // Cell pointers follow a leaf's header of 8 bytes, an interior page's of 12.
    auto cell = [&](std::size_t page, std::size_t index, std::size_t header = 8) {
        return page + bigEndian(file, page + header + 2 * index, 2);
    };
    const std::size_t cells = bigEndian(file, last + 3, 2);
    const std::uint32_t area = bigEndian(file, last + 5, 2);
    REQUIRE(area - 16 >= 8 + 2 * cells);
    // The root's last key (the largest of the leaf before) and the first of
    // the last leaf, each two bytes long.
    const std::size_t rootPage = (root - 1) * kPageSize;
    const std::size_t rootLast = cell(rootPage, bigEndian(file, rootPage + 3, 2) - 1, 12) + 4;
    REQUIRE(twoByteKey(file, rootLast) == twoByteKey(file, cell(last, 0) + kKeyAt) - 1);
    const std::size_t record = cell(last, 0) + kKeyAt + 2;
    struct Damage {
        std::size_t at;
        std::string bytes;
    };
    struct Case {
        const char* what;
        std::vector<Damage> damage;
        const char* said;
    };
    const std::vector<Case> cases = {
        {"a cell pointer before the cell area", {{last + 8, twoBytes(area - 16)}}, "off the page's cells"},
        {"a record of a reserved serial type", {{record + 1, "\x0a"}}, "reserved serial type"},
        {"keys out of order", {{last + 8, file.substr(last + 10, 2) + file.substr(last + 8, 2)}}, "out of order"},
        {"keys out of order in the root, an interior page",
         {{rootPage + 12, file.substr(rootPage + 14, 2) + file.substr(rootPage + 12, 2)}},
         "out of order"},
        {"a key its look-up does not reach", {{rootLast, file.substr(cell(last, 0) + kKeyAt, 2)}}, "not found by its row ID"},
        {"a key its look-up finds another row under",
         {{rootLast, file.substr(cell(last, 0) + kKeyAt, 2)},
          {cell(before, bigEndian(file, before + 3, 2) - 1) + kKeyAt, file.substr(cell(last, 0) + kKeyAt, 2)}},
         "another value"},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        testsupport::TempDir copy;
        const auto path = copy / "t.sql";
        fs::copy_file(intact, path);
        for (const auto& damage : entry.damage) REQUIRE(testsupport::overwriteBytes(path, damage.at, damage.bytes));
        const auto readable = integers(path, "SELECT count(*) FROM t NOT INDEXED").at(0);
        APMMonitorCapture capture;
        // Its owner declares the table, which the carry takes.
        auto store = openStore(path, {{{"t", {{"a", ""}, {"b", ""}}}}, {}});
        REQUIRE_FALSE(capture.hasCode(kAPMSqliteStoreDamagedFileCode));  // past what the open checks
        CHECK(store->executeStatement("INSERT INTO t VALUES (0, 'after')", {}, nullptr));
        const auto found = capture.entriesWithCode(kAPMSqliteStoreDamageFoundCode);
        REQUIRE(found.size() == 1);
        CHECK(found[0].contexts.at(1).stringValue().find(entry.said) != std::string::npos);
        CHECK(fs::exists(path.string() + ".corrupt"));
        CHECK(capture.count(kAPMSqliteStoreDamagedFileCode) == 1);
        store.reset();
        CHECK(integers(path, "SELECT count(*) FROM t WHERE b = 'after'") == std::vector<std::int64_t>{1});
        CHECK(integers(path, "SELECT count(*) FROM t").at(0) <= readable + 1);
    }
}

TEST_CASE("damage met before a table's first write, after another table's, runs the transaction again in the new file, "
          "and a write group that kept work fails instead") {
    testsupport::TempDir dir;
    const auto intact = dir / "intact.sql";
    run(intact, "PRAGMA page_size=4096; PRAGMA journal_mode=WAL; CREATE TABLE a (v); CREATE TABLE t (a, b); "
                "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000) "
                "INSERT INTO t SELECT i, 'row ' || i FROM n; INSERT INTO a VALUES ('before'); "
                "PRAGMA wal_checkpoint(TRUNCATE);");
    const auto leaves = integers(intact, "SELECT pageno FROM dbstat WHERE name = 't' AND pagetype = 'leaf' ORDER BY path");
    const std::string file = testsupport::readText(intact);
    const std::size_t last = (static_cast<std::size_t>(leaves.back()) - 1) * 4096;
    // The last leaf's first cell pointer led before its cell area.
    const std::uint32_t area = bigEndian(file, last + 5, 2);
    const APMDeclaredSchema declared{{{"a", {{"v", ""}}}, {"t", {{"a", ""}, {"b", ""}}}}, {}};
    for (const bool group : {false, true}) {
        CAPTURE(group);
        testsupport::TempDir copy;
        const auto path = copy / "t.sql";
        fs::copy_file(intact, path);
        REQUIRE(testsupport::overwriteBytes(path, last + 8, twoBytes(area - 16)));
        APMMonitorCapture capture;
        auto store = openStore(path, declared);
        int runs = 0;
        auto writeBoth = [&] {
            ++runs;
            return store->executeStatement("INSERT INTO a VALUES ('written')", {}, nullptr).has_value() &&
                   store->executeStatement("INSERT INTO t VALUES (0, 'written')", {}, nullptr).has_value();
        };
        std::optional<bool> committed;
        if (group) {
            // The group kept a's row before t's damage was met: it cannot go
            // on, and the write is made again alone.
            REQUIRE(store->openWriteGroup([&](bool done) { committed = done; }, nullptr));
            CHECK(store->performGroupedTransactionWithError(nullptr, [&] {
                return store->executeStatement("INSERT INTO a VALUES ('grouped')", {}, nullptr).has_value();
            }));
            CHECK_FALSE(store->performGroupedTransactionWithError(nullptr, writeBoth));
            CHECK_FALSE(store->closeWriteGroup());
            CHECK(committed == std::optional<bool>(false));
            CHECK(runs == 1);
        }
        CHECK(store->performTransactionWithError(nullptr, writeBoth));
        CHECK(runs == 2);
        CHECK(capture.count(kAPMSqliteStoreDamageFoundCode) == 1);
        CHECK(fs::exists(path.string() + ".corrupt"));
        store.reset();
        // Once each, in the new file; the grouped row went with its group.
        CHECK(integers(path, "SELECT count(*) FROM a WHERE v = 'written'") == std::vector<std::int64_t>{1});
        CHECK(integers(path, "SELECT count(*) FROM t WHERE b = 'written'") == std::vector<std::int64_t>{1});
        CHECK(integers(path, "SELECT count(*) FROM a WHERE v = 'grouped'") == std::vector<std::int64_t>{0});
        CHECK(integers(path, "SELECT count(*) FROM a WHERE v = 'before'") == std::vector<std::int64_t>{1});
    }
}

TEST_CASE("the check at open finds damage at a table's end pages, small or large, and in an index's first entry that "
          "SQLite's check of a small table does not read") {
    struct Case {
        const char* what;
        // The object whose first or last page is damaged, which of its
        // pages, and at which byte of the page the byte written goes (none:
        // at the first cell's record header, after its payload's size).
        const char* object;
        bool last;
        std::optional<std::size_t> at;
    };
    const std::vector<Case> cases = {
        {"nothing damaged", nullptr, false, std::nullopt},
        {"a small table's only page, its header", "items", false, 0},
        {"a large table's last leaf, its header", "big", true, 0},
        {"a large table's first leaf, its header", "big", false, 0},
        {"the first entry of a small table's index, its record header", "sqlite_autoindex_items_1", false, std::nullopt},
    };
    constexpr std::size_t kPageSize = 4096;
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        testsupport::TempDir dir;
        const auto path = dir / "end.sql";
        run(path, "PRAGMA page_size=4096; CREATE TABLE items (name TEXT NOT NULL PRIMARY KEY, amount INTEGER); "
                  "CREATE TABLE big (v); WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 50) "
                  "INSERT INTO items SELECT printf('n%05d', i), i FROM n; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL "
                  "SELECT i + 1 FROM n WHERE i < 2000) INSERT INTO big SELECT randomblob(100) FROM n;");
        if (entry.object) {
            sqlite3* db = nullptr;
            REQUIRE(sqlite3_open(path.c_str(), &db) == SQLITE_OK);
            sqlite3_stmt* statement = nullptr;
            const std::string pages = std::string("SELECT pageno FROM dbstat WHERE name = '") + entry.object +
                                      "' AND pagetype = 'leaf' ORDER BY path " + (entry.last ? "DESC " : "") + "LIMIT 1";
            REQUIRE(sqlite3_prepare_v2(db, pages.c_str(), -1, &statement, nullptr) == SQLITE_OK);
            REQUIRE(sqlite3_step(statement) == SQLITE_ROW);
            const auto page = static_cast<std::size_t>(sqlite3_column_int64(statement, 0));
            sqlite3_finalize(statement);
            sqlite3_close(db);
            const std::string bytes = testsupport::readText(path);
            const std::size_t start = (page - 1) * kPageSize;
            // The first cell in key order is the first pointer's, after the
            // leaf's 8-byte header: its record header's size said to be more
            // than the record holds, which only a read of the entry meets.
            const std::size_t firstCell = (static_cast<unsigned char>(bytes[start + 8]) << 8) |
                                          static_cast<unsigned char>(bytes[start + 9]);
            REQUIRE(testsupport::overwriteBytes(path, start + entry.at.value_or(firstCell + 1),
                                                entry.at ? std::string("\xff") : std::string("\x7f")));
        }
        APMMonitorCapture capture;
        auto store = openStore(path);
        CHECK(capture.hasCode(kAPMSqliteStoreDamagedFileCode) == (entry.object != nullptr));
        CHECK(fs::exists(path.string() + kAPMSqliteStoreSetAsideSuffix) == (entry.object != nullptr));
        CHECK(itemCount(*store) == (entry.object && std::string(entry.object) == "items" ? 0 : 50));
    }
}
