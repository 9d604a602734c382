// Where SQLite reads each page of a database file from: the file, or a frame its write-ahead log committed.
#include "measurement/store/sqlite_file/page_image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "measurement/store/sqlite_file/format.h"

namespace measurement::sqlite_btree {

namespace {

using namespace sqlite_format;

// The file's header (see sqlite_format) also holds its magic text (with its
// NUL), the bytes reserved at the end of every page, the payload fractions
// every file holds, and the page count, which holds while the change
// counter matches the one it was written with.
constexpr char kHeaderMagic[] = "SQLite format 3";
constexpr std::size_t kReservedAt = 20;
constexpr std::size_t kFractionsAt = 21;
constexpr unsigned char kFractions[] = {64, 32, 32};
constexpr std::size_t kChangeCounterAt = 24;
constexpr std::size_t kPageCountAt = 28;
constexpr std::size_t kPageCountValidForAt = 92;
constexpr std::uint32_t kSmallestUsableSize = 480;
// The log's header also holds its magic, whose low bit asks for big-endian
// checksums, its version, two salts and the checksum of what comes before
// it; a frame's header, after the page's number, the file's pages after a
// commit (or 0), the salts and the checksum of everything so far.
constexpr std::uint32_t kLogMagic = 0x377f0682;
constexpr std::uint32_t kBigEndianChecksums = 1;
constexpr std::uint32_t kLogVersion = 3007000;
constexpr std::size_t kLogVersionAt = 4;
constexpr std::size_t kLogSaltsAt = 16;
constexpr std::size_t kLogChecksumAt = 24;
constexpr std::size_t kFramePagesAfterAt = 4;
constexpr std::size_t kFrameSaltsAt = 8;
constexpr std::size_t kFrameChecksummedBytes = 8;
constexpr std::size_t kFrameChecksumAt = 16;
constexpr std::size_t kSaltsSize = 8;
constexpr std::size_t kChecksumWordPair = 8;
// The log is read this many bytes of frames at a time.
constexpr std::size_t kLogReadBytes = std::size_t{1} << 18;

std::uint32_t bigEndian32(const unsigned char* bytes) { return bigEndian(bytes, kWordSize); }

std::uint32_t littleEndian32(const unsigned char* bytes) {
    return (std::uint32_t{bytes[3]} << 24) | (std::uint32_t{bytes[2]} << 16) | (std::uint32_t{bytes[1]} << 8) | bytes[0];
}

// The log's checksum: two running sums over pairs of 32-bit words, in the
// byte order the log's magic names, each frame's going on from the last.
struct Checksum {
    bool bigEndian = false;
    std::uint32_t first = 0;
    std::uint32_t second = 0;

    void add(const unsigned char* bytes, std::size_t size) {
        for (std::size_t at = 0; at + kChecksumWordPair <= size; at += kChecksumWordPair) {
            first += word(bytes + at) + second;
            second += word(bytes + at + kWordSize) + first;
        }
    }
    bool matches(const unsigned char* stored) const {
        return bigEndian32(stored) == first && bigEndian32(stored + kWordSize) == second;
    }
    std::uint32_t word(const unsigned char* bytes) const {
        return bigEndian ? bigEndian32(bytes) : littleEndian32(bytes);
    }
};

std::string errorText(int error) { return std::strerror(error); }

}  // namespace

FileImage::FileImage(const std::string& databasePath)
    : file_(std::make_unique<APMFileBytes>(databasePath)),
      log_(std::make_unique<APMFileBytes>(databasePath + kLogSuffix)) {
    read();
}

FileImage::FileImage(sqlite3* db)
    : file_(std::make_unique<APMConnectionFileBytes>(db, APMConnectionFileBytes::Which::file)),
      log_(std::make_unique<APMConnectionFileBytes>(db, APMConnectionFileBytes::Which::log)) {
    read();
}

void FileImage::read() {
    if (file_->openError() != 0) {
        refuse("the file cannot be opened: " + errorText(file_->openError()), true);
        return;
    }
    readLog();
    if (!unreadable_) readHeader();
}

void FileImage::refuse(const std::string& why, bool readFailed) {
    unreadable_ = why;
    readFailed_ = readFailed;
}

// Frames count only while each continues the valid chain; a commit frame
// makes those before it count.
void FileImage::readLog() {
    if (log_->openError() != 0) {
        if (log_->openError() != ENOENT) refuse("its log cannot be opened: " + errorText(log_->openError()), true);
        return;
    }
    unsigned char header[kLogHeaderSize] = {};
    if (log_->size() < kLogHeaderSize || !log_->read(0, kLogHeaderSize, header)) return;
    const std::uint32_t magic = bigEndian32(header);
    const std::uint32_t pageSize = bigEndian32(header + kLogPageSizeAt);
    if ((magic & ~kBigEndianChecksums) != kLogMagic || bigEndian32(header + kLogVersionAt) != kLogVersion ||
        !validPageSize(pageSize)) {
        return;
    }
    Checksum sum{(magic & kBigEndianChecksums) != 0};
    sum.add(header, kLogChecksumAt);
    if (!sum.matches(header + kLogChecksumAt)) return;
    const std::size_t frameSize = kFrameHeaderSize + pageSize;
    const std::uint64_t frames = (log_->size() - kLogHeaderSize) / frameSize;
    const std::size_t batch = std::max<std::size_t>(1, kLogReadBytes / frameSize);
    std::vector<unsigned char> buffer(batch * frameSize);
    std::vector<std::pair<std::uint32_t, std::uint64_t>> uncommitted;
    for (std::uint64_t first = 0; first < frames; first += batch) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(batch, frames - first));
        int error = 0;
        log_->read(kLogHeaderSize + first * frameSize, count * frameSize, buffer.data(), &error);
        if (error != 0) {
            refuse("its log cannot be read: " + errorText(error), true);
            return;
        }
        for (std::size_t index = 0; index < count; ++index) {
            const unsigned char* frame = buffer.data() + index * frameSize;
            const std::uint32_t page = bigEndian32(frame);
            if (page == 0 || std::memcmp(frame + kFrameSaltsAt, header + kLogSaltsAt, kSaltsSize) != 0) return;
            sum.add(frame, kFrameChecksummedBytes);
            sum.add(frame + kFrameHeaderSize, pageSize);
            if (!sum.matches(frame + kFrameChecksumAt)) return;
            uncommitted.emplace_back(page, kLogHeaderSize + (first + index) * frameSize + kFrameHeaderSize);
            const std::uint32_t pagesAfter = bigEndian32(frame + kFramePagesAfterAt);
            if (pagesAfter == 0) continue;
            for (const auto& image : uncommitted) logImages_[image.first] = image.second;
            uncommitted.clear();
            committedFrames_ = first + index + 1;
            pagesAtCommit_ = pagesAfter;
            logPageSize_ = pageSize;
        }
    }
}

