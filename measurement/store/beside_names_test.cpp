// Tests that what lies beside a database file where no regular file should
// (a fifo, a link, a folder) never blocks, is never followed, and is set
// aside; that copy numbers stay within their range; and that a file in a
// folder whose name SQLite's addresses give a meaning to opens.
#include <doctest/doctest.h>

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <functional>
#include <string>
#include <vector>

#include "measurement/foundation/monitor.h"
#include "measurement/store/damage_mark.h"
#include "measurement/store/set_aside_copies.h"
#include "measurement/store/sqlite_store.h"
#include "testsupport/child_process.h"
#include "testsupport/file_text.h"
#include "testsupport/scoped_launch_options.h"
#include "testsupport/sqlite_file.h"
#include "testsupport/temp_dir.h"

using namespace measurement;

namespace fs = std::filesystem;

namespace {

// What is put at a name, and how it is told again where it was moved.
struct Kind {
    const char* what;
    std::function<void(const fs::path& name, const fs::path& outside)> make;
    std::function<bool(const fs::path& name)> is;
};

const std::vector<Kind>& kinds() {
    static const std::vector<Kind> all = {
        {"a fifo", [](const fs::path& name, const fs::path&) { REQUIRE(::mkfifo(name.c_str(), 0600) == 0); },
         [](const fs::path& name) { return fs::is_fifo(fs::symlink_status(name)); }},
        {"a link to a file elsewhere", [](const fs::path& name, const fs::path& outside) {
             testsupport::writeText(outside, "another program's");
             fs::create_symlink(outside, name);
         },
         [](const fs::path& name) { return fs::is_symlink(fs::symlink_status(name)); }},
        {"a link to nothing", [](const fs::path& name, const fs::path& outside) { fs::create_symlink(outside, name); },
         [](const fs::path& name) { return fs::is_symlink(fs::symlink_status(name)); }},
        {"a folder", [](const fs::path& name, const fs::path&) { fs::create_directories(name / "inside"); },
         [](const fs::path& name) { return fs::is_directory(fs::symlink_status(name)); }},
    };
    return all;
}

// Whatever a link led to is as it was: another program's text, or nothing.
void untouched(const Kind& kind, const fs::path& outside) {
    if (std::string(kind.what) == "a link to a file elsewhere") {
        CHECK(testsupport::readText(outside) == "another program's");
    } else {
        CHECK_FALSE(fs::exists(fs::symlink_status(outside)));
    }
}

std::vector<std::int64_t> values(const fs::path& path) {
    sqlite3* db = nullptr;
    std::vector<std::int64_t> found;
    REQUIRE(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    REQUIRE(sqlite3_prepare_v2(db, "SELECT a FROM t ORDER BY a", -1, &statement, nullptr) == SQLITE_OK);
    while (sqlite3_step(statement) == SQLITE_ROW) found.push_back(sqlite3_column_int64(statement, 0));
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return found;
}

}  // namespace

TEST_CASE("a name beside the database where no regular file lies is set aside, never followed nor waited on") {
    const std::vector<std::string> suffixes = {"-wal", "-shm", "-journal", "-damaged", "-carry", "-carry-journal"};
    for (const auto& suffix : suffixes) {
        for (const auto& kind : kinds()) {
            const std::string what = kind.what;
            CAPTURE(suffix);
            CAPTURE(what);
            testsupport::TempDir dir;
            const auto path = dir / "measurement.sql";
            const auto outside = dir / "outside";
            testsupport::runSQL(path, "CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (1)");
            kind.make(path.string() + suffix, outside);
            APMMonitorCapture capture;

            auto store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr);
            REQUIRE(store);
            CHECK(store->executeStatement("INSERT INTO t VALUES (2)", {}, nullptr) == 1);
            store.reset();

            CHECK(values(path) == std::vector<std::int64_t>{1, 2});
            CHECK(kind.is(path.string() + kAPMSqliteStoreSetAsideSuffix + suffix));
            CHECK(capture.count(kAPMSqliteStoreOddNameSetAsideCode) == 1);
            untouched(kind, outside);
        }
    }
}

