// Tests that reading crafted pages costs work bounded by the bytes of the pages read, counted, never timed.
#include <doctest/doctest.h>

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "measurement/store/sqlite_file/btree.h"
#include "measurement/store/sqlite_file/leaf_row_ids.h"
#include "measurement/store/sqlite_file/sqlite_file_test_support.h"
#include "testsupport/file_text.h"
#include "testsupport/sqlite_file.h"
#include "testsupport/temp_dir.h"

using namespace measurement;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kLargestPage = 65536;
// As many cell pointers as a page of that size holds, all leading to the
// first byte past them, from where the page is 0xFF to its end: every
// payload size read there runs on while its high bits are set.
constexpr std::size_t kCraftedCells = (kLargestPage - 8) / 6;

std::string craftedLeaf() {
    std::string page(kLargestPage, '\xff');
    const std::size_t cellsAt = 8 + 2 * kCraftedCells;
    auto two = [&](std::size_t at, std::size_t value) {
        page[at] = static_cast<char>(value >> 8);
        page[at + 1] = static_cast<char>(value & 0xff);
    };
    page[0] = '\x0d';
    two(1, 0);
    two(3, kCraftedCells);
    two(5, cellsAt);
    page[7] = 0;
    for (std::size_t i = 0; i < kCraftedCells; ++i) two(8 + 2 * i, cellsAt);
    return page;
}

std::uint32_t integer(const fs::path& path, const char* query) {
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open(path.c_str(), &db) == SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    REQUIRE(sqlite3_prepare_v2(db, query, -1, &statement, nullptr) == SQLITE_OK);
    REQUIRE(sqlite3_step(statement) == SQLITE_ROW);
    const auto value = static_cast<std::uint32_t>(sqlite3_column_int64(statement, 0));
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return value;
}

}  // namespace

TEST_CASE("a leaf of as many cells as it holds, each leading into a run of 0xFF, costs work of the page's size") {
    testsupport::TempDir dir;
    const fs::path path = dir / "crafted.sql";
    testsupport::runSQL(path, "PRAGMA page_size=65536; CREATE TABLE t (a); INSERT INTO t VALUES (1)");
    const std::uint32_t root = integer(path, "SELECT rootpage FROM sqlite_master WHERE name = 't'");
    REQUIRE(testsupport::overwriteBytes(path, (root - 1) * kLargestPage, craftedLeaf()));
    const sqlite_btree::FileImage image(path.string());
    REQUIRE_FALSE(image.unreadable());

    // Each varint is read to nine bytes at most; where the look-up would
    // go on past them, one pass over the page serves every cell.
    sqlite_pages::LeafWork work;
    sqlite_pages::tableLeafRowIDs(image, nullptr, &work);
    CHECK(work.cells == kCraftedCells + 1);  // and the schema's one
    CHECK(work.bytesRead <= 3 * kLargestPage);
    CHECK(work.bytesExamined <= 2 * work.bytesRead);

    // Every cell fails alike: one text names the first and counts the rest.
    const auto walk = sqlite_btree::walkTable(image, root, [](const sqlite_btree::TableCell&) { return true; });
    CHECK(walk.cellsRead == 0);
    CHECK(walk.cellsUnread == kCraftedCells);
    REQUIRE(walk.damage.size() == 1);
    CHECK(walk.damage[0].page == root);
    CHECK(walk.damage[0].why.find(std::to_string(kCraftedCells - 1) + " more of its cells") != std::string::npos);
    CHECK(walk.work <= 4 * kLargestPage);
    const auto leaf = sqlite_btree::rightmostLeaf(image, root);
    CHECK(leaf.damage);
    CHECK(leaf.work <= 2 * kLargestPage);
}

