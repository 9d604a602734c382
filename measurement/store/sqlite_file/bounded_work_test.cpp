// Tests that reading crafted pages costs work bounded by the bytes of the pages read, counted, never timed.
#include <doctest/doctest.h>

#include <sqlite3.h>

#include <algorithm>
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

namespace {

// A table whose root is an interior page of 64 KiB pages leading to
// `interior` more interior pages after it, each of as many cells as fit,
// every cell's child lying past the file (one of them the page that
// `farPage` names).
struct FanOut {
    fs::path path;
    std::uint32_t root = 0;
    std::uint32_t pages = 0;
    std::uint64_t children = 0;
};

// Cells of four bytes of child and a key of one byte, each with its pointer.
constexpr std::size_t kFanCell = 5;
constexpr std::size_t kFanCells = (kLargestPage - 12) / (kFanCell + 2);

std::string interiorPage(const std::vector<std::uint32_t>& children, std::uint32_t rightChild) {
    std::string page(kLargestPage, '\0');
    auto put = [&](std::size_t at, std::uint64_t value, int width) {
        for (int i = 0; i < width; ++i) page[at + i] = static_cast<char>(value >> (8 * (width - 1 - i)));
    };
    const std::size_t area = kLargestPage - children.size() * kFanCell;
    page[0] = '\x05';
    put(3, children.size(), 2);
    put(5, area, 2);
    put(8, rightChild, 4);
    for (std::size_t i = 0; i < children.size(); ++i) {
        const std::size_t at = area + i * kFanCell;
        put(12 + 2 * i, at, 2);
        put(at, children[i], 4);
        page[at + 4] = static_cast<char>(i & 0x7f);
    }
    return page;
}

FanOut fanOut(const fs::path& folder, std::uint32_t interior, std::uint32_t farPage) {
    FanOut made;
    made.path = folder / "fan-out.sql";
    testsupport::runSQL(made.path, "PRAGMA page_size=65536; CREATE TABLE t (a); INSERT INTO t VALUES (1)");
    made.root = integer(made.path, "SELECT rootpage FROM sqlite_master WHERE name = 't'");
    const std::uint32_t first = integer(made.path, "PRAGMA page_count") + 1;
    std::vector<std::uint32_t> below;
    for (std::uint32_t i = 0; i < interior; ++i) below.push_back(first + i);
    const std::uint32_t last = below.back();
    below.pop_back();
    std::string pages = interiorPage(below, last);
    REQUIRE(testsupport::overwriteBytes(made.path, (made.root - 1) * kLargestPage, pages));
    made.pages = first - 1 + interior;
    std::string grown;
    for (std::uint32_t i = 0; i < interior; ++i) {
        std::vector<std::uint32_t> children;
        for (std::size_t cell = 0; cell < kFanCells; ++cell) {
            children.push_back(static_cast<std::uint32_t>(made.pages + 1 + (i * kFanCells + cell) * 7919 % 0x7ffffff0));
        }
        children.back() = farPage;
        grown += interiorPage(children, farPage - 1);
        made.children += kFanCells + 1;
    }
    REQUIRE(testsupport::overwriteBytes(made.path, std::uint64_t{first - 1} * kLargestPage, grown));
    // The header counts the pages it now holds.
    const std::string count = {static_cast<char>(made.pages >> 24), static_cast<char>(made.pages >> 16),
                               static_cast<char>(made.pages >> 8), static_cast<char>(made.pages)};
    REQUIRE(testsupport::overwriteBytes(made.path, 28, count));
    return made;
}

}  // namespace

TEST_CASE("interior pages whose children all lie past the file, and a committed frame for page 2^32 - 1: the walk's "
          "work and memory stay within the bytes of the file and its log") {
    constexpr std::uint32_t kInterior = 64;
    constexpr std::uint32_t kLastPage = 0xffffffff;
    testsupport::TempDir dir;
    const FanOut made = fanOut(dir.path(), kInterior, kLastPage);
    // A log of one committed frame: the root's page again, as page 2^32 - 1
    // of a file of 2^32 - 1 pages, summed as SQLite sums it.
    const std::string page = testsupport::readText(made.path.string()).substr((made.root - 1) * kLargestPage, kLargestPage);
    std::string log(32, '\0');
    // Magic, version, page size, checkpoint, salts.
    const std::uint32_t header[] = {0x377f0682, 3007000, static_cast<std::uint32_t>(kLargestPage), 0, 0x01020304,
                                    0x05060708};
    for (std::size_t i = 0; i < 6; ++i) {
        for (int b = 0; b < 4; ++b) log[i * 4 + b] = static_cast<char>(header[i] >> (24 - 8 * b));
    }
    log += std::string(24, '\0') + page;
    log = testsupport::resummedLog(log, kLargestPage, false, SIZE_MAX, [&](std::size_t, char* at) {
        for (int b = 0; b < 4; ++b) {
            at[b] = '\xff';      // its page
            at[4 + b] = '\xff';  // the pages after its commit
            at[8 + b] = log[16 + b];
            at[12 + b] = log[20 + b];
        }
    });
    testsupport::writeText(made.path.string() + "-wal", log);
    // Page 1's count no longer holds (its change counter, at 24, is not the
    // one it was written with, at 92): the log's count is taken.
    REQUIRE(testsupport::overwriteBytes(made.path, 92, "\x7f"));

    const sqlite_btree::FileImage image(made.path.string());
    REQUIRE_FALSE(image.unreadable());
    REQUIRE(image.committedFrames() == 1);
    // The file's pages and the one the log holds past them, not 2^32 - 1.
    CHECK(image.pageCount() == made.pages + 1);
    CHECK(image.holds(kLastPage));
    CHECK_FALSE(image.holds(kLastPage - 1));
    const std::uint64_t heldBytes = std::uint64_t{image.pageCount()} * kLargestPage;

    const auto walk = sqlite_btree::walkTable(image, made.root, [](const sqlite_btree::TableCell&) { return true; });
    // Every interior page once (the root and the 64 below it), and page
    // 2^32 - 1 once (the root's image, which leads back to pages read
    // before): nothing is read or filled in for the children past them.
    CHECK(walk.pagesRead == kInterior + 2);
    CHECK(walk.pagesRead <= image.pageCount());
    CHECK(walk.work <= heldBytes);
    // What waits and what is kept: a few bytes for each cell of the pages
    // read, and two damage entries at most for each interior page.
    CHECK(walk.mostWaiting <= made.children + kInterior);
    CHECK(walk.mostWaiting * 16 <= heldBytes);
    CHECK(walk.damage.size() <= 2 * (kInterior + 1));
    std::size_t kept = 0;
    for (const auto& damage : walk.damage) kept += damage.why.size();
    CHECK(kept <= 256 * walk.damage.size());
    // The children that lie past the pages held are named, and counted
    // with their parent's.
    CHECK(std::any_of(walk.damage.begin(), walk.damage.end(), [](const sqlite_btree::PageDamage& damage) {
        return damage.why.find("none the file or its log holds") != std::string::npos &&
               damage.why.find(std::to_string(kFanCells - 1) + " more children of page") != std::string::npos;
    }));
}
