// Where SQLite reads each page of a database file from: the file, or a frame its write-ahead log committed.
#include "measurement/store/sqlite_file/page_image.h"

#include <algorithm>
#include <cstring>
#include <utility>

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
// And the count of the schema's changes, and the text's encoding (1 for
// UTF-8; 0 in a file that holds no table yet).
constexpr std::size_t kSchemaCookieAt = 40;
constexpr std::size_t kTextEncodingAt = 56;
constexpr std::uint32_t kNoEncodingYet = 0;
constexpr std::uint32_t kUtf8 = 1;
constexpr std::uint32_t kEncodingBits = 3;

std::string errorText(int error) { return std::strerror(error); }

}  // namespace

FileImage::FileImage(const std::string& databasePath)
    : ownedFile_(std::make_unique<APMFileBytes>(databasePath)),
      ownedLog_(std::make_unique<APMFileBytes>(databasePath + kLogSuffix)),
      file_(ownedFile_.get()),
      log_(ownedLog_.get()) {
    read();
}

FileImage::FileImage(sqlite3* db, CommittedFrames* kept)
    : ownedFile_(std::make_unique<APMConnectionFileBytes>(db, APMConnectionFileBytes::Which::file)),
      ownedLog_(std::make_unique<APMConnectionFileBytes>(db, APMConnectionFileBytes::Which::log)),
      file_(ownedFile_.get()),
      log_(ownedLog_.get()),
      frames_(kept ? kept : &ownFrames_) {
    read();
}

FileImage::FileImage(const APMByteSource& file, const APMByteSource& log) : file_(&file), log_(&log) { read(); }

void FileImage::read() {
    if (file_->openError() != 0) {
        *frames_ = {};
        refuse("the file cannot be opened: " + errorText(file_->openError()), true);
        return;
    }
    std::string why;
    const bool logRead = frames_->read(*log_, &why);
    bytesRead_ += frames_->bytesRead();
    if (!logRead) return refuse(why, true);
    readHeader();
}

void FileImage::refuse(const std::string& why, bool readFailed) {
    unreadable_ = why;
    readFailed_ = readFailed;
}

// Where the header counts more pages than the file holds (a file cut
// short, a count written over), SQLite's lenient reader takes the pages the
// file holds, and so does this one, naming the difference. A count below
// what the file holds stays the bound: the pages past it are none of the
// database's (a file its log shrank holds them until a checkpoint). The
// pages past the last one the file or a committed frame holds, and those
// between that neither holds (free pages SQLite never wrote), read as none:
// a count of 2^32 - 1 pages costs no work.
void FileImage::readHeader() {
    const auto logged = frames_->imageOf(1);
    if (!logged && file_->size() == 0) return;  // an empty database: no page at all
    unsigned char header[kFileHeaderSize] = {};
    int error = 0;
    if (logged) {
        log_->read(*logged, kFileHeaderSize, header, &error);
    } else {
        file_->read(0, kFileHeaderSize, header, &error);
    }
    bytesRead_ += kFileHeaderSize;
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
    const bool committed = frames_->committed() > 0;
    if (committed && frames_->pageSize() != pageSize) return refuse("its log's pages are of another size", false);
    const std::uint64_t filePages = (file_->size() + pageSize - 1) / pageSize;
    const std::uint64_t pages = committed ? frames_->pagesAtCommit() : filePages;
    const std::uint32_t counted = bigEndian(header + kPageCountAt, kWordSize);
    const bool countHolds =
        counted != 0 && std::memcmp(header + kChangeCounterAt, header + kPageCountValidForAt, kWordSize) == 0;
    if (countHolds && counted > pages) {
        headerDamage_ = "its header counts " + std::to_string(counted) + " pages where it holds " + std::to_string(pages);
    }
    const std::uint64_t taken = countHolds && counted <= pages ? counted : pages;
    const std::uint64_t held = std::max<std::uint64_t>(filePages, frames_->highestPage());
    pageSize_ = pageSize;
    usableSize_ = pageSize - header[kReservedAt];
    schemaCookie_ = bigEndian(header + kSchemaCookieAt, kWordSize);
    // SQLite takes the encoding's two low bits, 0 for UTF-8.
    const std::uint32_t encoding = header[kTextEncodingAt + kWordSize - 1] & kEncodingBits;
    utf8_ = encoding == kNoEncodingYet || encoding == kUtf8;
    lastPage_ = static_cast<std::uint32_t>(std::min(taken, held));
    filePages_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(filePages, lastPage_));
    pageCount_ = filePages_;
    for (const std::uint32_t number : frames_->pages()) pageCount_ += number > filePages_ && number <= lastPage_ ? 1 : 0;
}

std::vector<std::uint32_t> FileImage::pagesHeld() const {
    std::vector<std::uint32_t> held;
    held.reserve(filePages_);
    for (std::uint32_t number = 1; number <= filePages_; ++number) held.push_back(number);
    for (const std::uint32_t number : frames_->pages()) {
        if (number > filePages_ && number <= lastPage_) held.push_back(number);
    }
    return held;
}

bool FileImage::holds(std::uint32_t number) const {
    return !unreadable_ && number >= 1 && (number <= filePages_ || (number <= lastPage_ && frames_->imageOf(number)));
}

bool FileImage::readPage(std::uint32_t number, unsigned char* into, std::string* why) const {
    if (unreadable_) {
        *why = *unreadable_;
        return false;
    }
    const auto logged = number >= 1 && number <= lastPage_ ? frames_->imageOf(number) : std::nullopt;
    if (!logged && (number == 0 || number > filePages_)) {
        *why = "page " + std::to_string(number) + " is none the file or its log holds (they hold " +
               std::to_string(pageCount_) + " pages)";
        return false;
    }
    int error = 0;
    if (logged) {
        log_->read(*logged, pageSize_, into, &error);
    } else {
        file_->read(std::uint64_t{number - 1} * pageSize_, pageSize_, into, &error);
    }
    bytesRead_ += pageSize_;
    if (error == 0) return true;
    *why = "page " + std::to_string(number) + " cannot be read: " + errorText(error);
    return false;
}

}  // namespace measurement::sqlite_btree