void FileImage::readHeader() {
    const auto logged = logImages_.find(1);
    if (logged == logImages_.end() && file_->size() == 0) return;  // an empty database: no page at all
    unsigned char header[kFileHeaderSize] = {};
    int error = 0;
    if (logged != logImages_.end()) {
        log_->read(logged->second, kFileHeaderSize, header, &error);
    } else {
        file_->read(0, kFileHeaderSize, header, &error);
    }
    if (error != 0) return refuse("its header cannot be read: " + errorText(error), true);
    if (std::memcmp(header, kHeaderMagic, sizeof kHeaderMagic) != 0) return refuse("its header is no database's", false);
    std::uint32_t pageSize = bigEndian(header + kPageSizeAt, kShortSize);
    if (pageSize == kLargestPageSizeMark) pageSize = kLargestPageSize;
    if (!validPageSize(pageSize)) {
        return refuse("its page size " + std::to_string(pageSize) + " is no power of two from 512 to 65536", false);
    }
    if (std::memcmp(header + kFractionsAt, kFractions, sizeof kFractions) != 0 ||
        pageSize - header[kReservedAt] < kSmallestUsableSize) {
        return refuse("its header gives a page layout SQLite does not read", false);
    }
    if (committedFrames_ > 0 && logPageSize_ != pageSize) return refuse("its log's pages are of another size", false);
    const std::uint64_t filePages = committedFrames_ > 0 ? pagesAtCommit_ : (file_->size() + pageSize - 1) / pageSize;
    const auto pages = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(filePages, std::numeric_limits<std::uint32_t>::max()));
    const std::uint32_t counted = bigEndian32(header + kPageCountAt);
    const bool countHolds =
        counted != 0 && std::memcmp(header + kChangeCounterAt, header + kPageCountValidForAt, 4) == 0;
    if (countHolds && counted > pages) {
        return refuse("its header counts " + std::to_string(counted) + " pages where it holds " +
                          std::to_string(pages),
                      false);
    }
    pageSize_ = pageSize;
    usableSize_ = pageSize - header[kReservedAt];
    pageCount_ = countHolds ? counted : pages;
}

bool FileImage::readPage(std::uint32_t number, unsigned char* into, std::string* why) const {
    if (unreadable_) {
        *why = *unreadable_;
        return false;
    }
    if (number == 0 || number > pageCount_) {
        *why = "page " + std::to_string(number) + " lies outside the file's " + std::to_string(pageCount_) + " pages";
        return false;
    }
    int error = 0;
    const auto logged = logImages_.find(number);
    if (logged != logImages_.end()) {
        log_->read(logged->second, pageSize_, into, &error);
    } else {
        file_->read(std::uint64_t{number - 1} * pageSize_, pageSize_, into, &error);
    }
    if (error == 0) return true;
    *why = "page " + std::to_string(number) + " cannot be read: " + errorText(error);
    return false;
}

}  // namespace measurement::sqlite_btree
