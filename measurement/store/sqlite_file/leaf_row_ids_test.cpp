// Tests that the row IDs of table-leaf pages are read from a file's bytes and its log's as SQLite takes them.
#include <doctest/doctest.h>

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "measurement/store/sqlite_file/leaf_row_ids.h"
#include "testsupport/file_text.h"
#include "testsupport/temp_dir.h"

using namespace measurement::sqlite_pages;

namespace {

constexpr std::size_t kPageSize = 512;

struct Cell {
    std::uint16_t pointer;
    std::vector<unsigned char> bytes;  // written where the pointer, masked into the page, leads
};

std::vector<std::int64_t> rowIDsOfPage(unsigned char flag, std::size_t header, std::uint16_t count,
                                       const std::vector<Cell>& cells) {
    std::vector<unsigned char> page(kPageSize, 0);
    page[header] = flag;
    page[header + 3] = static_cast<unsigned char>(count >> 8);
    page[header + 4] = static_cast<unsigned char>(count & 0xff);
    for (std::size_t i = 0; i < cells.size(); ++i) {
        page[header + 8 + 2 * i] = static_cast<unsigned char>(cells[i].pointer >> 8);
        page[header + 9 + 2 * i] = static_cast<unsigned char>(cells[i].pointer & 0xff);
        for (std::size_t b = 0; b < cells[i].bytes.size(); ++b) {
            page[(cells[i].pointer & (kPageSize - 1)) + b] = cells[i].bytes[b];
        }
    }
    std::vector<std::int64_t> rowIDs;
    addTableLeafRowIDs(page.data(), page.size(), header, &rowIDs);
    return rowIDs;
}

void sql(sqlite3* db, const char* statements) {
    REQUIRE(sqlite3_exec(db, statements, nullptr, nullptr, nullptr) == SQLITE_OK);
}

}  // namespace

TEST_CASE("a table leaf's cells give their row IDs as SQLite's look-up and its in-order read take them") {
    const std::vector<unsigned char> minusOne = {0x05, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    const std::vector<unsigned char> tenByteSize = {0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x01, 0x05};
    struct Case {
        const char* what;
        unsigned char flag;
        std::size_t header;
        std::uint16_t count;
        std::vector<Cell> cells;
        std::vector<std::int64_t> expected;
    };
    const std::vector<Case> cases = {
        {"one-byte and two-byte row IDs", 0x0d, 0, 2, {{200, {0x05, 0x07}}, {300, {0x05, 0x82, 0x2c}}}, {7, 300}},
        {"an interior page gives none", 0x05, 0, 1, {{200, {0x05, 0x07}}}, {}},
        {"page 1: the header after the file's", 0x0d, 100, 1, {{200, {0x05, 0x07}}}, {7}},
        {"a pointer past the page, masked into it", 0x0d, 0, 1, {{kPageSize + 200, {0x05, 0x09}}}, {9}},
        {"a nine-byte row ID", 0x0d, 0, 1, {{200, minusOne}}, {-1}},
        // The look-up skips every byte of the size; the in-order read nine.
        {"a payload size of ten bytes", 0x0d, 0, 1, {{200, tenByteSize}}, {5, 1}},
        // Past the end the look-up finds none; the in-order read reads zeros.
        {"a payload size running off the page", 0x0d, 0, 1, {{kPageSize - 2, {0x81, 0x81}}}, {0}},
        {"only the cells the count says", 0x0d, 0, 1, {{200, {0x05, 0x07}}, {300, {0x05, 0x08}}}, {7}},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        CHECK(rowIDsOfPage(entry.flag, entry.header, entry.count, entry.cells) == entry.expected);
    }
    // A page that says it holds more cells than fit: SQLite reads none past
    // its limit, (512 - 8) / 6 of this size. Their pointers, all zero, lead
    // to the page's own first bytes: row ID 0.
    CHECK(measurement::sqlite_format::maxCellsPerPage(kPageSize) == 84);
    CHECK(rowIDsOfPage(0x0d, 0, 0xffff, {}) == std::vector<std::int64_t>(84, 0));
}

TEST_CASE("every table-leaf image of a file and of its log gives its row IDs, whatever table it holds") {
    // The smallest page size, the usual one, and the largest, which the
    // file's header marks as 1.
    for (const int pageSize : {512, 4096, 65536}) {
        CAPTURE(pageSize);
        testsupport::TempDir dir;
        const auto path = dir / "file.sql";
        sqlite3* db = nullptr;
        REQUIRE(sqlite3_open(path.c_str(), &db) == SQLITE_OK);
        sql(db, ("PRAGMA page_size=" + std::to_string(pageSize) + "; PRAGMA journal_mode=WAL; CREATE TABLE t (a); "
                 "INSERT INTO t (rowid, a) VALUES (100, 'x'), (101, 'y'); PRAGMA wal_checkpoint(TRUNCATE)")
                    .c_str());
        // Row 1 is the table's own row in the schema, on page 1.
        CHECK(tableLeafRowIDs(path) == std::vector<std::int64_t>{1, 100, 101});
        CHECK(measurement::sqlite_btree::FileImage(path).pageSize() == static_cast<std::uint32_t>(pageSize));
        CHECK(measurement::sqlite_btree::FileImage(path).pageCount() == 2);
        REQUIRE(sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr) == SQLITE_OK);
        // Only in the log: a second table's row in the schema, and a row.
        sql(db, "CREATE TABLE u (a); INSERT INTO t (rowid, a) VALUES (1000000, 'z')");
        sqlite3_close(db);
        CHECK(tableLeafRowIDs(path) == std::vector<std::int64_t>{1, 2, 100, 101, 1000000});

        // A file cut short in its header, or none, gives nothing.
        testsupport::writeText(dir / "short.sql", testsupport::readText(path).substr(0, 17));
        CHECK(tableLeafRowIDs(dir / "short.sql").empty());
        CHECK(tableLeafRowIDs(dir / "none.sql").empty());
        CHECK(measurement::sqlite_btree::FileImage(dir / "none.sql").pageCount() == 0);
    }
}
