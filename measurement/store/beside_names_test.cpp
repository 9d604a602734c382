// Tests that what lies beside a database file where no regular file should
// (a fifo, a link, a folder) blocks no open and is never followed, and that
// copy numbers stay within their range.
#include <doctest/doctest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
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

constexpr const char* kLinkToAFile = "a link to a file elsewhere";

// What is put at a name; `outside` is where a link leads.
struct Kind {
    std::string what;
    std::function<void(const fs::path& name, const fs::path& outside)> make;
};

const std::vector<Kind> kKinds = {
    {"a fifo", [](const fs::path& name, const fs::path&) { REQUIRE(::mkfifo(name.c_str(), 0600) == 0); }},
    {kLinkToAFile, [](const fs::path& name, const fs::path& outside) {
         testsupport::writeText(outside, "another program's");
         fs::create_symlink(outside, name);
     }},
    {"a link to nothing", [](const fs::path& name, const fs::path& outside) { fs::create_symlink(outside, name); }},
    {"a folder", [](const fs::path& name, const fs::path&) { fs::create_directories(name / "inside"); }},
};

// Nothing was made or written where a link leads.
void untouched(const Kind& kind, const fs::path& outside) {
    CHECK(fs::exists(fs::symlink_status(outside)) == (kind.what == kLinkToAFile));
    if (kind.what == kLinkToAFile) CHECK(testsupport::readText(outside) == "another program's");
}

}  // namespace

TEST_CASE("what lies beside the database where no regular file should, kept while another process has the file "
          "open, blocks no open and leads nowhere") {
    testsupport::ScopedLaunchOptions bound([](platform::LaunchOptions& options) { options.lockWaitSeconds = 0.1; });
    struct Case {
        std::string suffix;
        bool stored;  // SQLite writes nothing without its log and index
    };
    for (const Case& entry : {Case{"-wal", false}, Case{"-shm", false}, Case{"-journal", true}, Case{"-damaged", true}}) {
        for (const auto& kind : kKinds) {
            CAPTURE(entry.suffix);
            CAPTURE(kind.what);
            testsupport::TempDir dir;
            const auto path = dir / "measurement.sql";
            const std::string name = path.string() + entry.suffix;
            testsupport::runSQL(path, "PRAGMA journal_mode=WAL; CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (1)");
            fs::remove(name);
            kind.make(name, dir / "outside");
            testsupport::FileLockHolder holder(path.string() + kAPMSqliteStoreLockSuffix, false);
            APMMonitorCapture capture;

            auto store = APMSqliteStore::makeWithDatabasePath(path.string(), nullptr);
            CHECK((store && store->executeStatement("INSERT INTO t VALUES (2)", {}, nullptr) == 1) == entry.stored);
            store.reset();
            CHECK(fs::exists(fs::symlink_status(name)));
            CHECK(capture.count(kAPMSqliteStoreOddNameKeptCode) == 1);
            untouched(kind, dir / "outside");
        }
    }
}

TEST_CASE("only a regular file is the mark: nothing else at its name is waited on, followed, written or removed") {
    for (const auto& kind : kKinds) {
        CAPTURE(kind.what);
        testsupport::TempDir dir;
        const std::string mark = (dir / "measurement.sql-damaged").string();
        kind.make(mark, dir / "outside");
        CHECK_FALSE(APMDamageMarkPresent(mark));
        CHECK_FALSE(APMWriteDamageMark(mark));
        CHECK_FALSE(APMReadDamageMark(mark));
        CHECK(APMRemoveDamageMarkIfUnchanged(mark, std::string("seen")) == APMDamageMarkRemoval::kept);
        CHECK(fs::exists(fs::symlink_status(mark)));
        untouched(kind, dir / "outside");
    }
}

TEST_CASE("copy numbers stay within their range: a name numbered past it is another program's") {
    struct Case {
        std::vector<std::string> present;  // what follows "<database>.corrupt"
        std::string next;
        std::vector<std::string> after;  // once the next is set aside and the bound applied
    };
    const std::vector<Case> cases = {
        {{"-2147483647"}, "", {"", "-2147483647"}},
        {{"-1000"}, "", {"", "-1000"}},
        {{"-999", "-2147483648"}, "-2", {"", "-2", "-2147483648"}},
        {{"", "-2", "-3", "-2147483647"}, "-4", {"-2", "-2147483647", "-3", "-4"}},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.present.back());
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
        CHECK(testsupport::readText(copies + entry.present.back()) == entry.present.back());
    }
}
