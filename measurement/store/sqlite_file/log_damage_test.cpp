// Tests that a damaged frame of a log costs at most its own page, that a log that cannot be opened fails the read, and that a page image holds only what the header and the log give.
#include <doctest/doctest.h>

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "measurement/store/sqlite_file/btree.h"
#include "measurement/store/sqlite_file/sqlite_file_test_support.h"
#include "testsupport/file_text.h"
#include "testsupport/temp_dir.h"

using namespace measurement;
using namespace measurement::sqlite_btree;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kPageSize = 4096;
constexpr std::size_t kLogHeader = 32;
constexpr std::size_t kFrameHeader = 24;
constexpr std::size_t kFrameSize = kFrameHeader + kPageSize;
// In a frame's header: its page's number, its salts, its checksum.
constexpr std::size_t kPageNumberAt = 0;
constexpr std::size_t kSaltsAt = 8;
constexpr std::size_t kChecksumAt = 16;
constexpr int kCommits = 40;

std::uint32_t word(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value = (value << 8) | static_cast<unsigned char>(bytes.at(at + i));
    return value;
}

struct Connection {
    explicit Connection(const fs::path& path) {
        REQUIRE(sqlite3_open(path.c_str(), &db) == SQLITE_OK);
        REQUIRE(sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr) == SQLITE_OK);
    }
    ~Connection() { sqlite3_close(db); }
    void run(const std::string& sql) {
        REQUIRE_MESSAGE(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK, sqlite3_errmsg(db));
    }
    sqlite3* db = nullptr;
};

// A file whose rows are all in its log: a table of rows spread over many
// pages, then commits that change some of those rows again, so that later
// frames hold earlier frames' pages again.
void makeLoggedFile(const fs::path& path) {
    Connection connection(path);
    connection.run("PRAGMA page_size=4096; PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0; "
                   "CREATE TABLE t (a INTEGER PRIMARY KEY, b)");
    for (int commit = 0; commit < kCommits; ++commit) {
        const int first = commit * 25;
        connection.run("WITH RECURSIVE n(i) AS (SELECT " + std::to_string(first) + " UNION ALL SELECT i + 1 FROM n WHERE i < " +
                       std::to_string(first + 24) + ") INSERT INTO t SELECT i, printf('%0400d', i) FROM n");
        connection.run("UPDATE t SET b = printf('%0400d', -a) WHERE a = " + std::to_string(commit * 7));
    }
}

// The rows of t, each as its row ID and its values' bytes.
std::vector<std::pair<std::int64_t, std::string>> rowsOf(const FileImage& image, std::uint32_t root) {
    std::vector<std::pair<std::int64_t, std::string>> rows;
    walkTable(image, root, [&](const TableCell& cell) {
        rows.emplace_back(cell.rowID, cell.payload);
        return true;
    });
    return rows;
}

