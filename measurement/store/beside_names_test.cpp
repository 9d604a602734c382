// Tests that what lies beside a database file where no regular file should
// (a fifo, a link, a folder) blocks no open and is never followed, and that
// copy numbers stay within their range.
#include <doctest/doctest.h>

#include <iterator>
#include <filesystem>
#include <string>
#include <vector>

#include "measurement/foundation/monitor.h"
#include "measurement/store/damage_mark.h"
#include "measurement/store/set_aside_copies.h"
#include "measurement/store/sqlite_store.h"
#include "testsupport/child_process.h"
#include "testsupport/file_text.h"
#include "testsupport/odd_names.h"
#include "testsupport/scoped_launch_options.h"
#include "testsupport/sqlite_file.h"
#include "testsupport/temp_dir.h"

using namespace measurement;

namespace fs = std::filesystem;

using testsupport::checkOutsideUntouched;
using testsupport::oddKinds;

TEST_CASE("what lies beside the database where no regular file should, kept while another process has the file "
          "open, blocks no open and leads nowhere") {
    testsupport::ScopedLaunchOptions bound([](platform::LaunchOptions& options) { options.lockWaitSeconds = 0.1; });
    struct Case {
        std::string suffix;
        bool stored;  // SQLite writes nothing without its log and index
    };
    for (const Case& entry : {Case{"-wal", false}, Case{"-shm", false}, Case{"-journal", true}, Case{"-damaged", true}}) {
        for (const auto& kind : oddKinds()) {
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
            checkOutsideUntouched(kind, dir / "outside");
        }
    }
}

TEST_CASE("only a regular file is the mark: nothing else at its name is waited on, followed, written or removed") {
    for (const auto& kind : oddKinds()) {
        CAPTURE(kind.what);
        testsupport::TempDir dir;
        const std::string mark = (dir / "measurement.sql-damaged").string();
        kind.make(mark, dir / "outside");
        CHECK_FALSE(APMDamageMarkPresent(mark));
        CHECK_FALSE(APMWriteDamageMark(mark));
        CHECK_FALSE(APMReadDamageMark(mark));
        CHECK(APMRemoveDamageMarkIfUnchanged(mark, std::string("seen")) == APMDamageMarkRemoval::kept);
        CHECK(fs::exists(fs::symlink_status(mark)));
        checkOutsideUntouched(kind, dir / "outside");
    }
}

TEST_CASE("copy numbers stay within their range: a name numbered past it is another program's") {
    struct Case {
        std::vector<std::string> present;  // what follows "<database>.corrupt"
        std::vector<std::string> after;    // the next set aside (last) and the bound applied
    };
    for (const Case& entry : {Case{{"-2147483647"}, {"-2147483647", ""}}, Case{{"-1000"}, {"-1000", ""}},
                              Case{{"-999", "-2147483648"}, {"", "-2147483648", "-2"}},
                              Case{{"", "-2", "-3", "-2147483647"}, {"-2", "-3", "-2147483647", "-4"}}}) {
        CAPTURE(entry.present.back());
        testsupport::TempDir dir;
        const std::string path = (dir / "measurement.sql").string(), copies = path + kAPMSqliteStoreSetAsideSuffix;
        for (const auto& rest : entry.present) testsupport::writeText(copies + rest, rest);
        std::string why;
        const auto next = APMNextSetAsideName(path, &why);
        REQUIRE_MESSAGE(next, why);
        CHECK(*next == copies + entry.after.back());
        testsupport::writeText(*next, "the newest");
        APMDeleteOlderSetAsideCopies(path);
        for (const auto& rest : entry.after) CHECK(fs::exists(copies + rest));
        CHECK(static_cast<std::size_t>(std::distance(fs::directory_iterator(dir.path()), {})) == entry.after.size());
        CHECK(testsupport::readText(copies + entry.present.back()) == entry.present.back());
    }
}
