// Reading the row IDs of table-leaf pages straight from a database file and its write-ahead log.
#include "measurement/store/sqlite_pages.h"

#include <algorithm>

namespace measurement::sqlite_pages {

namespace {

// The file's header: 100 bytes at the start of page 1, whose b-tree header
// follows it; the page size is two bytes of it, 1 standing for 65536.
constexpr std::size_t kFileHeaderSize = 100;
constexpr std::size_t kFilePageSizeAt = 16;
constexpr std::uint32_t kLargestPageSizeMark = 1;
constexpr std::uint32_t kSmallestPageSize = 512;
constexpr std::uint32_t kLargestPageSize = 65536;
// The log: a header with its page size, then frames of a header (the page
// number first) and a page image each.
constexpr std::size_t kLogHeaderSize = 32;
constexpr std::size_t kLogPageSizeAt = 8;
constexpr std::size_t kFrameHeaderSize = 24;
constexpr const char* kLogSuffix = "-wal";
// A b-tree page: its flag, the cell count two bytes in at 3, then after an
// 8-byte leaf header the cells' two-byte pointers. SQLite takes no page for
// one with more cells than a pointer and a smallest cell of 4 bytes each
// leave room for.
constexpr unsigned char kTableLeafFlag = 0x0d;
constexpr std::size_t kCellCountAt = 3;
constexpr std::size_t kLeafHeaderSize = 8;
constexpr std::size_t kCellPointerSize = 2;
constexpr std::size_t kSmallestCellWithPointer = 6;
// A variable-length integer: 7 bits a byte while the high bit is set, the
// ninth byte's 8 bits whole. The in-order read takes 9 bytes at most for a
// payload size; the look-up skips them to the end of the page.
constexpr unsigned char kMoreBit = 0x80;
constexpr unsigned char kSevenBits = 0x7f;
constexpr std::size_t kVarintBytes = 9;

std::uint32_t bigEndian(const unsigned char* bytes, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value = (value << 8) | bytes[i];
    return value;
}

bool validPageSize(std::uint32_t size) {
    return size >= kSmallestPageSize && size <= kLargestPageSize && (size & (size - 1)) == 0;
}

// The file and its log, with the page sizes their headers give.
struct Layout {
    Layout(const APMByteSource& file, const APMByteSource& log) : file(file), log(log) {
        unsigned char header[kFileHeaderSize] = {};
        std::uint32_t filePageSize = 0, logPageSize = 0;
        if (file.read(0, kFileHeaderSize, header)) {
            filePageSize = bigEndian(header + kFilePageSizeAt, 2);
            if (filePageSize == kLargestPageSizeMark) filePageSize = kLargestPageSize;
        }
        if (log.size() >= kLogHeaderSize && log.read(0, kLogHeaderSize, header)) {
            logPageSize = bigEndian(header + kLogPageSizeAt, 4);
        }
        pageSize = validPageSize(filePageSize) ? filePageSize : validPageSize(logPageSize) ? logPageSize : 0;
        framePageSize = validPageSize(logPageSize) ? logPageSize : pageSize;
    }

    std::uint64_t pages() const { return pageSize == 0 ? 0 : (file.size() + pageSize - 1) / pageSize; }
    std::uint64_t frameSize() const { return kFrameHeaderSize + framePageSize; }
    std::uint64_t frames() const {
        return framePageSize == 0 || log.size() < kLogHeaderSize ? 0 : (log.size() - kLogHeaderSize) / frameSize();
    }

    const APMByteSource& file;
    const APMByteSource& log;
    std::uint32_t pageSize = 0;
    std::uint32_t framePageSize = 0;
};

// Reads one page image's cells: bytes past the page's end read as zeros.
class Cells {
public:
    Cells(const unsigned char* page, std::size_t size) : page_(page), size_(size) {}

    // The cell's row ID as the look-up reads it (none when its payload size
    // runs off the page) and as the in-order read does.
    void addRowIDs(std::size_t cell, std::vector<std::int64_t>* rowIDs) const {
        std::size_t at = cell;
        bool onPage = true;
        while (onPage && (byte(at) & kMoreBit)) onPage = ++at < size_;
        if (onPage) rowIDs->push_back(varint(at + 1));
        at = cell;
        if (byte(at) & kMoreBit) {
            do {
                ++at;
            } while ((byte(at) & kMoreBit) && at < cell + kVarintBytes - 1);
        }
        const std::int64_t inOrder = varint(at + 1);
        if (!onPage || rowIDs->back() != inOrder) rowIDs->push_back(inOrder);
    }

private:
    unsigned char byte(std::size_t at) const { return at < size_ ? page_[at] : 0; }