TEST_CASE("a name beside the database that cannot be set aside while another process has the file open blocks "
          "nothing and leads nowhere") {
    testsupport::ScopedLaunchOptions bound([](platform::LaunchOptions& options) { options.lockWaitSeconds = 0.1; });
    struct Case {
        const char* suffix;
        bool stored;  // SQLite writes no event without its log and index
    };
    for (const Case entry : {Case{"-wal", false}, Case{"-shm", false}, Case{"-journal", true}, Case{"-damaged", true}}) {
        for (const auto& kind : kinds()) {
            const std::string suffix = entry.suffix, what = kind.what;
            CAPTURE(suffix);
            CAPTURE(what);
            testsupport::TempDir dir;
            const auto path = dir / "measurement.sql";
            const auto outside = dir / "outside";
            const std::string name = path.string() + entry.suffix;
            testsupport::runSQL(path, "PRAGMA journal_mode=WAL; CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (1)");
            fs::remove(name);
            kind.make(name, outside);
            testsupport::FileLockHolder holder(path.string() + kAPMSqliteStoreLockSuffix, false);
            APMMonitorCapture capture;

            auto store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr);
            const bool stored = store && store->executeStatement("INSERT INTO t VALUES (2)", {}, nullptr) == 1;
            store.reset();

            CHECK(stored == entry.stored);
            CHECK(kind.is(name));
            CHECK(capture.count(kAPMSqliteStoreOddNameKeptCode) == 1);
            untouched(kind, outside);
        }
    }
}

TEST_CASE("the mark is only a regular file: anything else at its name is neither opened in a way that waits, "
          "followed, written nor removed") {
    for (const auto& kind : kinds()) {
        const std::string what = kind.what;
        CAPTURE(what);
        testsupport::TempDir dir;
        const auto mark = dir / "measurement.sql-damaged";
        const auto outside = dir / "outside";
        kind.make(mark, outside);

        CHECK_FALSE(APMDamageMarkPresent(mark.string()));
        CHECK_FALSE(APMWriteDamageMark(mark.string()));
        CHECK_FALSE(APMReadDamageMark(mark.string()));
        CHECK(APMRemoveDamageMarkIfUnchanged(mark.string(), std::string("damage found")) ==
              APMDamageMarkRemoval::kept);

        CHECK(kind.is(mark));
        untouched(kind, outside);
    }
}

TEST_CASE("copy numbers stay within their range: a name numbered past it is another program's") {
    struct Case {
        const char* what;
        std::vector<std::string> present;  // what follows "<database>.corrupt"
        std::string next;
        std::vector<std::string> after;  // once the next is set aside and the bound applied
    };
    const std::vector<Case> cases = {
        {"the largest number an int holds", {"-2147483647"}, "", {"", "-2147483647"}},
        {"one past the last", {"-1000"}, "", {"", "-1000"}},
        {"the last, beside a number past an int", {"-999", "-2147483648"}, "-2", {"", "-2", "-2147483648"}},
        {"beside copies of ours", {"", "-2", "-3", "-2147483647"}, "-4", {"-2", "-2147483647", "-3", "-4"}},
    };
    for (const auto& entry : cases) {
        const std::string what = entry.what;
        CAPTURE(what);
        testsupport::TempDir dir;
        const std::string path = (dir / "measurement.sql").string();
        const std::string copies = path + kAPMSqliteStoreSetAsideSuffix;
        for (const auto& rest : entry.present) testsupport::writeText(copies + rest, rest);

        std::string why;
        const auto next = APMNextSetAsideName(path, &why);
        REQUIRE_MESSAGE(next, why);
        CHECK(*next == copies + entry.next);
        testsupport::writeText(*next, "the newest");
        APMDeleteOlderSetAsideCopies(path);

        std::vector<std::string> after;
        for (const auto& file : fs::directory_iterator(dir.path())) after.push_back(file.path().string().substr(copies.size()));
        std::sort(after.begin(), after.end());
        CHECK(after == entry.after);
        // Another program's is neither renamed nor deleted.
        CHECK(testsupport::readText(copies + entry.present.back()) == entry.present.back());
    }
}

TEST_CASE("a file in a folder whose name means something in an SQLite address is read as it stands") {
    for (const std::string folder : {"a#b", "c?d", "e%41f", "g&mode=rwc", "h i"}) {
        CAPTURE(folder);
        testsupport::TempDir dir;
        const auto path = dir / folder / "measurement.sql";
        fs::create_directories(path.parent_path());
        testsupport::runSQL(path, "CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (7)");
        std::optional<APMError> error;
        auto store = APMSqliteStore::makeReadOnlyWithDatabasePath(path.string(), &error);
        REQUIRE_MESSAGE(store, (error ? error->description() : ""));
        const auto rows = store->recordsForQuery("SELECT a FROM t", {}, nullptr);
        REQUIRE(rows);
        REQUIRE(rows->size() == 1);
        CHECK(rows->front().at("a") == platform::Value(7));
    }
}
