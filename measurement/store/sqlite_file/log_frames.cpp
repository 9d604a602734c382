// Which frames of a write-ahead log SQLite takes: salts and cumulative checksums from the first frame to the last commit.
#include "measurement/store/sqlite_file/log_frames.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>

namespace measurement::sqlite_btree {

namespace {

using namespace sqlite_format;

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
constexpr std::size_t kChecksumSize = 8;
constexpr std::size_t kChecksumWordPair = 8;
// The log is read this many bytes of frames at a time (at least a frame).
constexpr std::size_t kLogReadBytes = std::size_t{1} << 16;

std::uint32_t bigEndian32(const unsigned char* bytes) { return bigEndian(bytes, kWordSize); }

std::uint32_t swapped(std::uint32_t word) { return __builtin_bswap32(word); }

}  // namespace

// The words are loaded whole and turned only when the log's order is not
// the machine's: the sums run over every byte of every frame. Each step is
// linear in the two sums: two pairs of words (u0 v0 u1 v1) move them as
// the square of one step's matrix ((1 1) (1 2)) does, plus what the words
// give from sums of zero, which does not wait on the sums.
void CommittedFrames::Checksum::add(const unsigned char* bytes, std::size_t size) {
    const bool turn = bigEndian != (std::endian::native == std::endian::big);
    auto word = [&](std::size_t at) {
        std::uint32_t value = 0;
        std::memcpy(&value, bytes + at, kWordSize);
        return turn ? swapped(value) : value;
    };
    std::uint32_t a = first, b = second;
    std::size_t at = 0;
    for (; at + 2 * kChecksumWordPair <= size; at += 2 * kChecksumWordPair) {
        const std::uint32_t u0 = word(at), v0 = word(at + kWordSize);
        const std::uint32_t u1 = word(at + kChecksumWordPair), v1 = word(at + kChecksumWordPair + kWordSize);
        const std::uint32_t x = 2 * u0 + v0 + u1;
        const std::uint32_t y = 3 * u0 + 2 * v0 + u1 + v1;
        const std::uint32_t nextA = 2 * a + 3 * b + x;
        b = 3 * a + 5 * b + y;
        a = nextA;
    }
    for (; at + kChecksumWordPair <= size; at += kChecksumWordPair) {
        a += word(at) + b;
        b += word(at + kWordSize) + a;
    }
    first = a;
    second = b;
}

bool CommittedFrames::Checksum::matches(const unsigned char* stored) const {
    return bigEndian32(stored) == first && bigEndian32(stored + kWordSize) == second;
}

std::optional<std::uint64_t> CommittedFrames::imageOf(std::uint32_t page) const {
    const auto found = images_.find(page);
    if (found == images_.end()) return std::nullopt;
    return found->second;
}

std::vector<std::uint32_t> CommittedFrames::pages() const {
    std::vector<std::uint32_t> pages;
    pages.reserve(images_.size());
    for (const auto& image : images_) pages.push_back(image.first);
    std::sort(pages.begin(), pages.end());
    return pages;
}

bool CommittedFrames::read(const APMByteSource& log, std::string* why) {
    bytesRead_ = 0;
    if (log.openError() != 0) {
        *this = {};
        if (log.openError() == ENOENT) return true;
        *why = std::string("its log cannot be opened: ") + std::strerror(log.openError());
        return false;
    }
    Header header{};
    int error = 0;
    if (log.size() < kLogHeaderSize || !log.read(0, kLogHeaderSize, header.data(), &error)) {
        *this = {};
        if (error == 0) return true;
        *why = std::string("its log cannot be read: ") + std::strerror(error);
        return false;
    }
    bytesRead_ += kLogHeaderSize;
    if (!goesOn(log, header) && !startOver(header)) return true;
    return readFrames(log, why);
}

// A header that is no log's, or whose own checksum fails, leaves no frame.
bool CommittedFrames::startOver(const Header& header) {
    const std::uint64_t bytesRead = bytesRead_;
    *this = {};
    bytesRead_ = bytesRead;
    const std::uint32_t magic = bigEndian32(header.data());
    const std::uint32_t pageSize = bigEndian32(header.data() + kLogPageSizeAt);
    if ((magic & ~kBigEndianChecksums) != kLogMagic || bigEndian32(header.data() + kLogVersionAt) != kLogVersion ||
        !validPageSize(pageSize)) {
        return false;
    }
    Checksum sum{(magic & kBigEndianChecksums) != 0};
    sum.add(header.data(), kLogChecksumAt);
    if (!sum.matches(header.data() + kLogChecksumAt)) return false;
    header_ = header;
    valid_ = true;
    pageSize_ = pageSize;
    sumAtCommit_ = sum;
    return true;
}

// The same log, its last commit frame as it was read: the frames up to it
// need not be read again.
bool CommittedFrames::goesOn(const APMByteSource& log, const Header& header) const {
    if (!valid_ || header != header_) return false;
    const std::uint64_t frameSize = kFrameHeaderSize + std::uint64_t{pageSize_};
    if (committed_ == 0) return true;
    if (log.size() < kLogHeaderSize + committed_ * frameSize) return false;
    unsigned char stored[kChecksumSize] = {};
    const std::uint64_t last = kLogHeaderSize + (committed_ - 1) * frameSize;
    return log.read(last + kFrameChecksumAt, kChecksumSize, stored) && sumAtCommit_.matches(stored);
}

bool CommittedFrames::take(const unsigned char* frame, std::uint64_t offset) {
    const std::uint32_t page = bigEndian32(frame);
    if (page == 0 || std::memcmp(frame + kFrameSaltsAt, header_.data() + kLogSaltsAt, kSaltsSize) != 0) return false;
    sum_.add(frame, kFrameChecksummedBytes);
    sum_.add(frame + kFrameHeaderSize, pageSize_);
    if (!sum_.matches(frame + kFrameChecksumAt)) return false;
    uncommitted_.emplace_back(page, offset + kFrameHeaderSize);
    const std::uint32_t pagesAfter = bigEndian32(frame + kFramePagesAfterAt);
    if (pagesAfter == 0) return true;
    for (const auto& [number, at] : uncommitted_) {
        images_[number] = at;
        highestPage_ = std::max(highestPage_, number);
    }
    committed_ += uncommitted_.size();
    uncommitted_.clear();
    pagesAtCommit_ = pagesAfter;
    sumAtCommit_ = sum_;
    return true;
}

// Frames after the last commit read count again only once a commit frame
// follows them: they are read afresh each time.
bool CommittedFrames::readFrames(const APMByteSource& log, std::string* why) {
    const std::size_t frameSize = kFrameHeaderSize + pageSize_;
    const std::uint64_t frames = (log.size() - kLogHeaderSize) / frameSize;
    if (frames <= committed_) return true;
    const std::size_t batch = static_cast<std::size_t>(
        std::min<std::uint64_t>(frames - committed_, std::max<std::size_t>(1, kLogReadBytes / frameSize)));
    // Not cleared: each read fills what it takes.
    const std::unique_ptr<unsigned char[]> buffer(new unsigned char[batch * frameSize]);
    sum_ = sumAtCommit_;
    uncommitted_.clear();
    for (std::uint64_t first = committed_; first < frames; first += batch) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(batch, frames - first));
        const std::uint64_t at = kLogHeaderSize + first * frameSize;
        int error = 0;
        log.read(at, count * frameSize, buffer.get(), &error);
        bytesRead_ += count * frameSize;
        if (error != 0) {
            *why = std::string("its log cannot be read: ") + std::strerror(error);
            return false;
        }
        for (std::size_t index = 0; index < count; ++index) {
            if (!take(buffer.get() + index * frameSize, at + index * frameSize)) return true;
        }
    }
    return true;
}

}  // namespace measurement::sqlite_btree