TEST_CASE("cells that overlap give no more payload than twice their page, and a cell led to twice is read once") {
    testsupport::TempDir dir;
    const fs::path path = dir / "overlapping.sql";
    testsupport::runSQL(path, "PRAGMA page_size=4096; CREATE TABLE t (a)");
    const std::uint32_t root = integer(path, "SELECT rootpage FROM sqlite_master WHERE name = 't'");
    // Cells three bytes apart, each a payload size of 3,800 bytes (two
    // bytes) and a key: every payload fits in the page, and each covers
    // the cells after it. Each is led to by two pointers.
    constexpr std::size_t kStarts = 30, kCellArea = 200, kPayload = 3800;
    std::string page(4096, '\0');
    page[0] = '\x0d';
    page[4] = static_cast<char>(2 * kStarts);
    page[5] = static_cast<char>(kCellArea >> 8);
    page[6] = static_cast<char>(kCellArea & 0xff);
    for (std::size_t i = 0; i < 2 * kStarts; ++i) {
        const std::size_t at = kCellArea + 3 * (i / 2);
        page[8 + 2 * i] = static_cast<char>(at >> 8);
        page[9 + 2 * i] = static_cast<char>(at & 0xff);
        page[at] = static_cast<char>(0x80 | (kPayload >> 7));
        page[at + 1] = static_cast<char>(kPayload & 0x7f);
        page[at + 2] = static_cast<char>(1 + i / 2);
    }
    REQUIRE(testsupport::overwriteBytes(path, (root - 1) * 4096, page));
    const sqlite_btree::FileImage image(path.string());
    std::uint64_t payloadBytes = 0;
    const auto walk = sqlite_btree::walkTable(image, root, [&](const sqlite_btree::TableCell& read) {
        payloadBytes += read.payload.size();
        return true;
    });
    CHECK(walk.cellsRead == 2);
    CHECK(walk.cellsRepeated == 2);
    CHECK(walk.cellsUnread == 2 * kStarts - 4);
    CHECK(payloadBytes == 2 * kPayload);
    // The second pointer to the first cell is the first damage; the
    // overlaps are counted with it.
    REQUIRE(walk.damage.size() == 1);
    CHECK(walk.damage[0].why.find("cell 1 leads to a cell read before; " + std::to_string(2 * kStarts - 3) +
                                  " more of its cells") != std::string::npos);
    CHECK(walk.work <= 4 * 4096);
}

TEST_CASE("a committed frame that gives the file 2^32 - 1 pages reads only the pages the file and its log hold") {
    testsupport::TempDir dir;
    const fs::path path = dir / "counted.sql";
    testsupport::runSQL(path, "PRAGMA page_size=4096; PRAGMA journal_mode=WAL; CREATE TABLE t (a); "
                              "INSERT INTO t VALUES (1); PRAGMA wal_checkpoint(TRUNCATE)");
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open(path.c_str(), &db) == SQLITE_OK);
    REQUIRE(sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr) == SQLITE_OK);
    REQUIRE(sqlite3_exec(db, "CREATE TABLE u (b); INSERT INTO u VALUES (randomblob(9000)); INSERT INTO t VALUES (2)",
                         nullptr, nullptr, nullptr) == SQLITE_OK);
    sqlite3_stmt* count = nullptr;
    REQUIRE(sqlite3_prepare_v2(db, "PRAGMA page_count", -1, &count, nullptr) == SQLITE_OK);
    REQUIRE(sqlite3_step(count) == SQLITE_ROW);
    const auto pages = static_cast<std::uint32_t>(sqlite3_column_int64(count, 0));
    sqlite3_finalize(count);
    sqlite3_close(db);
    const std::string log = testsupport::readText(path.string() + "-wal");
    const std::size_t frames = (log.size() - 32) / (24 + 4096);
    REQUIRE(frames >= 2);

    struct Case {
        const char* what;
        // The bytes of the last frame's header that say the pages after it
        // commits, and whether page 1's own count stops holding.
        std::string pagesAfter;
        bool countStopsHolding;
    };
    const std::vector<Case> cases = {
        {"the log's count, the header's not holding", "\xff\xff\xff\xff", true},
        {"the header's count holding", "\xff\xff\xff\xff", false},
        {"a count past the file by one", std::string("\0\0\0", 3) + static_cast<char>(pages + 1), true},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        testsupport::TempDir copy;
        const fs::path at = copy / "counted.sql";
        fs::copy_file(path, at);
        testsupport::writeText(at.string() + "-wal",
                               testsupport::resummedLog(log, 4096, false, SIZE_MAX, [&](std::size_t index, char* frame) {
                                   const bool pageOne = frame[0] == 0 && frame[1] == 0 && frame[2] == 0 && frame[3] == 1;
                                   // The count holds while the change counter (at 24) is the one it was written with (at 92).
                                   if (pageOne && entry.countStopsHolding) frame[24 + 92] = static_cast<char>(frame[24 + 24] ^ 1);
                                   if (index + 1 == frames) entry.pagesAfter.copy(frame + 4, 4);
                               }));
        const sqlite_btree::FileImage image(at.string());
        REQUIRE_FALSE(image.unreadable());
        CHECK(image.committedFrames() == frames);
        CHECK(image.pageCount() == pages);
        CHECK(image.pagesHeld().size() == pages);
        sqlite_pages::LeafWork work;
        CHECK(sqlite_pages::tableLeafRowIDs(image, nullptr, &work) == std::vector<std::int64_t>{1, 2});
        // The log once, and each page the file or the log holds once, a
        // frame's header with it before and after.
        CHECK(work.bytesRead <= log.size() + (pages + 1) * std::uint64_t{4096 + 2 * 24});
        // A page past them is none to read.
        std::vector<unsigned char> bytes(4096);
        std::string why;
        CHECK_FALSE(image.readPage(pages + 1, bytes.data(), &why));
    }
}
