// Reading the row IDs of table-leaf pages straight from a database file and its write-ahead log.
#include "measurement/store/sqlite_file/leaf_row_ids.h"

#include <algorithm>

#include "measurement/store/sqlite_file/format.h"

namespace measurement::sqlite_pages {

namespace {

using namespace sqlite_format;

// The file and its log, with the page sizes their headers give.
struct Layout {
    Layout(const APMByteSource& file, const APMByteSource& log) : file(file), log(log) {
        unsigned char header[kFileHeaderSize] = {};
        std::uint32_t filePageSize = 0, logPageSize = 0;
        if (file.read(0, kFileHeaderSize, header)) {
            filePageSize = bigEndian(header + kPageSizeAt, kShortSize);
            if (filePageSize == kLargestPageSizeMark) filePageSize = kLargestPageSize;
        }
        if (log.size() >= kLogHeaderSize && log.read(0, kLogHeaderSize, header)) {
            logPageSize = bigEndian(header + kLogPageSizeAt, kWordSize);
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

}  // namespace

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
    if (page[headerOffset] != kLeafTablePage) return 0;
    const std::size_t cells =
        std::min<std::size_t>(bigEndian(page + headerOffset + kCellCountAt, kShortSize), maxCellsPerPage(pageSize));
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
        const bool firstPage = bigEndian(image.data(), kPageNumberSize) == 1;
        read += addTableLeafRowIDs(image.data() + kFrameHeaderSize, layout.framePageSize,
                                   firstPage ? kFileHeaderSize : 0, &rowIDs);
    }
    if (cells) *cells = read;
    std::sort(rowIDs.begin(), rowIDs.end());
    rowIDs.erase(std::unique(rowIDs.begin(), rowIDs.end()), rowIDs.end());
    return rowIDs;
}

}  // namespace measurement::sqlite_pages
