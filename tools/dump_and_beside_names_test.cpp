// `velmora analytics dump` and `log` as separate processes: the dump's
// memory as the rows grow and the text it writes as it reads, what lies
// beside the database where no regular file should, and data folders whose
// names mean something in SQLite's addresses.
#include <doctest/doctest.h>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/foundation/json_codec.h"
#include "testsupport/child_process.h"
#include "testsupport/file_text.h"
#include "testsupport/sqlite_file.h"
#include "testsupport/temp_dir.h"
#include "testsupport/test_environment.h"

namespace {

namespace fs = std::filesystem;

// Long enough for any command on a loaded machine; a command that waits
// for a peer that never comes is stopped there and fails the case.
constexpr double kCommandLimitSeconds = 120;
// The lock wait of the commands: another process that has the file open
// is waited for this long.
const std::string kShortLockWait = "VELMORA_LOCK_WAIT_SECONDS=0.2";

struct Run {
    int status = -1;  // -1 when stopped at the limit
    std::string out;
    std::string err;
    long peakKilobytes = 0;
};

// The command in a process of its own, its output in files of the folder.
Run velmora(const fs::path& logs, const std::vector<std::string>& arguments,
            const std::vector<std::string>& variables = {}) {
    std::vector<std::string> argv{VELMORA_TOOL_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const fs::path out = logs / "out", err = logs / "err";
    const int outFile = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int errFile = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    REQUIRE((outFile >= 0 && errFile >= 0));
    const pid_t pid = testsupport::spawnChild(argv, testsupport::environmentWith(variables), outFile, errFile);
    ::close(outFile);
    ::close(errFile);
    Run run;
    run.status = testsupport::waitForChild(pid, kCommandLimitSeconds);
    run.out = testsupport::readText(out);
    run.err = testsupport::readText(err);
    return run;
}

// The command's exit status and the most memory it held at once (its
// largest resident set), as the system counted it for that one child.
Run measured(const fs::path& logs, const std::vector<std::string>& arguments,
             const std::vector<std::string>& variables) {
    std::vector<std::string> argv{VELMORA_TOOL_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const int outFile = ::open((logs / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int errFile = ::open((logs / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    REQUIRE((outFile >= 0 && errFile >= 0));
    const pid_t pid = testsupport::spawnChild(argv, testsupport::environmentWith(variables), outFile, errFile);
    ::close(outFile);
    ::close(errFile);
    int status = 0;
    rusage usage{};
    REQUIRE(::wait4(pid, &status, 0, &usage) == pid);
    Run run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.err = testsupport::readText(logs / "err");
    run.peakKilobytes = usage.ru_maxrss;
    return run;
}

fs::path databaseOf(const fs::path& data) {
    return data / "Application Support" / "Rozeda" / "Measurement" / "rozeda-app-measurement.sql";
}

// How often the text occurs in the file, read a piece at a time.
std::size_t occurrences(const fs::path& file, const std::string& text) {
    constexpr std::size_t kPiece = 1 << 20;
    std::ifstream in(file, std::ios::binary);
    std::string carried, piece(kPiece, '\0');
    std::size_t found = 0;
    while (in.read(piece.data(), static_cast<std::streamsize>(kPiece)) || in.gcount() > 0) {
        std::string window = carried + piece.substr(0, static_cast<std::size_t>(in.gcount()));
        for (auto at = window.find(text); at != std::string::npos; at = window.find(text, at + text.size())) ++found;
        carried = window.size() >= text.size() ? window.substr(window.size() - text.size() + 1) : window;
    }
    return found;
}

// The raw events of the data folder copied from the last one logged, by
// SQL as another program would, until there are `total`.
void fillEvents(const fs::path& data, int total) {
    testsupport::runSQL(databaseOf(data),
                        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                            std::to_string(total) +
                            " - (SELECT count(*) FROM raw_events)) INSERT INTO raw_events (metadata_fingerprint, name, "
                            "timestamp, data, is_realtime, clock) SELECT metadata_fingerprint, name, timestamp + i, "
                            "data, is_realtime, clock FROM n, raw_events WHERE raw_events.rowid = (SELECT max(rowid) "
                            "FROM raw_events); PRAGMA wal_checkpoint(TRUNCATE)");
}

// A sanitizer's quarantine holds what is freed, so that the peak would
// grow with everything the dump ever allocated: it is turned off.
std::vector<std::string> memoryVariables() {
    const auto asan = testsupport::variableAtStart("ASAN_OPTIONS");
    return {"ASAN_OPTIONS=" + (asan ? *asan + ":" : std::string()) +
            "quarantine_size_mb=0:thread_local_quarantine_size_kb=0"};
}

}  // namespace

TEST_CASE("the dump writes as it reads: its peak memory does not grow with the rows") {
    // 100,000 events held whole took about 1.2 GB; written as they are
    // read, the dump's largest resident set grows by the table reader's few
    // bytes a row (about 2.4 MB here) and SQLite's cache.
    constexpr int kFewEvents = 1'000;
    constexpr int kManyEvents = 100'000;
    constexpr long kBudgetKilobytes = 16 * 1024;
    testsupport::TempDir folder;
    const fs::path data = folder / "data";
    REQUIRE(velmora(folder.path(), {"analytics", "log", "calc_done", "k=2", "n=5", "p=0.3", "label=seven", "--data",
                                    data.string()})
                .status == 0);
    const std::vector<std::string> dump{"analytics", "dump", "--data", data.string()};

    fillEvents(data, kFewEvents);
    const Run few = measured(folder.path(), dump, memoryVariables());
    REQUIRE_MESSAGE(few.status == 0, few.err);
    CHECK(occurrences(folder / "out", "\"metadata_fingerprint\": ") == kFewEvents);

    fillEvents(data, kManyEvents);
    const Run many = measured(folder.path(), dump, memoryVariables());
    REQUIRE_MESSAGE(many.status == 0, many.err);
    CHECK(occurrences(folder / "out", "\"metadata_fingerprint\": ") == kManyEvents);
    CHECK_MESSAGE(many.peakKilobytes - few.peakKilobytes <= kBudgetKilobytes,
                  "peak of " << few.peakKilobytes << " KB at " << kFewEvents << " events, " << many.peakKilobytes
                             << " KB at " << kManyEvents);
}

TEST_CASE("what lies beside the database where no regular file should blocks no command and leads nowhere") {
    struct Kind {
        const char* what;
        std::function<void(const fs::path& name, const fs::path& outside)> make;
    };
    const std::vector<Kind> kinds = {
        {"a fifo", [](const fs::path& name, const fs::path&) { REQUIRE(::mkfifo(name.c_str(), 0600) == 0); }},
        {"a link to a file elsewhere", [](const fs::path& name, const fs::path& outside) {
             testsupport::writeText(outside, "another program's");
             fs::create_symlink(outside, name);
         }},
        {"a link to nothing", [](const fs::path& name, const fs::path& outside) { fs::create_symlink(outside, name); }},
        {"a folder", [](const fs::path& name, const fs::path&) { fs::create_directories(name / "inside"); }},
    };
    for (const std::string suffix : {"-wal", "-shm", "-journal", "-damaged", "-carry", "-lock"}) {
        for (const auto& kind : kinds) {
            const std::string what = kind.what;
            CAPTURE(suffix);
            CAPTURE(what);
            testsupport::TempDir folder;
            const fs::path data = folder / "data", outside = folder / "outside";
            REQUIRE(velmora(folder.path(), {"analytics", "log", "before", "--data", data.string()}).status == 0);
            const std::string name = databaseOf(data).string() + suffix;
            testsupport::runSQL(databaseOf(data), "PRAGMA wal_checkpoint(TRUNCATE)");
            fs::remove(name);
            kind.make(name, outside);
            const auto before = testsupport::readText(outside);

            // The dump reads, and leaves the name as it found it.
            const Run dumped = velmora(folder.path(), {"analytics", "dump", "--data", data.string()}, {kShortLockWait});
            REQUIRE_MESSAGE(dumped.status == 0, dumped.err);
            CHECK(nlohmann::json::parse(dumped.out)["raw_events"].size() >= 1);
            CHECK(fs::exists(fs::symlink_status(name)));

            // The next event is stored in the file at the path; the name is
            // set aside as a folder at the path is, but for the lock file,
            // which is only never followed.
            const Run logged = velmora(folder.path(), {"analytics", "log", "after", "--data", data.string()}, {kShortLockWait});
            CHECK_MESSAGE(logged.status == 0, logged.err);
            const Run again = velmora(folder.path(), {"analytics", "dump", "--data", data.string()}, {kShortLockWait});
            REQUIRE(again.status == 0);
            std::vector<std::string> names;
            const auto stored = nlohmann::json::parse(again.out);
            for (const auto& event : stored["raw_events"]) names.push_back(event["name"].get<std::string>());
            CHECK(std::count(names.begin(), names.end(), "after") == 1);
            CHECK(fs::exists(fs::symlink_status(databaseOf(data).string() + ".corrupt" + suffix)) == (suffix != "-lock"));
            CHECK(testsupport::readText(outside) == before);
            CHECK(fs::exists(fs::symlink_status(outside)) == (what == "a link to a file elsewhere"));
        }
    }
}

TEST_CASE("a data folder whose name means something in an SQLite address is dumped as any other") {
    for (const std::string name : {"a#b", "c?d", "e%41f", "g&mode=memory"}) {
        CAPTURE(name);
        testsupport::TempDir folder;
        const fs::path data = folder / name;
        REQUIRE(velmora(folder.path(), {"analytics", "log", "named", "--data", data.string()}).status == 0);
        const Run dumped = velmora(folder.path(), {"analytics", "dump", "--data", data.string()});
        REQUIRE_MESSAGE(dumped.status == 0, dumped.err);
        std::vector<std::string> names;
        const auto stored = nlohmann::json::parse(dumped.out);
        for (const auto& event : stored["raw_events"]) names.push_back(event["name"].get<std::string>());
        CHECK(std::count(names.begin(), names.end(), "named") == 1);
    }
}

TEST_CASE("the dump written as it reads is the document printed whole, damage and rows that do not read included") {
    testsupport::TempDir folder;
    const fs::path data = folder / "data";
    REQUIRE(velmora(folder.path(), {"analytics", "log", "calc_done", "k=2", "--data", data.string()}).status == 0);
    fillEvents(data, 2'000);
    testsupport::runSQL(databaseOf(data),
                        "INSERT INTO raw_events (metadata_fingerprint, name, timestamp, data) VALUES (1, 'x', 2, "
                        "x'ff'); INSERT INTO queue (bundle_end_timestamp, data) VALUES (3, x'00')");
    // 600 bytes over the middle of a leaf page of the raw events.
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open(databaseOf(data).c_str(), &db) == SQLITE_OK);
    sqlite3_stmt* leaf = nullptr;
    REQUIRE(sqlite3_prepare_v2(db, "SELECT pageno, pgsize FROM dbstat WHERE name = 'raw_events' AND pagetype = "
                                   "'leaf' ORDER BY pageno LIMIT 1 OFFSET 5", -1, &leaf, nullptr) == SQLITE_OK);
    REQUIRE(sqlite3_step(leaf) == SQLITE_ROW);
    const auto offset = static_cast<std::size_t>((sqlite3_column_int64(leaf, 0) - 1) * sqlite3_column_int64(leaf, 1));
    sqlite3_finalize(leaf);
    sqlite3_close(db);
    REQUIRE(testsupport::overwriteBytes(databaseOf(data), offset + 200, testsupport::seededBytes(7, 600)));

    const Run dumped = velmora(folder.path(), {"analytics", "dump", "--data", data.string()});
    REQUIRE_MESSAGE(dumped.status == 0, dumped.err);
    const auto document = platform::parseJSON(dumped.out);
    REQUIRE(document);
    CHECK(platform::writeJSON(*document, true) + "\n" == dumped.out);
    const auto& lists = document->asDictionary();
    CHECK(lists.at("damage").asArray().size() == 1);
    CHECK(lists.at("unreadable_rows").asArray().size() == 2);
    CHECK(lists.at("raw_events").asArray().size() > 1'000);
}
