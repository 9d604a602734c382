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
// UTF-8, 2 and 3 for UTF-16 little- and big-endian; 0 in a file that
// holds no table yet, whose text SQLite takes as UTF-8).
constexpr std::size_t kSchemaCookieAt = 40;
constexpr std::size_t kTextEncodingAt = 56;
constexpr std::uint32_t kUtf16le = 2;
constexpr std::uint32_t kUtf16be = 3;
constexpr std::uint32_t kEncodingBits = 3;

std::string errorText(int error) { return std::strerror(error); }

constexpr const char* kLogWrittenOver = "the log's frame of it was written over while it was read";

}  // namespace

FileImage::FileImage(const std::string& databasePath)
    : ownedFile_(std::make_unique<APMFileBytes>(databasePath)),
      ownedLog_(std::make_unique<APMFileBytes>(databasePath + kLogSuffix)),
      file_(ownedFile_.get()),
      log_(ownedLog_.get()) {
    read(nullptr, nullptr);
}

FileImage::FileImage(sqlite3* db, CommittedFrames* kept)
    : ownedFile_(std::make_unique<APMConnectionFileBytes>(db, APMConnectionFileBytes::Which::file)),
      ownedLog_(std::make_unique<APMConnectionFileBytes>(db, APMConnectionFileBytes::Which::log)),
      file_(ownedFile_.get()),
      log_(ownedLog_.get()),
      frames_(kept ? kept : &ownFrames_) {
    const auto snapshot = readSnapshotOf(db);
    read(snapshot ? &*snapshot : nullptr, db);
}

FileImage::FileImage(const APMByteSource& file, const APMByteSource& log) : file_(&file), log_(&log) {
    read(nullptr, nullptr);
}

