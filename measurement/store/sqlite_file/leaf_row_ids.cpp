// Reading the row IDs of table-leaf pages from the pages SQLite reads of a database file and its write-ahead log.
#include "measurement/store/sqlite_file/leaf_row_ids.h"

#include <algorithm>
#include <optional>

#include "measurement/store/sqlite_file/format.h"

namespace measurement::sqlite_pages {

namespace {

using namespace sqlite_format;

// One page image's cells, bytes past its end read as zeros, as SQLite's
// in-order read of a key that runs off a page finds them.
class Cells {
public:
    Cells(const unsigned char* page, std::size_t size, LeafWork* work) : page_(page), size_(size), work_(work) {}

    // The cell's row ID as the look-up reads it (none when its payload size
    // runs off the page) and as the in-order read does.
    void addRowIDs(std::size_t cell, std::vector<std::int64_t>* rowIDs) {
        std::size_t keyAt = 0;
        varintAt(cell, &keyAt);
        const std::int64_t inOrder = varintAt(keyAt);
        const auto lookUpKey = lookUpKeyAt(cell, keyAt);
        if (lookUpKey) rowIDs->push_back(varintAt(*lookUpKey));
        if (!lookUpKey || rowIDs->back() != inOrder) rowIDs->push_back(inOrder);
    }

private:
    // The variable-length integer at `at`, of nine bytes at most; *end:
    // where the next begins.
    std::int64_t varintAt(std::size_t at, std::size_t* end = nullptr) {
        unsigned char bytes[kVarintBytes] = {};
        const std::size_t within = at < size_ ? std::min(kVarintBytes, size_ - at) : 0;
        std::copy(page_ + at, page_ + at + within, bytes);
        std::size_t read = 0;
        std::uint64_t value = 0;
        readVarint(bytes, kVarintBytes, &read, &value);
        work_->bytesExamined += read;
        if (end) *end = at + read;
        return static_cast<std::int64_t>(value);
    }

    // SQLite's look-up skips every byte of a payload's size whose high bit
    // is set, without a bound but the page's end, before it reads the key:
    // where the in-order read took nine bytes, the look-up may go on.
    std::optional<std::size_t> lookUpKeyAt(std::size_t cell, std::size_t inOrderKeyAt) {
        const std::size_t last = inOrderKeyAt - 1;
        if (last >= size_) return std::nullopt;
        if (last < cell + kVarintBytes - 1 || !(page_[last] & kMoreBit)) return inOrderKeyAt;
        const std::size_t stop = stopFrom(last);
        if (stop >= size_) return std::nullopt;
        return stop + 1;
    }

    // The first byte from `at` on without the high bit (size_ when none),
    // from one pass over the page made when first asked.
    std::size_t stopFrom(std::size_t at) {
        if (stops_.empty()) {
            stops_.resize(size_ + 1);
            stops_[size_] = static_cast<std::uint32_t>(size_);
            for (std::size_t i = size_; i-- > 0;) {
                stops_[i] = (page_[i] & kMoreBit) ? stops_[i + 1] : static_cast<std::uint32_t>(i);
            }
            work_->bytesExamined += size_;
        }
        return stops_[at];
    }

    const unsigned char* page_;
    std::size_t size_;
    LeafWork* work_;
    std::vector<std::uint32_t> stops_;
};

}  // namespace

std::size_t addTableLeafRowIDs(const unsigned char* page, std::size_t pageSize, std::size_t headerOffset,
                               std::vector<std::int64_t>* rowIDs, LeafWork* work) {
    LeafWork unused;
    if (!work) work = &unused;
    if (pageSize == 0 || headerOffset >= pageSize || pageSize - headerOffset < kLeafHeaderSize) return 0;
    if (page[headerOffset] != kLeafTablePage) return 0;
    const std::size_t cells =
        std::min<std::size_t>(bigEndian(page + headerOffset + kCellCountAt, kShortSize), maxCellsPerPage(pageSize));
    Cells reader(page, pageSize, work);
    const std::size_t pointers = headerOffset + kLeafHeaderSize;
    std::size_t i = 0;
    for (; i < cells && pointers + (i + 1) * kCellPointerSize <= pageSize; ++i) {
        // SQLite masks a pointer into the page: page sizes are powers of two.
        const std::size_t cell = bigEndian(page + pointers + i * kCellPointerSize, kCellPointerSize) & (pageSize - 1);
        reader.addRowIDs(cell, rowIDs);
    }
    work->cells += i;
    return i;
}

std::vector<std::int64_t> tableLeafRowIDs(const sqlite_btree::FileImage& image, std::uint64_t* cells, LeafWork* work) {
    LeafWork counted;
    std::vector<std::int64_t> rowIDs;
    std::vector<unsigned char> page(image.pageSize());
    for (const std::uint32_t number : image.pagesHeld()) {
        std::string why;
        if (!image.readPage(number, page.data(), &why)) continue;
        addTableLeafRowIDs(page.data(), page.size(), number == 1 ? kFileHeaderSize : 0, &rowIDs, &counted);
    }
    counted.bytesRead = image.bytesRead();
    if (cells) *cells = counted.cells;
    if (work) *work = counted;
    std::sort(rowIDs.begin(), rowIDs.end());
    rowIDs.erase(std::unique(rowIDs.begin(), rowIDs.end()), rowIDs.end());
    return rowIDs;
}

std::vector<std::int64_t> tableLeafRowIDs(const APMByteSource& file, const APMByteSource& log, std::uint64_t* cells) {
    return tableLeafRowIDs(sqlite_btree::FileImage(file, log), cells);
}

std::vector<std::int64_t> tableLeafRowIDs(const std::string& databasePath, std::uint64_t* cells) {
    return tableLeafRowIDs(sqlite_btree::FileImage(databasePath), cells);
}

}  // namespace measurement::sqlite_pages
