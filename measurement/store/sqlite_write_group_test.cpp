// Tests of the store's write-ahead log, write groups, kept statements and the checks at open.
#include <doctest/doctest.h>

#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "measurement/foundation/monitor.h"
#include "measurement/store/sqlite_store.h"
#include "measurement/store/statement_cache.h"
#include "testsupport/temp_dir.h"

using namespace measurement;
using platform::Value;

namespace {

// The table the tests fill, which a carry takes.
const APMDeclaredSchema kItems = {{{"items", {{"name", "TEXT NOT NULL"}}}}, {}};

std::unique_ptr<APMSqliteStore> openStore(const std::filesystem::path& path) {
    std::optional<APMError> error;
    auto store = APMSqliteStore::makeWithDatabasePath(path.string(), &error, kItems);
    REQUIRE_MESSAGE(store, (error ? error->description() : std::string("no error")));
    return store;
}

// The names in the table as a second connection reads them: only what has
// been committed.
std::vector<std::string> committedNames(const std::filesystem::path& path) {
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    REQUIRE(sqlite3_prepare_v2(db, "SELECT name FROM items ORDER BY name", -1, &statement, nullptr) == SQLITE_OK);
    std::vector<std::string> names;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return names;
}

std::string pragmaValue(APMSqliteStore& store, const std::string& pragma) {
    auto rows = store.recordsForQuery("SELECT * FROM pragma_" + pragma, {}, nullptr);
    REQUIRE(rows);
    REQUIRE(rows->size() == 1);
    const Value& value = rows->front().begin()->second;
    return value.isString() ? value.asString() : std::to_string(value.intValue());
}

bool insert(APMSqliteStore& store, const std::string& name) {
    return store.executeStatement("INSERT INTO items (name) VALUES (?)", {Value(name)}, nullptr).has_value();
}

}  // namespace

TEST_CASE("the file is kept in write-ahead-log mode with synchronous=NORMAL") {
    testsupport::TempDir dir;
    auto store = openStore(dir / "wal.sql");
    CHECK(pragmaValue(*store, "journal_mode") == "wal");
    CHECK(pragmaValue(*store, "synchronous") == "1");
}