// Commits past the snapshot, read past a damaged frame, are read again
// while no other connection can be part way through a commit (whose frames
// read as damaged for a moment), and not at all when one may be.
void FileImage::read(const LogSnapshot* snapshot, sqlite3* db) {
    if (file_->openError() != 0) {
        *frames_ = {};
        refuse("the file cannot be opened: " + errorText(file_->openError()), true);
        return;
    }
    std::string why;
    bool logRead = frames_->read(*log_, &why, snapshot);
    bytesRead_ += frames_->bytesRead();
    if (logRead && db && frames_->pastSnapshot() && !writesLog(db)) {
        const WritersHeldOff heldOff(db);
        *frames_ = {};
        logRead = frames_->read(*log_, &why, snapshot, heldOff.held());
        bytesRead_ += frames_->bytesRead();
    }
    if (!logRead) return refuse(why, true);
    readHeader();
    if (!unreadable_) describeLogDamage();
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
    if (!frames_->frameOf(1) && file_->size() == 0) return;  // an empty database: no page at all
    unsigned char header[kFileHeaderSize] = {};
    int error = 0;
    if (!readImage(1, 0, header, kFileHeaderSize, &error)) {
        return refuse("its header cannot be read: " + (error != 0 ? errorText(error) : kLogWrittenOver), true);
    }
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
    textEncoding_ = encoding == kUtf16le   ? TextEncoding::utf16le
                    : encoding == kUtf16be ? TextEncoding::utf16be
                                           : TextEncoding::utf8;
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

bool FileImage::readPage(std::uint32_t number, unsigned char* into, std::string* why, bool* systemFailed) const {
    if (systemFailed) *systemFailed = false;
    if (unreadable_) {
        *why = *unreadable_;
        if (systemFailed) *systemFailed = readFailed_;
        return false;
    }
    const auto logged = number >= 1 && number <= lastPage_ ? frames_->imageOf(number) : std::nullopt;
    if (!logged && (number == 0 || number > filePages_)) {
        *why = "page " + std::to_string(number) + " is none the file or its log holds (they hold " +
               std::to_string(pageCount_) + " pages)";
        return false;
    }
    int error = 0;
    if (readImage(number, pageSize_, into, pageSize_, &error)) return true;
    *why = "page " + std::to_string(number) + " cannot be read: " + (error != 0 ? errorText(error) : kLogWrittenOver);
    if (systemFailed) *systemFailed = error != 0;
    return false;
}

// Only the snapshot's frames lie in the file as well.
bool FileImage::readImage(std::uint32_t number, std::size_t pageSize, unsigned char* into, std::size_t length,
                          int* error) const {
    if (const auto* frame = frames_->frameOf(number)) {
        const auto read = readFrame(*frame, number, into, length, error);
        if (read != FrameRead::changed) return read == FrameRead::read;
        const auto& snapshot = frames_->snapshot();
        if (!snapshot || frame->index > snapshot->frames) {
            *error = 0;
            return false;
        }
    }
    file_->read(std::uint64_t{number - 1} * pageSize, length, into, error);
    bytesRead_ += length;
    return *error == 0;
}

// A log of larger pages gives the first bytes of each, one of smaller ones
// its whole page, zeros after it. The frame's header is read along and, but
// where no writer can start the log afresh, once more after it: a writer
// writes a frame's header before its page.
FileImage::FrameRead FileImage::readFrame(const CommittedFrames::Frame& frame, std::uint32_t number,
                                          unsigned char* into, std::size_t length, int* error) const {
    const std::size_t logPage = frames_->pageSize();
    frameBuffer_.resize(kFrameHeaderSize + logPage);
    log_->read(frame.at, frameBuffer_.size(), frameBuffer_.data(), error);
    bytesRead_ += frameBuffer_.size();
    if (*error != 0) return FrameRead::failed;
    if (!frames_->stillHolds(frame, number, frameBuffer_.data())) return FrameRead::changed;
    const std::size_t taken = std::min(length, logPage);
    std::memcpy(into, frameBuffer_.data() + kFrameHeaderSize, taken);
    std::fill(into + taken, into + length, 0);
    const auto& snapshot = frames_->snapshot();
    if (snapshot && snapshot->readLock != 0 && frame.index <= snapshot->frames) return FrameRead::read;
    unsigned char header[kFrameHeaderSize] = {};
    log_->read(frame.at, kFrameHeaderSize, header, error);
    bytesRead_ += kFrameHeaderSize;
    if (*error != 0) return FrameRead::failed;
    return frames_->stillHolds(frame, number, header) ? FrameRead::read : FrameRead::changed;
}

// A page whose newest frame did not read is read as it was before it; one
// that a later frame holds again loses nothing. Frames within the snapshot
// are left out: SQLite's index, made before they were damaged, still reads
// past them, and a reader that makes it anew will name them.
void FileImage::describeLogDamage() {
    std::string said;
    if (frames_->committed() > 0 && frames_->pageSize() != pageSize_) {
        said = "its log's pages are of " + std::to_string(frames_->pageSize()) + " bytes, the file's of " +
               std::to_string(pageSize_);
    }
    const auto& snapshot = frames_->snapshot();
    std::vector<CommittedFrames::DamagedFrame> damaged;
    for (const auto& frame : frames_->damaged()) {
        if (!snapshot || frame.index > snapshot->frames) damaged.push_back(frame);
    }
    if (!damaged.empty()) {
        const auto& first = damaged.front();
        const auto* latest = frames_->frameOf(first.page);
        said += std::string(said.empty() ? "" : "; ") + "its log's frame " + std::to_string(first.index) + " (page " +
                std::to_string(first.page) + ") does not read: " + CommittedFrames::describe(first.why) + "; " +
                (latest && latest->index > first.index ? "a later frame holds the page again"
                                                       : "the page reads as it was before it");
        if (damaged.size() > 1) said += "; and " + std::to_string(damaged.size() - 1) + " more frame(s) like it";
    }
    if (!said.empty()) logDamage_ = said;
}

}  // namespace measurement::sqlite_btree
