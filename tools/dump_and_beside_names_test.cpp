// `velmora analytics dump` and `log` as separate processes: the dump's
// memory as the rows grow and the text it writes as it reads, and what lies
// beside the database where no regular file should.
#include <doctest/doctest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/foundation/json_codec.h"
#include "testsupport/child_process.h"
#include "testsupport/file_text.h"
#include "testsupport/odd_names.h"
#include "testsupport/sqlite_file.h"
#include "testsupport/temp_dir.h"
#include "testsupport/test_environment.h"

namespace {

namespace fs = std::filesystem;

struct Run {
    int status = -1;
    std::string out;
    std::string err;
    long peakKilobytes = 0;  // the largest resident set the system counted for it
};

// The command in a process of its own (one that never ends is stopped by
// the test's time limit), its output in files of the folder, started by a
// small process that counts its peak memory apart from this one's.
Run velmora(const fs::path& logs, const std::vector<std::string>& arguments,
            const std::vector<std::string>& variables = {"VELMORA_LOCK_WAIT_SECONDS=0.2"}) {
    const fs::path peak = logs / "peak";
    std::vector<std::string> argv{VELMORA_PEAK_MEMORY_PATH, peak.string(), VELMORA_TOOL_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const int out = ::open((logs / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = ::open((logs / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    REQUIRE((out >= 0 && err >= 0));
    const pid_t pid = testsupport::spawnChild(argv, testsupport::environmentWith(variables), out, err);
    ::close(out);
    ::close(err);
    int status = 0;
    REQUIRE(::waitpid(pid, &status, 0) == pid);
    REQUIRE(WIFEXITED(status));
    return {WEXITSTATUS(status), testsupport::readText(logs / "out"), testsupport::readText(logs / "err"),
            std::stol("0" + testsupport::readText(peak))};
}

fs::path databaseOf(const fs::path& data) {
    return data / "Application Support" / "Rozeda" / "Measurement" / "rozeda-app-measurement.sql";
}

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t found = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++found;
    return found;
}

}  // namespace

TEST_CASE("the dump writes as it reads: its peak memory does not grow with the rows, its text is the document's") {
    // Held whole, 100,000 events took about 1.2 GB more than 1,000; written
    // as they are read, no more than SQLite's cache and a few pages.
    constexpr long kBudgetKilobytes = 4 * 1024;
    // Once in each raw event, in no other list.
    const std::string kEventField = "\"metadata_fingerprint\": ";
    testsupport::TempDir folder;
    const fs::path data = folder / "data";
    REQUIRE(velmora(folder.path(), {"analytics", "log", "calc_done", "k=2", "label=seven", "--data", data.string()})
                .status == 0);
    // A sanitizer's quarantine would keep all that is freed.
    const auto asan = testsupport::variableAtStart("ASAN_OPTIONS");
    const std::vector<std::string> variables{"ASAN_OPTIONS=" + (asan ? *asan + ":" : std::string()) +
                                             "quarantine_size_mb=0:thread_local_quarantine_size_kb=0"};
    auto dumpOf = [&](int events) {
        testsupport::runSQL(databaseOf(data),
                            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                                std::to_string(events) +
                                " - (SELECT count(*) FROM raw_events)) INSERT INTO raw_events (metadata_fingerprint, "
                                "name, timestamp, data, is_realtime, clock) SELECT metadata_fingerprint, name, "
                                "timestamp + i, data, is_realtime, clock FROM n, raw_events WHERE raw_events.rowid = "
                                "(SELECT max(rowid) FROM raw_events); PRAGMA wal_checkpoint(TRUNCATE)");
        const Run dumped = velmora(folder.path(), {"analytics", "dump", "--data", data.string()}, variables);
        REQUIRE_MESSAGE(dumped.status == 0, dumped.err);
        CHECK(occurrences(dumped.out, kEventField) == static_cast<std::size_t>(events));
        return dumped;
    };
    const Run few = dumpOf(1'000);
    CHECK(platform::writeJSON(*platform::parseJSON(few.out), true) + "\n" == few.out);
    const Run many = dumpOf(100'000);
    // Counted at all: a launcher that wrote nothing would read as 0.
    CHECK(few.peakKilobytes > 0);
    CHECK_MESSAGE(many.peakKilobytes - few.peakKilobytes <= kBudgetKilobytes,
                  few.peakKilobytes << " KB at 1,000 events, " << many.peakKilobytes << " KB at 100,000");
}

// In data folders whose names mean something in an SQLite address, too.
TEST_CASE("what lies beside the database where no regular file should blocks no command and leads nowhere") {
    const std::vector<std::string> folders = {"data", "a#b", "c?d", "e%41f", "g&mode=memory"};
    std::size_t cases = 0;
    for (const std::string suffix : {"-wal", "-shm", "-journal", "-damaged", "-carry", "-lock"}) {
        for (const auto& kind : testsupport::oddKinds()) {
            testsupport::TempDir folder;
            const fs::path data = folder / folders[cases++ % folders.size()];
            const fs::path outside = folder / "outside";
            CAPTURE(suffix);
            CAPTURE(kind.what);
            CAPTURE(data);
            REQUIRE(velmora(folder.path(), {"analytics", "log", "before", "--data", data.string()}).status == 0);
            const std::string name = databaseOf(data).string() + suffix;
            testsupport::runSQL(databaseOf(data), "PRAGMA wal_checkpoint(TRUNCATE)");
            fs::remove(name);
            kind.make(name, outside);

            // The dump only reads; the next event is stored in the file at
            // the path, the name set aside.
            CHECK(occurrences(velmora(folder.path(), {"analytics", "dump", "--data", data.string()}).out,
                              "\"name\": \"before\"") == 1);
            CHECK(fs::exists(fs::symlink_status(name)));
            CHECK(velmora(folder.path(), {"analytics", "log", "after", "--data", data.string()}).status == 0);
            CHECK(occurrences(velmora(folder.path(), {"analytics", "dump", "--data", data.string()}).out,
                              "\"name\": \"after\"") == 1);
            CHECK(fs::exists(fs::symlink_status(databaseOf(data).string() + ".corrupt" + suffix)));
            testsupport::checkOutsideUntouched(kind, outside);
        }
    }
}

namespace {

// A socket a program that listened at the name left there. It is bound
// through a descriptor of its folder: a socket's address holds at most 107
// bytes, fewer than a data folder under a longer $TMPDIR takes.
void makeSocket(const fs::path& name, const fs::path&) {
    const int folder = ::open(name.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    REQUIRE(folder >= 0);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    REQUIRE(listener >= 0);
    const std::string through = "/proc/self/fd/" + std::to_string(folder) + "/" + name.filename().string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    REQUIRE(through.size() < sizeof address.sun_path);
    std::strncpy(address.sun_path, through.c_str(), sizeof address.sun_path - 1);
    CHECK(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0);
    ::close(listener);
    ::close(folder);
}

// Writes over the cell pointers of the rightmost leaf of the raw events, the
// page the next event goes to: each points past the page's end.
void damageLastLeaf(const fs::path& database) {
    constexpr std::size_t kLeafHeader = 8;
    constexpr std::size_t kCellCountAt = 3;
    testsupport::runSQL(database, "PRAGMA wal_checkpoint(TRUNCATE)");
    const auto pageSize = static_cast<std::size_t>(
        std::stol(testsupport::querySQL(database, "PRAGMA page_size")));
    const auto leaf = static_cast<std::size_t>(std::stol(testsupport::querySQL(
        database, "SELECT pageno FROM dbstat WHERE name = 'raw_events' AND pagetype = 'leaf' ORDER BY path DESC "
                  "LIMIT 1")));
    std::fstream file(database, std::ios::binary | std::ios::in | std::ios::out);
    const auto start = static_cast<std::streamoff>((leaf - 1) * pageSize);
    char count[2] = {};
    file.seekg(start + static_cast<std::streamoff>(kCellCountAt));
    file.read(count, sizeof count);
    const std::size_t cells = (static_cast<unsigned char>(count[0]) << 8) | static_cast<unsigned char>(count[1]);
    REQUIRE(cells > 1);
    const std::string pastTheEnd(2 * cells, '\xff');
    file.seekp(start + static_cast<std::streamoff>(kLeafHeader));
    file.write(pastTheEnd.data(), static_cast<std::streamsize>(pastTheEnd.size()));
}

}  // namespace

TEST_CASE("a lock file that is no regular file beside a damaged database is set aside as the other names are, and "
          "the damage is carried: every later event is stored") {
    auto kinds = testsupport::oddKinds();
    kinds.push_back({"a socket", makeSocket});
    for (const auto& kind : kinds) {
        CAPTURE(kind.what);
        testsupport::TempDir folder;
        const fs::path data = folder / "data";
        const fs::path outside = folder / "outside";
        REQUIRE(velmora(folder.path(), {"analytics", "log", "before", "--data", data.string()}).status == 0);
        const fs::path database = databaseOf(data);
        testsupport::runSQL(database,
                            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300) INSERT INTO "
                            "raw_events (metadata_fingerprint, name, timestamp, data, is_realtime, clock) SELECT "
                            "metadata_fingerprint, name, timestamp + i, data, is_realtime, clock FROM n, raw_events");
        damageLastLeaf(database);
        const std::string lock = database.string() + "-lock";
        fs::remove(lock);
        kind.make(lock, outside);

        for (const std::string event : {"after", "later"}) {
            const Run logged = velmora(folder.path(), {"analytics", "log", event, "--data", data.string()});
            CHECK_MESSAGE(logged.status == 0, logged.err);
            CHECK(occurrences(velmora(folder.path(), {"analytics", "dump", "--data", data.string()}).out,
                              "\"name\": \"" + event + "\"") == 1);
        }
        CHECK(fs::is_regular_file(fs::symlink_status(lock)));
        CHECK(fs::exists(fs::symlink_status(database.string() + ".corrupt-lock")));
        CHECK(fs::is_regular_file(database.string() + ".corrupt-2"));
        testsupport::checkOutsideUntouched(kind, outside);
    }
}