std::vector<std::pair<std::int64_t, std::string>> rowsSQLiteReads(const fs::path& path) {
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    std::vector<std::pair<std::int64_t, std::string>> rows;
    if (sqlite3_prepare_v2(db, "SELECT a, b FROM t", -1, &statement, nullptr) == SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
            rows.emplace_back(sqlite3_column_int64(statement, 0), text ? text : "");
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

// A payload's text value, as the rows SQLite reads give it: the record of
// (NULL, text) the table's rows hold.
std::vector<std::pair<std::int64_t, std::string>> asText(std::vector<std::pair<std::int64_t, std::string>> rows) {
    for (auto& [rowID, payload] : rows) {
        std::string why;
        const auto record = decodeRecord(payload, &why);
        REQUIRE(record);
        payload = record->at(1).bytes;
    }
    return rows;
}

// The page each frame of the log holds.
std::vector<std::uint32_t> framePages(const std::string& log) {
    std::vector<std::uint32_t> pages;
    for (std::size_t at = kLogHeader; at + kFrameSize <= log.size(); at += kFrameSize) pages.push_back(word(log, at));
    return pages;
}

// A log that cannot be opened, or whose every read fails.
class RefusingLog final : public APMByteSource {
public:
    RefusingLog(int openError, int readError, std::uint64_t size) : openError_(openError), readError_(readError), size_(size) {}
    int openError() const override { return openError_; }
    std::uint64_t size() const override { return size_; }
    bool read(std::uint64_t, std::size_t length, unsigned char* into, int* readError) const override {
        std::memset(into, 0, length);
        if (readError) *readError = readError_;
        return readError_ == 0;
    }

private:
    int openError_;
    int readError_;
    std::uint64_t size_;
};

}  // namespace

TEST_CASE("a log that is not there holds no frame; one that does not open or read fails the read, not taken for none") {
    testsupport::TempDir dir;
    const fs::path path = dir / "t.sql";
    makeLoggedFile(path);
    const APMFileBytes file(path.string());
    struct Case {
        const char* what;
        int openError;
        int readError;
        bool reads;
    };
    const std::vector<Case> cases = {
        {"no log", ENOENT, 0, true},
        {"a log this process may not open", EACCES, 0, false},
        {"a log whose open fails on the disk", EIO, 0, false},
        {"a log whose reads fail", 0, EIO, false},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        const RefusingLog log(entry.openError, entry.readError, 1 << 20);
        CommittedFrames frames;
        std::string why;
        CHECK(frames.read(log, &why) == entry.reads);
        CHECK(frames.committed() == 0);
        CHECK(why.empty() == entry.reads);
        // The file's pages are read without a log that is not there, and not
        // at all past one that cannot be read: its commits would be missed.
        const FileImage image(file, log);
        CHECK(image.unreadable().has_value() == !entry.reads);
        CHECK(image.readFailed() == !entry.reads);
    }
}

TEST_CASE("a damaged frame of the log costs at most its own page: the commits after it are read, and it is named") {
    testsupport::TempDir dir;
    const fs::path intact = dir / "intact.sql";
    makeLoggedFile(intact);
    const std::string log = testsupport::readText(intact.string() + "-wal");
    const auto pages = framePages(log);
    REQUIRE(pages.size() > 100);
    // Frames whose page a later frame holds again, and the last frame of a
    // page before the log's last commit.
    std::vector<std::size_t> superseded, latest;
    for (std::size_t frame = 0; frame < pages.size(); ++frame) {
        const bool again = std::find(pages.begin() + static_cast<std::ptrdiff_t>(frame) + 1, pages.end(), pages[frame]) != pages.end();
        (again ? superseded : latest).push_back(frame);
    }
    REQUIRE(superseded.size() > 10);
    // The frame after the last superseded one is its page's latest: damage
    // that cost it too would lose rows.
    REQUIRE(std::find(latest.begin(), latest.end(), superseded.back() + 1) != latest.end());
    const FileImage whole(intact.string());
    REQUIRE_FALSE(whole.logDamage());
    const auto intactRows = rowsSQLiteReads(intact);
    REQUIRE(intactRows.size() == kCommits * 25);
    const std::uint32_t root = 2;

    struct Case {
        const char* what;
        std::size_t frame;
        std::size_t at;  // in the frame
        // The frames that do not read: the one damaged alone, even where
        // the damage took the checksum the next one goes on from.
        std::size_t lost;
    };
    const std::vector<Case> cases = {
        {"a byte of the first superseded frame's page", superseded.front(), kFrameHeader + 100, 1},
        {"a byte of a middle superseded frame's page", superseded[superseded.size() / 2], kFrameHeader + kPageSize - 1, 1},
        {"a byte of the last superseded frame's page", superseded.back(), kFrameHeader + 2000, 1},
        {"the checksum a superseded frame stored", superseded[superseded.size() / 3], kChecksumAt + 5, 1},
        {"the checksum the last superseded frame stored, a page's latest frame after it", superseded.back(),
         kChecksumAt + 1, 1},
        {"a salt of a superseded frame", superseded[2], kSaltsAt + 1, 1},
        {"the page number of a superseded frame", superseded[3], kPageNumberAt + 2, 1},
        {"a byte of a page's latest frame", latest[latest.size() / 2], kFrameHeader + 300, 1},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        CAPTURE(entry.frame);
        testsupport::TempDir copy;
        const fs::path path = copy / "t.sql";
        fs::copy_file(intact, path);
        std::string damaged = log;
        const std::size_t at = kLogHeader + entry.frame * kFrameSize + entry.at;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x10);
        testsupport::writeText(path.string() + "-wal", damaged);
        // SQLite stops at the damaged frame and reads none of the commits
        // after it.
        CHECK(rowsSQLiteReads(path) != intactRows);

        const FileImage image(path.string());
        REQUIRE_FALSE(image.unreadable());
        CHECK(image.committedFrames() == whole.committedFrames());
        REQUIRE(image.logDamage());
        CHECK(image.logDamage()->find("frame " + std::to_string(entry.frame + 1) + " ") != std::string::npos);
        // Each page reads as its latest frame that reads gives it: the
        // intact log's, but for a page whose latest frame was the damaged
        // one, which reads as the frame before.
        std::map<std::uint32_t, std::size_t> expected;
        for (std::size_t frame = 0; frame < pages.size(); ++frame) {
            if (frame < entry.frame || frame >= entry.frame + entry.lost) expected[pages[frame]] = frame;
        }
        std::vector<unsigned char> read(kPageSize), want(kPageSize);
        bool every = true;
        for (std::uint32_t page = 1; page <= image.pageCount(); ++page) {
            std::string why;
            REQUIRE(image.readPage(page, read.data(), &why));
            const auto found = expected.find(page);
            const std::string source = found != expected.end()
                                           ? log.substr(kLogHeader + found->second * kFrameSize + kFrameHeader, kPageSize)
                                           : testsupport::readText(intact).substr((page - 1) * kPageSize, kPageSize);
            std::memcpy(want.data(), source.data(), source.size());
            every = every && read == want;
        }
        CHECK(every);
        // Where a later frame holds the page again, every row is kept.
        bool lostNothing = true;
        for (std::size_t frame = entry.frame; frame < entry.frame + entry.lost; ++frame) {
            lostNothing = lostNothing && std::find(superseded.begin(), superseded.end(), frame) != superseded.end();
        }
        if (lostNothing) CHECK(asText(rowsOf(image, root)) == intactRows);
    }
}

