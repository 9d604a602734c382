// Tests that a log read again goes on from the frames read before, only while they stand as they were read, and that every word of a frame counts in its checksum.
#include <doctest/doctest.h>

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "measurement/store/sqlite_file/log_frames.h"
#include "measurement/store/sqlite_file/sqlite_file_test_support.h"
#include "testsupport/file_text.h"
#include "testsupport/temp_dir.h"

using namespace measurement;
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kFrameSize = 24 + 4096;

struct Connection {
    explicit Connection(const fs::path& path) {
        REQUIRE(sqlite3_open(path.c_str(), &db) == SQLITE_OK);
        REQUIRE(sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr) == SQLITE_OK);
    }
    ~Connection() { sqlite3_close(db); }
    void run(const std::string& sql) {
        REQUIRE_MESSAGE(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK, sqlite3_errmsg(db));
    }
    // The frames SQLite takes, as its checkpoint counts them (the next
    // commit may then start the log afresh).
    std::uint64_t frames() {
        int logged = -1, copied = -1;
        REQUIRE(sqlite3_wal_checkpoint_v2(db, "main", SQLITE_CHECKPOINT_PASSIVE, &logged, &copied) == SQLITE_OK);
        return static_cast<std::uint64_t>(logged);
    }
    sqlite3* db = nullptr;
};

// What a read of the log found: the frames taken, and where each page's
// image lies.
std::vector<std::uint64_t> seen(const sqlite_btree::CommittedFrames& frames) {
    std::vector<std::uint64_t> found{frames.committed(), frames.pagesAtCommit(), frames.highestPage()};
    for (const std::uint32_t page : frames.pages()) {
        found.push_back(page);
        found.push_back(frames.imageOf(page).value_or(0));
    }
    return found;
}

// A log of `frames` frames of seeded pages (page i + 1 in frame i, the last
// a commit), its checksums summed by the test support in the byte order
// asked.
std::string seededLog(std::size_t pageSize, bool bigEndian, std::uint32_t frames) {
    auto word = [](std::uint32_t value) {
        return std::string{static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
                           static_cast<char>(value)};
    };
    const std::string salts = "\x11\x22\x33\x44\x55\x66\x77\x88";
    std::string log = word(0) + word(3007000) + word(static_cast<std::uint32_t>(pageSize)) + word(0) + salts +
                      std::string(8, '\0');
    for (std::uint32_t frame = 0; frame < frames; ++frame) {
        log += word(frame + 1) + word(frame + 1 == frames ? frames : 0) + salts + std::string(8, '\0') +
               testsupport::seededBytes(frame + 1, pageSize);
    }
    return testsupport::resummedLog(log, pageSize, bigEndian, SIZE_MAX);
}

sqlite_btree::CommittedFrames readLog(const fs::path& log, sqlite_btree::CommittedFrames frames = {}) {
    std::string why;
    REQUIRE(frames.read(APMFileBytes(log.string()), &why));
    return frames;
}

}  // namespace

TEST_CASE("a log read again reads the frames written since, and the whole log when what was read changed") {
    struct Case {
        const char* what;
        // What happens to the files between the two reads.
        std::function<void(Connection&, const fs::path& log)> meanwhile;
        // Whether the second read goes on from the first.
        bool goesOn;
    };
    const std::vector<Case> cases = {
        {"nothing", [](Connection&, const fs::path&) {}, true},
        {"commits", [](Connection& c, const fs::path&) { c.run("INSERT INTO t SELECT randomblob(3000) FROM t"); }, true},
        {"a transaction that spilled frames, then a commit",
         [](Connection& c, const fs::path&) {
             c.run("PRAGMA cache_size=2; BEGIN; INSERT INTO t SELECT randomblob(3000) FROM t; ROLLBACK; "
                   "INSERT INTO t VALUES (1)");
         },
         true},
        {"the log started afresh",
         [](Connection& c, const fs::path&) { c.run("PRAGMA wal_checkpoint(RESTART); INSERT INTO t VALUES (2)"); }, false},
        {"its last committed frame written over, its checksum too",
         [](Connection&, const fs::path& log) {
             const auto size = fs::file_size(log);
             REQUIRE(testsupport::overwriteBytes(log, size - kFrameSize + 16, "\x5a\x5a"));
         },
         false},
        {"the log cut short", [](Connection&, const fs::path& log) { fs::resize_file(log, 32 + kFrameSize); }, false},
    };
    for (const auto& entry : cases) {
        const std::string what = entry.what;
        CAPTURE(what);
        testsupport::TempDir dir;
        const fs::path path = dir / "t.sql";
        const fs::path log = path.string() + "-wal";
        Connection connection(path);
        connection.run("PRAGMA page_size=4096; PRAGMA journal_mode=WAL; CREATE TABLE t (a); "
                       "INSERT INTO t VALUES (randomblob(5000)), (randomblob(100)); "
                       "INSERT INTO t SELECT randomblob(2000) FROM t");
        // Every frame committed; no checkpoint yet, which would have the
        // next commit start the log afresh.
        const auto first = readLog(log);
        REQUIRE(first.committed() == (fs::file_size(log) - 32) / kFrameSize);
        CHECK(first.bytesRead() == fs::file_size(log));
        entry.meanwhile(connection, log);
        const auto again = readLog(log, first);
        const auto afresh = readLog(log);
        CHECK(seen(again) == seen(afresh));
        if (entry.goesOn) {
            CHECK(again.committed() == connection.frames());
            // The header, the last frame read's checksum, and the frames
            // after those read.
            CHECK(again.bytesRead() <= 32 + 8 + (fs::file_size(log) - (32 + first.committed() * kFrameSize)));
        } else {
            CHECK(again.bytesRead() == afresh.bytesRead());
        }
    }
}

TEST_CASE("every word of a frame's page counts in its checksum, at every page size and in both byte orders") {
    constexpr std::uint32_t kFrames = 5;
    testsupport::TempDir dir;
    const fs::path log = dir / "t.sql-wal";
    for (const std::size_t pageSize : {std::size_t{512}, std::size_t{1024}, std::size_t{4096}, std::size_t{65536}}) {
        for (const bool bigEndian : {false, true}) {
            CAPTURE(pageSize);
            CAPTURE(bigEndian);
            const std::string whole = seededLog(pageSize, bigEndian, kFrames);
            testsupport::writeText(log, whole);
            const auto read = readLog(log);
            CHECK(read.committed() == kFrames);
            CHECK(read.damaged().empty());
            // One byte turned in the first, a middle or the last word of a
            // page: that frame alone fails, the commit after it still read.
            for (const std::size_t word : {std::size_t{0}, pageSize / 8 + 1, pageSize / 4 - 1}) {
                for (const std::uint32_t frame : {0u, 2u}) {
                    CAPTURE(word);
                    CAPTURE(frame);
                    std::string damaged = whole;
                    damaged[32 + frame * (24 + pageSize) + 24 + word * 4 + word % 4] ^= 0x10;
                    testsupport::writeText(log, damaged);
                    const auto found = readLog(log);
                    CHECK(found.committed() == kFrames);
                    REQUIRE(found.damaged().size() == 1);
                    CHECK(found.damaged()[0].index == frame + 1);
                    CHECK(found.damaged()[0].page == frame + 1);
                    CHECK(found.damaged()[0].why == sqlite_btree::CommittedFrames::Damage::checksum);
                }
            }
        }
    }
}