TEST_CASE("a write group commits many writes at once and leaves nobody else waiting for its commit") {
    testsupport::TempDir dir;
    const auto path = dir / "group.sql";
    auto store = openStore(path);
    REQUIRE(store->ensureTableWithName("items", {{"name", "TEXT NOT NULL PRIMARY KEY"}}, {}, {}, nullptr));
    std::vector<bool> endings;
    auto open = [&] { REQUIRE(store->openWriteGroup([&](bool committed) { endings.push_back(committed); }, nullptr)); };
    auto grouped = [&](std::function<bool()> block) { return store->performGroupedTransactionWithError(nullptr, block); };

    SUBCASE("grouped blocks wait for the commit; one that fails undoes only its own work") {
        open();
        CHECK(grouped([&] { return insert(*store, "a"); }));
        CHECK_FALSE(grouped([&] { return insert(*store, "b") && insert(*store, "c") && false; }));
        CHECK(grouped([&] { return insert(*store, "e"); }));
        CHECK(committedNames(path).empty());
        CHECK(store->isWriteGroupOpen());
        CHECK(store->closeWriteGroup());
        CHECK(committedNames(path) == std::vector<std::string>{"a", "e"});
        CHECK(endings == std::vector<bool>{true});
        CHECK(store->closeWriteGroup());  // none open
        CHECK(endings.size() == 1);
    }
    SUBCASE("a failing block fails on its own: the group goes on") {
        open();
        CHECK(grouped([&] { return insert(*store, "a"); }));
        CHECK_FALSE(grouped([&] { return insert(*store, "a"); }));  // the primary key refuses it
        CHECK(grouped([&] { return insert(*store, "b"); }));
        CHECK(store->closeWriteGroup());
        CHECK(committedNames(path) == std::vector<std::string>{"a", "b"});
    }
    // What another transaction or write does to an open group holding "a".
    struct Case {
        const char* name;
        std::function<bool(APMSqliteStore&)> work;
        bool groupOpenAfter;
        std::vector<std::string> committedAfter;
    };
    const std::vector<Case> cases = {
        {"a transaction that only reads",
         [](APMSqliteStore& s) {
             return s.performTransactionWithError(nullptr, [&] { return s.recordsForQuery("SELECT * FROM items", {}, nullptr).has_value(); });
         },
         true, {}},
        {"a transaction whose delete finds nothing",
         [](APMSqliteStore& s) {
             return s.performTransactionWithError(
                 nullptr, [&] { return s.deleteRecordFromTableWithName("items", "name", Value("zz"), nullptr); });
         },
         true, {}},
        {"a transaction that changes rows",
         [](APMSqliteStore& s) { return s.performTransactionWithError(nullptr, [&] { return insert(s, "x"); }); },
         false, {"a", "x"}},
        {"a transaction that changes rows and then fails",
         [](APMSqliteStore& s) {
             return !s.performTransactionWithError(nullptr, [&] { return insert(s, "x") && false; });
         },
         true, {}},
        {"a transaction that changes the layout",
         [](APMSqliteStore& s) {
             return s.performTransactionWithError(
                 nullptr, [&] { return s.executeStatement("CREATE TABLE other (n INTEGER)", {}, nullptr).has_value(); });
         },
         false, {"a"}},
        {"a write on its own", [](APMSqliteStore& s) { return insert(s, "x"); }, false, {"a", "x"}},
        {"a delete on its own that finds nothing",
         [](APMSqliteStore& s) { return s.deleteRecordFromTableWithName("items", "name", Value("zz"), nullptr); }, false,
         {"a"}},
        {"a version change", [](APMSqliteStore& s) { return s.setUserVersion(4, nullptr); }, false, {"a"}},
    };
    for (const auto& c : cases) {
        SUBCASE(c.name) {
            open();
            REQUIRE(grouped([&] { return insert(*store, "a"); }));
            CHECK(c.work(*store));
            CHECK(store->isWriteGroupOpen() == c.groupOpenAfter);
            CHECK(committedNames(path) == c.committedAfter);
            CHECK(endings == (c.groupOpenAfter ? std::vector<bool>{} : std::vector<bool>{true}));
            CHECK(store->closeWriteGroup());
            CHECK(endings == std::vector<bool>{true});
            const auto all = committedNames(path);
            CHECK(std::find(all.begin(), all.end(), "a") != all.end());
        }
    }
    SUBCASE("closing the store commits the group") {
        open();
        REQUIRE(grouped([&] { return insert(*store, "a"); }));
        store.reset();
        CHECK(committedNames(path) == std::vector<std::string>{"a"});
        CHECK(endings == std::vector<bool>{true});
    }
    SUBCASE("misuse is refused with code 3") {
        std::optional<APMError> error;
        CHECK_FALSE(store->performGroupedTransactionWithError(&error, [] { return true; }));
        REQUIRE(error);
        CHECK(error->code() == kAPMSqliteStoreTransactionCode);
        // Inside a transaction of its own a group cannot begin either, and says why.
        error.reset();
        CHECK(store->performTransactionWithError(nullptr, [&] { return !store->openWriteGroup(nullptr, &error); }));
        REQUIRE(error);
        CHECK(error->localizedDescription() == "A transaction or write group is already open");
        open();
        error.reset();
        CHECK_FALSE(store->openWriteGroup(nullptr, &error));
        REQUIRE(error);
        CHECK(error->code() == kAPMSqliteStoreTransactionCode);
        error.reset();
        // A grouped block inside a transaction that joined the group would
        // be undone by that transaction's rollback.
        CHECK(store->performTransactionWithError(nullptr, [&] {
            return !store->performGroupedTransactionWithError(&error, [] { return true; });
        }));
        REQUIRE(error);
        CHECK(error->code() == kAPMSqliteStoreTransactionCode);
        CHECK(store->closeWriteGroup());
    }
}

