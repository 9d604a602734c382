// Fuzz target: arbitrary bytes as a database file and its write-ahead log,
// read by the page parser, whose row IDs must hold every row ID SQLite's
// own in-order read of the file's tables gives; and walked as table trees
// from each of its first pages, every cell's record decoded: each walk
// ends, reading no page twice.
//
// Input: four bytes (big-endian) giving the length of the file's part, the
// file's bytes, then the log's (none when nothing is left).
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "measurement/store/sqlite_file/btree.h"
#include "measurement/store/sqlite_file/leaf_row_ids.h"

namespace {

namespace pages = measurement::sqlite_pages;
namespace btree = measurement::sqlite_btree;
using measurement::sqlite_format::maxCellsPerPage;

constexpr std::size_t kLengthBytes = 4;
// SQLite's work on one input is bounded: a tree that damage made into a
// circle is read round no more than this many steps of its machine.
constexpr int kProgressSteps = 1000;
constexpr int kMaxProgressCalls = 10000;
// The pages walked from as roots.
constexpr std::uint32_t kWalkedRoots = 64;
// The work of a reading, per byte of the pages it reads, at most: each
// page's bytes, its cells' payloads (twice the page where cells overlap),
// and two varints of each cell.
constexpr std::uint64_t kWorkPerPageByte = 8;

void fail(const char* what, long long value) {
    std::fprintf(stderr, "sqlite_pages: %s (%lld)\n", what, value);
    ::abort();
}

// A folder of this process's own, made once, reused by every input and
// removed as the process ends.
class Scratch {
public:
    Scratch() {
        std::string pattern = (std::filesystem::temp_directory_path() / "velmora-fuzz-pages-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) fail("no scratch folder", errno);
        folder_ = pattern;
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    const std::filesystem::path& folder() const { return folder_; }

private:
    std::filesystem::path folder_;
};

const std::filesystem::path& scratch() {
    static const Scratch made;
    return made.folder();
}

void write(const std::filesystem::path& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

int stopAfterManySteps(void* calls) { return ++*static_cast<int*>(calls) > kMaxProgressCalls; }

// Every row ID SQLite's in-order read of each table gives, up to the first
// error: read from leaf cells, so each must be among the parser's.
std::vector<std::int64_t> rowIDsSQLiteReads(const std::filesystem::path& path) {
    std::vector<std::int64_t> rowIDs;
    sqlite3* db = nullptr;
    const std::string uri = "file:" + path.string() + "?immutable=1";
    if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return rowIDs;
    }
    int calls = 0;
    sqlite3_progress_handler(db, kProgressSteps, &stopAfterManySteps, &calls);
    std::vector<std::string> tables;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type = 'table'", -1, &statement, nullptr) ==
        SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW) {
            const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
            if (name) tables.emplace_back(name);
        }
    }
    sqlite3_finalize(statement);
    for (const auto& table : tables) {
        std::string quoted = "\"";
        for (const char c : table) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
        const std::string sql = "SELECT rowid FROM " + quoted + "\" NOT INDEXED";
        statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
            while (sqlite3_step(statement) == SQLITE_ROW) rowIDs.push_back(sqlite3_column_int64(statement, 0));
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return rowIDs;
}

// Whether a cell of a table-leaf page has its key run past the page's end:
// SQLite then reads its key from the memory after the page, not from the
// file, and no reader of the file's bytes can know it. Keys are compared
// only where SQLite reads them from the file.
bool keyRunsPastAPage(const std::uint8_t* file, std::size_t size, std::uint32_t pageSize) {
    constexpr std::size_t kVarintBytes = 9;
    if (pageSize == 0) return false;
    std::vector<std::uint8_t> page(pageSize);
    for (std::size_t start = 0; start < size; start += pageSize) {
        // A last page cut short reads as zeros past the file's end.
        std::fill(page.begin(), page.end(), 0);
        std::copy(file + start, file + std::min<std::size_t>(size, start + pageSize), page.begin());
        const std::size_t header = start == 0 ? 100 : 0;
        if (page[header] != 0x0d) continue;
        const std::size_t cells = std::min<std::size_t>((page[header + 3] << 8) | page[header + 4],
                                                        maxCellsPerPage(pageSize));
        for (std::size_t i = 0; i < cells && header + 8 + 2 * i + 2 <= pageSize; ++i) {
            std::size_t at = ((page[header + 8 + 2 * i] << 8) | page[header + 9 + 2 * i]) & (pageSize - 1);
            // The payload's size, then the row ID: nine bytes at most each.
            for (int varint = 0; varint < 2; ++varint) {
                for (std::size_t read = 1; at < pageSize && (page[at] & 0x80) && read < kVarintBytes; ++read) ++at;
                if (++at > pageSize) return true;
            }
        }
    }
    return false;
}

// Each page a walk reads gives no more cells than a page can hold, for
// work and memory bounded by the bytes of the pages the file and its log
// hold, however many child numbers the pages name.
void walkFromEachRoot(const std::filesystem::path& file) {
    const btree::FileImage image(file.string());
    if (image.unreadable()) return;
    const std::uint64_t cellsPerPage = maxCellsPerPage(image.pageSize());
    const std::uint64_t heldBytes = std::uint64_t{image.pageCount()} * image.pageSize();
    for (std::uint32_t root = 1; root <= std::min(image.pageCount(), kWalkedRoots); ++root) {
        std::uint64_t damage = 0;
        const auto walk = btree::walkTable(
            image, root,
            [](const btree::TableCell& cell) {
                std::string why;
                btree::decodeRecord(cell.payload, &why);
                return true;
            },
            [&](const btree::PageDamage&) { ++damage; });
        if (walk.pagesRead > image.pageCount()) fail("a walk read more pages than the file and its log hold", root);
        if (walk.cellsRead > walk.pagesRead * cellsPerPage) fail("a walk read more cells than its pages hold", root);
        if (walk.work > kWorkPerPageByte * heldBytes) fail("a walk's work outgrew the file's pages", root);
        if (walk.mostWaiting > walk.pagesRead * (cellsPerPage + 1) + 1) fail("a walk kept more children than its pages hold", root);
        if (walk.damage.size() > 2 * walk.pagesRead + 1) fail("a walk kept more damage than its pages hold", root);
        if (damage > walk.pagesRead * (cellsPerPage + 1) + 1) fail("a walk heard more damage than its pages hold", root);
        const auto leaf = btree::rightmostLeaf(image, root);
        if (leaf.cells.size() > cellsPerPage) fail("a leaf read more cells than a page holds", root);
        if (leaf.work > kWorkPerPageByte * leaf.pagesRead * image.pageSize()) fail("a leaf's work outgrew its pages", root);
    }
}

void checkAscendingAndDistinct(const std::vector<std::int64_t>& rowIDs) {
    for (std::size_t i = 1; i < rowIDs.size(); ++i) {
        if (rowIDs[i - 1] >= rowIDs[i]) fail("row IDs out of order or repeated", rowIDs[i]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kLengthBytes) return 0;
    std::size_t fileBytes = 0;
    for (std::size_t i = 0; i < kLengthBytes; ++i) fileBytes = (fileBytes << 8) | data[i];
    data += kLengthBytes;
    size -= kLengthBytes;
    fileBytes = std::min(fileBytes, size);
    const auto file = scratch() / "fuzz.sql";
    const auto log = scratch() / "fuzz.sql-wal";
    write(file, data, fileBytes);
    std::error_code ec;
    std::filesystem::remove(log, ec);
    if (size > fileBytes) write(log, data + fileBytes, size - fileBytes);

    std::uint32_t pageSize = 0;
    {
        const btree::FileImage image(file.string());
        pageSize = image.pageSize();
        if (pageSize != 0 && (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0)) {
            fail("no page size SQLite takes", pageSize);
        }
        if (pageSize != 0 && image.pagesHeld().size() > size / pageSize + 1) {
            fail("more pages than the file and its log hold", static_cast<long long>(image.pagesHeld().size()));
        }
        pages::LeafWork work;
        checkAscendingAndDistinct(pages::tableLeafRowIDs(image, nullptr, &work));
        if (work.bytesExamined > kWorkPerPageByte * (work.bytesRead + 1)) fail("row IDs' work outgrew the pages", 0);
    }

    walkFromEachRoot(file);

    // SQLite reads the file alone, its log left out.
    std::filesystem::remove(log, ec);
    const auto parsed = pages::tableLeafRowIDs(file.string());
    checkAscendingAndDistinct(parsed);
    if (keyRunsPastAPage(data, fileBytes, pageSize)) return 0;
    for (const std::int64_t rowID : rowIDsSQLiteReads(file)) {
        if (!std::binary_search(parsed.begin(), parsed.end(), rowID)) fail("a row ID SQLite reads is missing", rowID);
    }
    return 0;
}