TEST_CASE("a page image holds no page past a page count that holds, and a log's smaller page reads with zeros after it, "
          "whatever the buffer held") {
    testsupport::TempDir dir;
    const fs::path path = dir / "t.sql";
    Connection(path).run("PRAGMA page_size=4096; CREATE TABLE t (a); INSERT INTO t VALUES (randomblob(3000))");
    const std::string file = testsupport::readText(path);
    const auto pages = static_cast<std::uint32_t>(file.size() / kPageSize);
    // A page after those the header counts: none of the database's.
    testsupport::writeText(path, file + file.substr(kPageSize, kPageSize));
    CHECK(FileImage(path.string()).pageCount() == pages);
    CHECK_FALSE(FileImage(path.string()).holds(pages + 1));
    testsupport::writeText(path, file);
    // A log of 512-byte pages whose one commit holds page 2.
    constexpr std::size_t kSmallPage = 512;
    auto be = [](std::uint32_t value) {
        return std::string{static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
                           static_cast<char>(value)};
    };
    const std::string salts = "\x11\x22\x33\x44\x55\x66\x77\x88";
    const std::string logged = testsupport::seededBytes(3, kSmallPage);
    testsupport::writeText(path.string() + "-wal",
                           testsupport::resummedLog(be(0) + be(3007000) + be(kSmallPage) + be(0) + salts +
                                                        std::string(8, '\0') + be(2) + be(pages) + salts +
                                                        std::string(8, '\0') + logged,
                                                    kSmallPage, false, SIZE_MAX));
    const FileImage image(path.string());
    std::vector<unsigned char> page(kPageSize, 0xaa);
    std::string why;
    REQUIRE(image.readPage(1, page.data(), &why));
    REQUIRE(image.readPage(2, page.data(), &why));
    CHECK(std::string(page.begin(), page.begin() + kSmallPage) == logged);
    CHECK(std::all_of(page.begin() + kSmallPage, page.end(), [](unsigned char c) { return c == 0; }));
}