TEST_CASE("a commit that finds the file replaced is undone, and the next transaction writes into the file at the path") {
    testsupport::TempDir dir;
    const auto path = dir / "group.sql";
    const auto old = dir / "old.sql";
    APMMonitorCapture capture;
    auto store = openStore(path);
    auto makeItems = [&] { return store->ensureTableWithName("items", {{"name", "TEXT NOT NULL"}}, {}, {}, nullptr); };
    REQUIRE(makeItems());
    store->setReopenHandler(makeItems);
    // Another program moves the file away with its log while the commit is prepared.
    auto replace = [&] {
        for (const char* suffix : {"-wal", "-shm", ""}) {
            std::filesystem::rename(path.string() + suffix, old.string() + suffix);
        }
    };
    SUBCASE("a transaction") {
        CHECK_FALSE(store->performTransactionWithError(nullptr, [&] {
            replace();
            return insert(*store, "lost");
        }));
    }
    SUBCASE("a write group") {
        std::vector<bool> endings;
        REQUIRE(store->openWriteGroup([&](bool committed) { endings.push_back(committed); }, nullptr));
        REQUIRE(store->performGroupedTransactionWithError(nullptr, [&] { return insert(*store, "lost"); }));
        replace();
        CHECK_FALSE(store->closeWriteGroup());
        CHECK(endings == std::vector<bool>{false});
    }
    CHECK(committedNames(old).empty());
    CHECK(store->performTransactionWithError(nullptr, [&] { return insert(*store, "kept"); }));
    CHECK(committedNames(path) == std::vector<std::string>{"kept"});
    CHECK(capture.count(kAPMSqliteStoreReplacedCode) == 1);
}

TEST_CASE("kept statements are reused, never shared between two uses at once, and the oldest makes room") {
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open(":memory:", &db) == SQLITE_OK);
    auto prepare = [&](const std::string& text) {
        sqlite3_stmt* statement = nullptr;
        REQUIRE(sqlite3_prepare_v2(db, text.c_str(), -1, &statement, nullptr) == SQLITE_OK);
        return statement;
    };
    {
        APMStatementCache cache(2);
        sqlite3_stmt* one = prepare("SELECT 1");
        REQUIRE(cache.keep("SELECT 1", one));
        CHECK(cache.take("SELECT 1") == nullptr);  // still in use
        sqlite3_stmt* second = prepare("SELECT 1");
        CHECK_FALSE(cache.keep("SELECT 1", second));  // the caller keeps it alone
        sqlite3_finalize(second);
        {
            APMStatementLease lease(one, &cache);
            REQUIRE(sqlite3_step(lease.get()) == SQLITE_ROW);
        }
        // Given back reset: it runs again from the start.
        sqlite3_stmt* again = cache.take("SELECT 1");
        CHECK(again == one);
        APMStatementLease held(again, &cache);
        CHECK(sqlite3_step(held.get()) == SQLITE_ROW);
        CHECK(sqlite3_column_int(held.get(), 0) == 1);

        sqlite3_stmt* two = prepare("SELECT 2");
        REQUIRE(cache.keep("SELECT 2", two));
        APMStatementLease(two, &cache).release();
        // Full, with "SELECT 1" in use: the older one not in use goes.
        sqlite3_stmt* three = prepare("SELECT 3");
        CHECK(cache.keep("SELECT 3", three));
        CHECK(cache.size() == 2);
        CHECK(cache.take("SELECT 2") == nullptr);
        APMStatementLease threeLease(three, &cache);
        // Full with both in use: nothing makes room, so the caller keeps it alone.
        sqlite3_stmt* four = prepare("SELECT 4");
        CHECK_FALSE(cache.keep("SELECT 4", four));
        CHECK(cache.size() == 2);
        sqlite3_finalize(four);
        // Cleared while "SELECT 1" is still in use: its lease finalises it.
        cache.clear();
        CHECK(cache.size() == 0);
    }
    CHECK(sqlite3_close(db) == SQLITE_OK);  // every statement finalised
}

