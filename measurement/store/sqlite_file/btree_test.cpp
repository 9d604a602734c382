// Tests that a table's pages, read past SQLite from a file and its log, give the rows SQLite gives, and end on damage.
#include <doctest/doctest.h>

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "measurement/store/sqlite_file/btree.h"
#include "measurement/store/sqlite_file/sqlite_file_test_support.h"
#include "testsupport/file_text.h"
#include "testsupport/temp_dir.h"

using namespace measurement::sqlite_btree;
namespace fs = std::filesystem;

namespace {

constexpr int kRows = 2000;
// Every this many rows, one that spills onto overflow pages.
constexpr int kLargeEvery = 50;

// A row as its row ID and each value as its type and bytes.
using Row = std::pair<std::int64_t, std::vector<std::string>>;

std::string said(const RecordValue& value) {
    switch (value.type) {
        case RecordValue::Type::integer: return "i" + std::to_string(value.integer);
        case RecordValue::Type::real: return "r" + std::to_string(value.real);
        case RecordValue::Type::text: return "t" + value.bytes;
        case RecordValue::Type::blob: return "b" + value.bytes;
        case RecordValue::Type::null: break;
    }
    return "n";
}

std::string said(sqlite3_stmt* row, int column) {
    const int type = sqlite3_column_type(row, column);
    if (type == SQLITE_INTEGER) return "i" + std::to_string(sqlite3_column_int64(row, column));
    if (type == SQLITE_FLOAT) return "r" + std::to_string(sqlite3_column_double(row, column));
    if (type == SQLITE_NULL) return "n";
    const auto* bytes = static_cast<const char*>(sqlite3_column_blob(row, column));
    return (type == SQLITE_TEXT ? "t" : "b") + std::string(bytes ? bytes : "", sqlite3_column_bytes(row, column));
}

struct Connection {
    explicit Connection(const fs::path& path) { REQUIRE(sqlite3_open(path.c_str(), &db) == SQLITE_OK); }
    ~Connection() { sqlite3_close(db); }
    void run(const std::string& sql) { REQUIRE_MESSAGE(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK, sqlite3_errmsg(db)); }
    std::int64_t integer(const std::string& sql) {
        sqlite3_stmt* statement = nullptr;
        REQUIRE(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK);
        REQUIRE(sqlite3_step(statement) == SQLITE_ROW);
        const auto value = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
        return value;
    }
    // Every row of t in the order its tree gives them.
    std::vector<Row> rows() {
        sqlite3_stmt* statement = nullptr;
        REQUIRE(sqlite3_prepare_v2(db, "SELECT rowid, * FROM t", -1, &statement, nullptr) == SQLITE_OK);
        std::vector<Row> rows;
        while (sqlite3_step(statement) == SQLITE_ROW) {
            Row row{sqlite3_column_int64(statement, 0), {}};
            for (int column = 1; column < sqlite3_column_count(statement); ++column) row.second.push_back(said(statement, column));
            rows.push_back(std::move(row));
        }
        sqlite3_finalize(statement);
        return rows;
    }
    sqlite3* db = nullptr;
};

// Rows of every serial type: integers of each width, reals, the constants
// 0 and 1, NULL, texts and blobs, some spilling over several pages.
void insertRows(Connection& connection, int first, int count, int pageSize) {
    sqlite3_stmt* insert = nullptr;
    REQUIRE(sqlite3_prepare_v2(connection.db, "INSERT INTO t (rowid, a, b, c, d) VALUES (?, ?, ?, ?, ?)", -1, &insert,
                               nullptr) == SQLITE_OK);
    const std::int64_t integers[] = {0, 1, -1, 127, -129, 40000, -8388609, 2147483648, -140737488355329,
                                     std::numeric_limits<std::int64_t>::min()};
    for (int i = first; i < first + count; ++i) {
        sqlite3_reset(insert);
        sqlite3_bind_int64(insert, 1, static_cast<std::int64_t>(i) * 7 - 3000);
        sqlite3_bind_int64(insert, 2, integers[i % 10]);
        sqlite3_bind_double(insert, 3, i * 0.25 - 100);
        const std::string text(static_cast<std::size_t>(i % 23), static_cast<char>('a' + i % 26));
        if (i % 3 == 0) sqlite3_bind_text(insert, 4, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        const std::size_t large = i % (2 * kLargeEvery) == 0 ? static_cast<std::size_t>(pageSize) * 3 + 7
                                                              : static_cast<std::size_t>(pageSize) - 30;
        const std::string blob = testsupport::seededBytes(static_cast<std::uint32_t>(i), i % kLargeEvery == 0 ? large : 5);
        sqlite3_bind_blob(insert, 5, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
        REQUIRE(sqlite3_step(insert) == SQLITE_DONE);
    }
    sqlite3_finalize(insert);
}

// The rows the walk gives, decoded.
std::vector<Row> walked(const FileImage& image, std::uint32_t root, TableWalk* walk = nullptr) {
    REQUIRE_FALSE(image.unreadable());
    std::vector<Row> rows;
    const auto result = walkTable(image, root, [&](const TableCell& cell) {
        std::string why;
        const auto record = decodeRecord(cell.payload, &why);
        Row row{cell.rowID, {}};
        for (const auto& value : record.value_or(Record{})) row.second.push_back(said(value));
        if (!record) row.second.push_back(why);
        rows.push_back(std::move(row));
        return true;
    });
    if (walk) *walk = result;
    return rows;
}

}  // namespace

TEST_CASE("a table's pages read past SQLite give the rows SQLite gives, from the file and the frames its log committed") {
    struct Case {
        int pageSize;
        int reserved;
    };
    for (const Case size : {Case{512, 0}, Case{1024, 32}, Case{4096, 0}, Case{65536, 0}}) {
        CAPTURE(size.pageSize);
        testsupport::TempDir dir;
        const fs::path path = dir / "t.sql";
        std::uint32_t root = 0;
        std::vector<Row> committed;
        std::size_t committedFrames = 0;
        // What stands in the folder while a transaction that spilled its
        // pages into the log is still open: a crash would leave this.
        const fs::path spilled = dir / "spilled.sql";
        {
            Connection connection(path);
            int reserved = size.reserved;
            REQUIRE(sqlite3_file_control(connection.db, "main", SQLITE_FCNTL_RESERVE_BYTES, &reserved) == SQLITE_OK);
            REQUIRE(sqlite3_db_config(connection.db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr) == SQLITE_OK);
            connection.run("PRAGMA page_size=" + std::to_string(size.pageSize) +
                           "; PRAGMA journal_mode=WAL; PRAGMA cache_size=10; CREATE TABLE t (a, b, c, d)");
            insertRows(connection, 0, kRows, size.pageSize);
            connection.run("PRAGMA wal_checkpoint(TRUNCATE)");
            root = static_cast<std::uint32_t>(connection.integer("SELECT rootpage FROM sqlite_master WHERE name = 't'"));
            CHECK(walked(FileImage(connection.db), root) == connection.rows());
            // Newer rows in the log only, two commits.
            insertRows(connection, kRows, kRows / 4, size.pageSize);
            insertRows(connection, kRows + kRows / 4, 3, size.pageSize);
            committed = connection.rows();
            committedFrames = (fs::file_size(path.string() + "-wal") - 32) / (24 + static_cast<std::size_t>(size.pageSize));
            connection.run("BEGIN; DELETE FROM t WHERE rowid % 3 = 0");
            insertRows(connection, 2 * kRows, kRows / 4, size.pageSize);
            fs::copy_file(path, spilled);
            fs::copy_file(path.string() + "-wal", spilled.string() + "-wal");
            connection.run("ROLLBACK");
        }
        CHECK(walked(FileImage(path), root) == committed);
        const std::string spilledLog = testsupport::readText(spilled.string() + "-wal");
        const std::size_t frame = 24 + static_cast<std::size_t>(size.pageSize);
        REQUIRE(spilledLog.size() > 32 + committedFrames * frame);

        // The files as they lie, then with their log's checksums in the other
        // byte order, a byte of the last commit's frame changed (the frames
        // from it on do not count), and the log restarted with new salts
        // over older frames.
        const std::vector<std::pair<std::string, std::function<void(const fs::path&)>>> logs = {
            {"uncommitted frames", [](const fs::path&) {}},
            {"big-endian checksums", [&](const fs::path& at) {
                 testsupport::writeText(at.string() + "-wal", testsupport::resummedLog(spilledLog, frame - 24, true, SIZE_MAX));
             }},
            {"the last commit of another salt", [&](const fs::path& at) {
                 testsupport::writeText(at.string() + "-wal", testsupport::resummedLog(spilledLog, frame - 24, false, committedFrames - 1));
             }},
            {"a damaged frame", [&](const fs::path& at) {
                 REQUIRE(testsupport::overwriteBytes(at.string() + "-wal", 32 + (committedFrames - 1) * frame + 100, "\x5a"));
             }},
            {"a restarted log", [&](const fs::path& at) {
                 Connection connection(at);
                 REQUIRE(sqlite3_db_config(connection.db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr) == SQLITE_OK);
                 connection.run("PRAGMA wal_checkpoint(PASSIVE)");
                 insertRows(connection, 3 * kRows, 2, size.pageSize);
             }},
        };
        for (const auto& log : logs) {
            CAPTURE(log.first);
            testsupport::TempDir copy;
            const fs::path at = copy / "t.sql";
            fs::copy_file(spilled, at);
            fs::copy_file(spilled.string() + "-wal", at.string() + "-wal");
            log.second(at);
            const auto rows = walked(FileImage(at), root);
            const std::uint64_t frames = FileImage(at).committedFrames();
            Connection connection(at);
            CHECK(rows == connection.rows());
            // The same through the connection's handles.
            CHECK(walked(FileImage(connection.db), root) == rows);
            int logged = -1, copied = -1;
            REQUIRE(sqlite3_wal_checkpoint_v2(connection.db, "main", SQLITE_CHECKPOINT_PASSIVE, &logged, &copied) == SQLITE_OK);
            CHECK(frames == static_cast<std::uint64_t>(logged));
        }
    }
}

TEST_CASE("a walk over damaged pages reads each page once, ends, and names what does not read") {
    testsupport::TempDir dir;
    const fs::path intact = dir / "intact.sql";
    std::uint32_t root = 0, pages = 0, overflow = 0;
    std::vector<std::uint32_t> leaves;
    {
        Connection connection(intact);
        connection.run("PRAGMA page_size=4096; CREATE TABLE t (a, b, c, d)");
        insertRows(connection, 0, kRows, 4096);
        root = static_cast<std::uint32_t>(connection.integer("SELECT rootpage FROM sqlite_master WHERE name = 't'"));
        pages = static_cast<std::uint32_t>(connection.integer("PRAGMA page_count"));
        sqlite3_stmt* statement = nullptr;
        REQUIRE(sqlite3_prepare_v2(connection.db, "SELECT pageno FROM dbstat WHERE name = 't' AND pagetype = 'leaf' ORDER BY path",
                                   -1, &statement, nullptr) == SQLITE_OK);
        while (sqlite3_step(statement) == SQLITE_ROW) leaves.push_back(static_cast<std::uint32_t>(sqlite3_column_int64(statement, 0)));
        sqlite3_finalize(statement);
        overflow = static_cast<std::uint32_t>(connection.integer(
            "SELECT pageno FROM dbstat WHERE name = 't' AND pagetype = 'overflow' ORDER BY path LIMIT 1"));
    }
    REQUIRE(leaves.size() > 8);
    const std::uint32_t firstLeaf = leaves.front();
    TableWalk walk;
    REQUIRE(walked(FileImage(intact), root, &walk).size() == kRows);
    CHECK(walk.damage.empty());
    CHECK(walk.pagesRead == pages - 1);  // all but the schema's page
    auto bytes = [](std::uint32_t value) {
        return std::string{static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
                           static_cast<char>(value)};
    };
    struct Case {
        std::string what;
        std::uint32_t page;
        std::size_t offset;
        std::string bytes;
        // What the damage names: its page, and words of why.
        std::uint32_t named;
        std::string why;
        // The rows the walk still gives, when known.
        int rowsRead = -1;
    };
    // The third leaf's first cell pointer led before its page's cells:
    // that one row is lost, the leaf's others read.
    const std::uint32_t third = leaves[2];
    std::vector<Case> cases = {
        {"the root's last child leading back to it", root, 8, bytes(root), root, "leads to it again"},
        {"an overflow chain leading back into itself", overflow, 0, bytes(overflow), firstLeaf, "read before"},
        {"a leaf's type", firstLeaf, 0, "\x02", firstLeaf, "no table page"},
        {"a leaf's cell count", firstLeaf, 3, "\xff\xff", firstLeaf, "run past it"},
        {"one cell pointer of a leaf", third, 8, std::string(2, '\0'), third, "off the page's cells", kRows - 1},
        // A page's second cell that does not read is counted in its first's entry.
        {"two cell pointers of a leaf", third, 8, std::string(4, '\0'), third, "; 1 more of its cells do not read",
         kRows - 2},
    };
    for (std::uint32_t seed = 0; seed < 8; ++seed) {
        const auto leaf = leaves[seed * 7 % leaves.size()];
        cases.push_back({"random bytes, seed " + std::to_string(seed), leaf, 8, testsupport::seededBytes(seed, 600), leaf, ""});
    }
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        testsupport::TempDir copy;
        const fs::path path = copy / "t.sql";
        fs::copy_file(intact, path);
        REQUIRE(testsupport::overwriteBytes(path, (entry.page - 1) * std::size_t{4096} + entry.offset, entry.bytes));
        const auto rows = walked(FileImage(path), root, &walk);
        CHECK(walk.pagesRead <= pages);
        CHECK(walk.cellsRead <= kRows);
        if (entry.rowsRead >= 0) CHECK(rows.size() == static_cast<std::size_t>(entry.rowsRead));
        const bool named = std::any_of(walk.damage.begin(), walk.damage.end(), [&](const PageDamage& damage) {
            return (entry.named == 0 || damage.page == entry.named) && damage.why.find(entry.why) != std::string::npos;
        });
        const std::string first = walk.damage.empty() ? "no damage named" : walk.damage.front().why;
        CHECK_MESSAGE(named, first);
    }
}

namespace {

// A file's bytes whose reads of one page fail, once asked, as a disk's do.
class FailingAtPage final : public measurement::APMByteSource {
public:
    FailingAtPage(const fs::path& path, std::size_t pageSize) : file_(path.string()), pageSize_(pageSize) {}
    void failAt(std::uint32_t page) { page_ = page; }
    int openError() const override { return file_.openError(); }
    std::uint64_t size() const override { return file_.size(); }
    bool read(std::uint64_t at, std::size_t length, unsigned char* into, int* readError) const override {
        const std::uint64_t first = std::uint64_t{page_ - 1} * pageSize_;
        if (page_ == 0 || at >= first + pageSize_ || at + length <= first) return file_.read(at, length, into, readError);
        std::fill(into, into + length, 0);
        if (readError) *readError = EIO;
        return false;
    }

private:
    measurement::APMFileBytes file_;
    std::size_t pageSize_;
    std::uint32_t page_ = 0;
};

}  // namespace

TEST_CASE("a page read the system fails ends the walk as a failure, and names no damage") {
    constexpr int kSmallPage = 512;
    testsupport::TempDir dir;
    const fs::path path = dir / "t.sql";
    std::uint32_t root = 0, middleLeaf = 0, lastLeaf = 0, overflow = 0, interior = 0;
    {
        Connection connection(path);
        // Small pages: a tree of two levels of interior pages.
        connection.run("PRAGMA page_size=" + std::to_string(kSmallPage) + "; CREATE TABLE t (a, b, c, d)");
        insertRows(connection, 0, kRows, kSmallPage);
        root = static_cast<std::uint32_t>(connection.integer("SELECT rootpage FROM sqlite_master WHERE name = 't'"));
        auto page = [&](const std::string& type, const std::string& order) {
            return static_cast<std::uint32_t>(connection.integer("SELECT pageno FROM dbstat WHERE name = 't' AND pagetype = '" +
                                                                 type + "' ORDER BY " + order + " LIMIT 1"));
        };
        middleLeaf = static_cast<std::uint32_t>(connection.integer(
            "SELECT pageno FROM dbstat WHERE name = 't' AND pagetype = 'leaf' ORDER BY path LIMIT 1 OFFSET 5"));
        lastLeaf = page("leaf", "path DESC");
        overflow = page("overflow", "path");
        interior = page("internal", "path DESC");
    }
    REQUIRE(interior != root);
    const measurement::APMFileBytes log(path.string() + "-wal");
    struct Case {
        const char* what;
        std::uint32_t page;
        bool onTheWayToTheLastLeaf;
    };
    const std::vector<Case> cases = {
        {"the root", root, true},
        {"an interior page", interior, true},
        {"a leaf", middleLeaf, false},
        {"an overflow page", overflow, false},
        {"the leaf rows are appended to", lastLeaf, true},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        FailingAtPage file(path, kSmallPage);
        const FileImage image(file, log);
        REQUIRE_FALSE(image.unreadable());
        file.failAt(entry.page);
        const std::string said = "page " + std::to_string(entry.page) + " cannot be read: " + std::strerror(EIO);
        std::size_t heard = 0, rows = 0;
        const auto walk = walkTable(
            image, root, [&](const TableCell&) { return ++rows, true; }, [&](const PageDamage&) { ++heard; });
        REQUIRE(walk.failed);
        CHECK(walk.failed->find(said) != std::string::npos);
        CHECK(walk.damage.empty());
        CHECK(heard == 0);
        CHECK(rows < static_cast<std::size_t>(kRows));
        const auto leaf = rightmostLeaf(image, root);
        CHECK_FALSE(leaf.damage);
        CHECK(leaf.failed.has_value() == entry.onTheWayToTheLastLeaf);
        if (leaf.failed) CHECK(leaf.cells.empty());
    }
}

TEST_CASE("records decode as SQLite gives their values, and a malformed one is named, never read past") {
    struct Case {
        std::string what;
        std::string payload;
        std::vector<std::string> values;  // none: malformed
        std::string why = {};
    };
    const std::vector<Case> cases = {
        {"integers of each width",
         std::string("\x7\x1\x2\x3\x4\x5\x6" "\xff" "\x7f\xff" "\x80\x00\x00" "\x00\x00\x00\x01", 17) +
             std::string(13, '\0') + "\x02",
         {"i-1", "i32767", "i-8388608", "i1", "i0", "i2"}},
        {"a real, the constants, NULL", std::string("\x5\x7\x8\x9\x0\x40\x09\x00\x00\x00\x00\x00\x00", 13), {"r3.125000", "i0", "i1", "n"}},
        {"a stored NaN reads as NULL", std::string("\x2\x7\x7f\xf8\x00\x00\x00\x00\x00\x00", 10), {"n"}},
        {"text and blob", std::string("\x3\x13\x10xyz\x01\x02", 8), {"txyz", "b\x01\x02"}},
        {"no header at all", std::string("\x0", 1), {}},
        {"a reserved type", std::string("\x2\xa", 2), {}, "reserved"},
        {"a header past the record", std::string("\x9\x1", 2), {}, "header runs past"},
        {"a value past the record", std::string("\x2\x6\x1", 3), {}, "run past"},
        {"bytes left over", std::string("\x2\x1\x5\x6", 4), {}, "do not fill"},
        {"a header ending inside a serial type", std::string("\x2\x81", 2), {}, "past its own size"},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        std::string why;
        const auto record = decodeRecord(entry.payload, &why);
        if (!entry.why.empty()) {
            CHECK_FALSE(record);
            CHECK(why.find(entry.why) != std::string::npos);
            continue;
        }
        REQUIRE(record);
        std::vector<std::string> values;
        for (const auto& value : *record) values.push_back(said(value));
        CHECK(values == entry.values);
    }
}

namespace {

std::size_t twoBytesAt(const std::string& bytes, std::size_t at) {
    return (static_cast<std::size_t>(static_cast<unsigned char>(bytes.at(at))) << 8) | static_cast<unsigned char>(bytes.at(at + 1));
}

}  // namespace

TEST_CASE("the way down to the page a table appends to reads whole only with each page's keys strictly ascending") {
    testsupport::TempDir dir;
    const fs::path intact = dir / "intact.sql";
    std::uint32_t root = 0;
    {
        Connection connection(intact);
        connection.run("PRAGMA page_size=1024; CREATE TABLE t (a, b, c, d)");
        insertRows(connection, 0, kRows, 1024);
        root = static_cast<std::uint32_t>(connection.integer("SELECT rootpage FROM sqlite_master WHERE name = 't'"));
    }
    const std::string file = testsupport::readText(intact);
    const std::size_t page = (root - 1) * std::size_t{1024};
    REQUIRE(file.at(page) == '\x05');
    const std::size_t cells = twoBytesAt(file, page + 3);
    REQUIRE(cells >= 3);
    // An interior cell: its child's page number, then its key; the last
    // keys here take two bytes each.
    auto keyAt = [&](std::size_t index) { return page + twoBytesAt(file, page + 12 + 2 * index) + 4; };
    auto key = [&](std::size_t index) { return file.substr(keyAt(index), 2); };
    for (std::size_t index = cells - 3; index < cells; ++index) {
        REQUIRE((static_cast<unsigned char>(key(index)[0]) & 0x80) != 0);
        REQUIRE((static_cast<unsigned char>(key(index)[1]) & 0x80) == 0);
    }
    struct Case {
        const char* what;
        std::string lastKey;
        bool whole;
    };
    const std::vector<Case> cases = {
        {"as written", key(cells - 1), true},
        {"the last key equal to the one before", key(cells - 2), false},
        {"the last key below the one before", key(cells - 3), false},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        testsupport::TempDir copy;
        const fs::path path = copy / "t.sql";
        fs::copy_file(intact, path);
        REQUIRE(testsupport::overwriteBytes(path, keyAt(cells - 1), entry.lastKey));
        const auto leaf = rightmostLeaf(FileImage(path), root);
        CHECK(leaf.damage.has_value() == !entry.whole);
        if (leaf.damage) {
            CHECK(leaf.damage->page == root);
            CHECK(leaf.damage->why.find("out of order") != std::string::npos);
        }
    }
}

TEST_CASE("a cell's overflow page number in the bytes its page reserves is read as SQLite reads it, and is damage to "
          "the page a table appends to") {
    // Pages of 1024 bytes, 32 of them reserved: the usable bytes end at 992.
    constexpr std::size_t kPage = 1024, kUsable = 992;
    testsupport::TempDir dir;
    const fs::path intact = dir / "intact.sql";
    std::uint32_t root = 0;
    std::vector<Row> rows;
    {
        Connection connection(intact);
        int reserved = static_cast<int>(kPage - kUsable);
        REQUIRE(sqlite3_file_control(connection.db, "main", SQLITE_FCNTL_RESERVE_BYTES, &reserved) == SQLITE_OK);
        connection.run("PRAGMA page_size=1024; CREATE TABLE t (a); INSERT INTO t VALUES (randomblob(3000))");
        root = static_cast<std::uint32_t>(connection.integer("SELECT rootpage FROM sqlite_master WHERE name = 't'"));
        rows = connection.rows();
    }
    const std::string file = testsupport::readText(intact);
    const std::size_t page = (root - 1) * kPage;
    REQUIRE(twoBytesAt(file, page + 3) == 1);
    // The one cell lies at the end of the usable bytes, its overflow page
    // number last.
    const std::size_t start = twoBytesAt(file, page + 8);
    const std::string cell = file.substr(page + start, kUsable - start);
    const std::string firstOverflow = cell.substr(cell.size() - 4);
    struct Case {
        const char* what;
        // How far the cell moves towards the page's end, and whether the
        // page reads whole as the one the next row goes to.
        std::size_t shift;
        bool reads;
    };
    const std::vector<Case> cases = {
        {"ending with the usable bytes", 0, true},
        {"its overflow page number in the reserved bytes", 4, false},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        testsupport::TempDir copy;
        const fs::path path = copy / "t.sql";
        fs::copy_file(intact, path);
        const std::size_t moved = start + entry.shift;
        std::string bytes = file.substr(page, kPage);
        bytes.replace(moved, cell.size() - 4, cell.substr(0, cell.size() - 4));
        // The page number where a reading past the usable bytes finds it.
        bytes.replace(moved + cell.size() - 4, 4, firstOverflow);
        bytes[8] = static_cast<char>(moved >> 8);
        bytes[9] = static_cast<char>(moved & 0xff);
        bytes[5] = bytes[8];
        bytes[6] = bytes[9];
        REQUIRE(testsupport::overwriteBytes(path, page, bytes));
        TableWalk walk;
        const auto read = walked(FileImage(path), root, &walk);
        const auto leaf = rightmostLeaf(FileImage(path), root);
        if (entry.reads) {
            CHECK(read == rows);
            CHECK(walk.damage.empty());
            CHECK_FALSE(leaf.damage);
            continue;
        }
        // SQLite reads the cell to the page's end: so does the walk. The
        // page the next row goes to must read whole within its usable bytes.
        CHECK(read == rows);
        CHECK(walk.damage.empty());
        REQUIRE(leaf.damage);
        CHECK(leaf.damage->why.find("runs past the page") != std::string::npos);
    }
}

TEST_CASE("the text of a UTF-16 file reads as the UTF-8 SQLite gives of the same bytes, however odd its units") {
    // Units drawn mostly from the edges UTF-16 readers differ on:
    // surrogates of either half, alone, paired, in the wrong order, at the
    // end; a mark of byte order; NUL.
    const std::uint16_t pool[] = {0x0041, 0x0000, 0x007f, 0x0080, 0x07ff, 0x0800, 0xfeff, 0xffff,
                                  0xd800, 0xdbff, 0xdc00, 0xdfff, 0xd83d, 0xde00, 0xe000, 0x00e9};
    constexpr int kTexts = 600;
    constexpr std::size_t kMostUnits = 9;
    std::uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7fff; };
    auto hexOf = [](unsigned unit, bool bigEndian) {
        static const char* digits = "0123456789abcdef";
        const unsigned high = (unit >> 8) & 0xff, low = unit & 0xff;
        std::string hex;
        for (const unsigned byte : {bigEndian ? high : low, bigEndian ? low : high}) {
            hex += digits[byte >> 4];
            hex += digits[byte & 15];
        }
        return hex;
    };
    for (const bool bigEndian : {false, true}) {
        CAPTURE(bigEndian);
        testsupport::TempDir dir;
        const fs::path path = dir / "utf16.sql";
        {
            Connection connection(path);
            connection.run(std::string("PRAGMA encoding='") + (bigEndian ? "UTF-16be" : "UTF-16le") +
                           "'; CREATE TABLE t (v, w)");
            // Written as literals of the file's own bytes: a bound value
            // would be taken as UTF-8 and made valid on its way in.
            std::string values;
            for (int i = 1; i <= kTexts; ++i) {
                std::string hex;
                for (std::size_t unit = next() % kMostUnits; unit-- > 0;) hex += hexOf(pool[next() % std::size(pool)], bigEndian);
                values += (values.empty() ? "" : ", ") + ("(" + std::to_string(i) + ", CAST(x'" + hex + "' AS TEXT))");
            }
            connection.run("INSERT INTO t (rowid, v) VALUES " + values);
            connection.run("INSERT INTO t (rowid, v, w) VALUES (0, CAST(x'" + hexOf('Z', bigEndian) +
                           hexOf('Y', bigEndian) + "' AS TEXT), x'7e')");
        }
        // SQLite writes no text of an odd byte count, but reads one: row 0's
        // record made to hold 3 bytes of text and 2 of blob, not 4 and 1.
        const std::string record = std::string("\x03\x15\x0e") + (bigEndian ? std::string("\0Z\0Y", 4) : std::string("Z\0Y\0", 4)) + "\x7e";
        const auto at = testsupport::readText(path).find(record);
        REQUIRE(at != std::string::npos);
        REQUIRE(testsupport::overwriteBytes(path, at + 1, "\x13\x10"));
        std::vector<std::pair<std::int64_t, std::string>> expected;
        {
            Connection connection(path);
            sqlite3_stmt* read = nullptr;
            REQUIRE(sqlite3_prepare_v2(connection.db, "SELECT rowid, v FROM t", -1, &read, nullptr) == SQLITE_OK);
            while (sqlite3_step(read) == SQLITE_ROW) {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(read, 1));
                expected.emplace_back(sqlite3_column_int64(read, 0),
                                      std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(read, 1))));
            }
            sqlite3_finalize(read);
        }
        REQUIRE(expected.size() == kTexts + 1);
        CHECK(expected.front() == std::pair<std::int64_t, std::string>(0, "Z"));
        const FileImage image(path.string());
        CHECK(image.textEncoding() == (bigEndian ? TextEncoding::utf16be : TextEncoding::utf16le));
        std::vector<std::pair<std::int64_t, std::string>> read;
        walkTable(image, 2, [&](const TableCell& cell) {
            std::string why;
            const auto values = decodeRecord(cell.payload, &why);
            REQUIRE(values);
            read.emplace_back(cell.rowID, utf8Text(values->at(0).bytes, image.textEncoding()));
            return true;
        });
        CHECK(read == expected);
    }
}