    std::int64_t varint(std::size_t at) const {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i + 1 < kVarintBytes; ++i) {
            const unsigned char b = byte(at + i);
            value = (value << 7) | (b & kSevenBits);
            if (!(b & kMoreBit)) return static_cast<std::int64_t>(value);
        }
        return static_cast<std::int64_t>((value << 8) | byte(at + kVarintBytes - 1));
    }

    const unsigned char* page_;
    std::size_t size_;
};

std::size_t maxCells(std::size_t pageSize) {
    return pageSize < kLeafHeaderSize ? 0 : (pageSize - kLeafHeaderSize) / kSmallestCellWithPointer;
}

}  // namespace

std::uint32_t maxCellsPerPage(std::uint32_t pageSize) {
    return static_cast<std::uint32_t>(maxCells(pageSize));
}

PageImages pageImagesOf(const APMByteSource& file, const APMByteSource& log) {
    const Layout layout(file, log);
    return {layout.pageSize, layout.pages() + layout.frames()};
}

PageImages pageImagesOf(const std::string& databasePath) {
    return pageImagesOf(APMFileBytes(databasePath), APMFileBytes(databasePath + kLogSuffix));
}

std::size_t addTableLeafRowIDs(const unsigned char* page, std::size_t pageSize, std::size_t headerOffset,
                               std::vector<std::int64_t>* rowIDs) {
    if (pageSize == 0 || headerOffset >= pageSize || pageSize - headerOffset < kLeafHeaderSize) return 0;
    if (page[headerOffset] != kTableLeafFlag) return 0;
    const std::size_t cells =
        std::min<std::size_t>(bigEndian(page + headerOffset + kCellCountAt, 2), maxCells(pageSize));
    const Cells reader(page, pageSize);
    const std::size_t pointers = headerOffset + kLeafHeaderSize;
    std::size_t i = 0;
    for (; i < cells && pointers + (i + 1) * kCellPointerSize <= pageSize; ++i) {
        // SQLite masks a pointer into the page: page sizes are powers of two.
        const std::size_t cell = bigEndian(page + pointers + i * kCellPointerSize, kCellPointerSize) & (pageSize - 1);
        reader.addRowIDs(cell, rowIDs);
    }
    return i;
}

std::vector<std::int64_t> tableLeafRowIDs(const std::string& databasePath, std::uint64_t* cells) {
    return tableLeafRowIDs(APMFileBytes(databasePath), APMFileBytes(databasePath + kLogSuffix), cells);
}

std::vector<std::int64_t> tableLeafRowIDs(const APMByteSource& file, const APMByteSource& log, std::uint64_t* cells) {
    const Layout layout(file, log);
    std::vector<std::int64_t> rowIDs;
    std::uint64_t read = 0;
    std::vector<unsigned char> image(std::max<std::uint64_t>(layout.pageSize, layout.frameSize()));
    for (std::uint64_t page = 0; page < layout.pages(); ++page) {
        if (!layout.file.read(page * layout.pageSize, layout.pageSize, image.data())) continue;
        read += addTableLeafRowIDs(image.data(), layout.pageSize, page == 0 ? kFileHeaderSize : 0, &rowIDs);
    }
    // Every frame, whether or not SQLite would take it: a superset is enough.
    for (std::uint64_t frame = 0; frame < layout.frames(); ++frame) {
        const std::uint64_t at = kLogHeaderSize + frame * layout.frameSize();
        if (!layout.log.read(at, static_cast<std::size_t>(layout.frameSize()), image.data())) continue;
        const bool firstPage = bigEndian(image.data(), 4) == 1;
        read += addTableLeafRowIDs(image.data() + kFrameHeaderSize, layout.framePageSize,
                                   firstPage ? kFileHeaderSize : 0, &rowIDs);
    }
    if (cells) *cells = read;
    std::sort(rowIDs.begin(), rowIDs.end());
    rowIDs.erase(std::unique(rowIDs.begin(), rowIDs.end()), rowIDs.end());
    return rowIDs;
}

}  // namespace measurement::sqlite_pages