TEST_CASE("damage is found at open and the damaged file goes with its log") {
    testsupport::TempDir dir;
    const auto path = dir / "damage.sql";
    APMMonitorCapture capture;

    SUBCASE("deleting the database deletes its log, index and journal too") {
        auto store = openStore(path);
        REQUIRE(store->ensureTableWithName("items", {{"name", "TEXT NOT NULL"}}, {}, {}, nullptr));
        for (const char* suffix : {"-journal", "-damaged"}) std::ofstream(path.string() + suffix) << "left";
        REQUIRE(std::filesystem::exists(path.string() + "-wal"));
        CHECK(store->closeAndDeleteDatabase());
        for (const char* suffix : {"", "-wal", "-shm", "-journal", "-damaged"}) {
            CHECK_MESSAGE(!std::filesystem::exists(path.string() + suffix), suffix);
        }
    }
    SUBCASE("a page damaged in the middle of a table is found when it is read, and the next open sets the file aside "
            "and keeps the rows of every other page") {
        {
            auto store = openStore(path);
            REQUIRE(store->ensureTableWithName("items", {{"name", "TEXT NOT NULL"}}, {}, {}, nullptr));
            REQUIRE(store->performTransactionWithError(nullptr, [&] {
                for (int i = 0; i < 3000; ++i) {
                    if (!insert(*store, std::string(200, 'a' + i % 26) + std::to_string(i))) return false;
                }
                return true;
            }));
        }
        const auto size = std::filesystem::file_size(path);
        REQUIRE(size > 40 * 4096);
        {
            std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
            file.seekp(static_cast<std::streamoff>(size / 2 / 4096 * 4096));
            for (int i = 0; i < 4096; ++i) file.put(static_cast<char>(i * 131 % 256));
        }
        {
            // The check at open reads the pages every reader starts from:
            // the damage lies elsewhere.
            auto store = openStore(path);
            CHECK_FALSE(capture.hasCode(kAPMSqliteStoreDamagedFileCode));
            CHECK_FALSE(store->recordsForQuery("SELECT name FROM items", {}, nullptr));
            CHECK(capture.count(kAPMSqliteStoreDamageFoundCode) == 1);
            CHECK(std::filesystem::exists(path.string() + kAPMSqliteStoreDamageMarkSuffix));
        }
        auto store = openStore(path);
        CHECK(capture.count(kAPMSqliteStoreDamagedFileCode) == 1);
        CHECK(std::filesystem::file_size(path.string() + ".corrupt") == size);
        // Some 200 bytes a row: one page held fewer than twenty of them.
        const auto kept = store->recordsForQuery("SELECT count(*) AS n FROM items", {}, nullptr);
        REQUIRE(kept);
        CHECK(kept->front().at("n").intValue() < 3000);
        CHECK(kept->front().at("n").intValue() > 3000 - 20);
        CHECK_FALSE(std::filesystem::exists(path.string() + kAPMSqliteStoreDamageMarkSuffix));
        CHECK(pragmaValue(*store, "integrity_check") == "ok");
    }
    SUBCASE("an intact file opened after a mark keeps its rows and loses the mark") {
        {
            auto store = openStore(path);
            REQUIRE(store->ensureTableWithName("items", {{"name", "TEXT NOT NULL"}}, {}, {}, nullptr));
            REQUIRE(insert(*store, "kept"));
        }
        std::ofstream(path.string() + kAPMSqliteStoreDamageMarkSuffix) << "";
        auto store = openStore(path);
        CHECK_FALSE(capture.hasCode(kAPMSqliteStoreDamagedFileCode));
        CHECK(committedNames(path) == std::vector<std::string>{"kept"});
        CHECK_FALSE(std::filesystem::exists(path.string() + kAPMSqliteStoreDamageMarkSuffix));
    }
}
