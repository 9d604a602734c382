// Which frames of a write-ahead log SQLite takes: salts and cumulative checksums from the first frame to the last commit.
#include "measurement/store/sqlite_file/log_frames.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#include <immintrin.h>
#endif

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

namespace {

// The two weighted sums of a page's words (see PageWeights), in the
// machine's order or turned, eight words at a time where the processor has
// the instructions; false where it has not.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
__attribute__((target("avx2"))) void weightedSumsWide(const unsigned char* bytes, std::size_t words,
                                                      const std::uint32_t* fibonacci, bool turn,
                                                      std::uint32_t* sums) {
    const __m256i turned = _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, 3, 2, 1, 0, 7, 6,
                                            5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    __m256i first = _mm256_setzero_si256(), second = _mm256_setzero_si256();
    constexpr std::size_t kLanes = 8;
    for (std::size_t at = 0; at < words; at += kLanes) {
        __m256i word = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + at * kWordSize));
        if (turn) word = _mm256_shuffle_epi8(word, turned);
        const auto* weights = reinterpret_cast<const __m256i*>(fibonacci + at);
        const auto* firstWeights = reinterpret_cast<const __m256i*>(fibonacci + at + 1);
        first = _mm256_add_epi32(first, _mm256_mullo_epi32(word, _mm256_loadu_si256(firstWeights)));
        second = _mm256_add_epi32(second, _mm256_mullo_epi32(word, _mm256_loadu_si256(weights)));
    }
    alignas(32) std::uint32_t lanes[2][kLanes];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[0]), first);
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[1]), second);
    sums[0] = sums[1] = 0;
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
        sums[0] += lanes[0][lane];
        sums[1] += lanes[1][lane];
    }
}

// Asked of the processor directly, and only once pages are summed: the
// compiler's own feature check is made as every process starts, whether
// or not it reads a log, and asks a dozen questions that a virtual machine
// answers slowly (a tenth of a millisecond a process here). The wide
// instructions need the processor to have them and the system to save the
// wide registers (the SSE and AVX states of the extended control register).
bool processorSumsWide() {
    constexpr unsigned kBasicFeatures = 1;
    constexpr unsigned kExtendedFeatures = 7;
    constexpr std::uint64_t kWideRegisterStates = 0x6;
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (static_cast<unsigned>(__get_cpuid_max(0, nullptr)) < kExtendedFeatures) return false;
    __cpuid(kBasicFeatures, eax, ebx, ecx, edx);
    if ((ecx & bit_OSXSAVE) == 0 || (ecx & bit_AVX) == 0) return false;
    std::uint32_t low = 0, high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    const std::uint64_t states = (std::uint64_t{high} << 32) | low;
    if ((states & kWideRegisterStates) != kWideRegisterStates) return false;
    __cpuid_count(kExtendedFeatures, 0, eax, ebx, ecx, edx);
    return (ebx & bit_AVX2) != 0;
}

// Each question costs what summing a few pages word by word does, so a
// process asks only once it has summed this many: a short log, as most
// processes meet, is summed without asking.
constexpr std::uint32_t kPagesSummedBeforeAsking = 16;

bool weightedSums(const unsigned char* bytes, std::size_t words, const std::uint32_t* fibonacci, bool turn,
                  std::uint32_t* sums) {
    static std::atomic<std::uint32_t> pagesSummed{0};
    if (pagesSummed.load(std::memory_order_relaxed) < kPagesSummedBeforeAsking) {
        pagesSummed.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    static const bool wide = processorSumsWide();
    if (!wide) return false;
    weightedSumsWide(bytes, words, fibonacci, turn, sums);
    return true;
}
#else
bool weightedSums(const unsigned char*, std::size_t, const std::uint32_t*, bool, std::uint32_t*) { return false; }
#endif

}  // namespace

const CommittedFrames::PageWeights& CommittedFrames::PageWeights::of(std::uint32_t size) {
    thread_local PageWeights made;
    if (made.pageSize == size) return made;
    const std::size_t words = size / kWordSize;
    made.pageSize = size;
    made.fibonacci.assign(words + 1, 0);
    made.fibonacci[words - 1] = 1;
    for (std::size_t at = words - 1; at-- > 0;) made.fibonacci[at] = made.fibonacci[at + 1] + made.fibonacci[at + 2];
    return made;
}

void CommittedFrames::Checksum::addPage(const unsigned char* bytes, const PageWeights& weights) {
    std::uint32_t sums[2] = {};
    const bool turn = bigEndian != (std::endian::native == std::endian::big);
    const auto& fibonacci = weights.fibonacci;
    if (!weightedSums(bytes, fibonacci.size() - 1, fibonacci.data(), turn, sums)) {
        add(bytes, weights.pageSize);
        return;
    }
    const std::uint32_t a = first, b = second;
    first = fibonacci[1] * a + fibonacci[0] * b + sums[0];
    second = fibonacci[0] * a + (fibonacci[0] + fibonacci[1]) * b + sums[1];
}

bool CommittedFrames::Checksum::matches(const unsigned char* stored) const {
    return bigEndian32(stored) == first && bigEndian32(stored + kWordSize) == second;
}

const char* CommittedFrames::describe(Damage damage) {
    switch (damage) {
        case Damage::otherSalts: return "it carries other salts than the log's header";
        case Damage::noPage: return "it names no page";
        case Damage::checksum: return "its checksum does not follow from the frame before it";
        case Damage::none: break;
    }
    return "it reads";
}

const CommittedFrames::Frame* CommittedFrames::frameOf(std::uint32_t page) const {
    const auto found = images_.find(page);
    return found == images_.end() ? nullptr : &found->second;
}

std::optional<std::uint64_t> CommittedFrames::imageOf(std::uint32_t page) const {
    const Frame* frame = frameOf(page);
    if (!frame) return std::nullopt;
    return frame->at + kFrameHeaderSize;
}

std::vector<std::uint32_t> CommittedFrames::pages() const {
    std::vector<std::uint32_t> pages;
    pages.reserve(images_.size());
    for (const auto& image : images_) pages.push_back(image.first);
    std::sort(pages.begin(), pages.end());
    return pages;
}

bool CommittedFrames::stillHolds(const Frame& frame, std::uint32_t page, const unsigned char* header) const {
    return bigEndian32(header) == page &&
           std::memcmp(header + kFrameSaltsAt, header_.data() + kLogSaltsAt, kSaltsSize) == 0 &&
           std::memcmp(header + kFrameChecksumAt, frame.stored.data(), kChecksumSize) == 0;
}

bool CommittedFrames::read(const APMByteSource& log, std::string* why, const LogSnapshot* snapshot, bool pastDamage) {
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
    if (goesOn(log, header, snapshot, pastDamage)) {
        snapshot_ = snapshot ? std::optional<LogSnapshot>(*snapshot) : std::nullopt;
    } else if (!startOver(header, snapshot, pastDamage)) {
        return true;
    }
    return readFrames(log, why);
}

// A header that is no log's, or whose own checksum fails, leaves no frame;
// so does one of other salts than the snapshot's: the log was started
// afresh since, which SQLite does only once every frame the snapshot takes
// was copied into the file.
bool CommittedFrames::startOver(const Header& header, const LogSnapshot* snapshot, bool pastDamage) {
    const std::uint64_t bytesRead = bytesRead_;
    *this = {};
    bytesRead_ = bytesRead;
    const std::uint32_t magic = bigEndian32(header.data());
    const std::uint32_t pageSize = bigEndian32(header.data() + kLogPageSizeAt);
    if ((magic & ~kBigEndianChecksums) != kLogMagic || bigEndian32(header.data() + kLogVersionAt) != kLogVersion ||
        !validPageSize(pageSize)) {
        return false;
    }
    if (snapshot && std::memcmp(snapshot->salts.data(), header.data() + kLogSaltsAt, kSaltsSize) != 0) return false;
    Checksum sum{(magic & kBigEndianChecksums) != 0};
    sum.add(header.data(), kLogChecksumAt);
    if (!sum.matches(header.data() + kLogChecksumAt)) return false;
    header_ = header;
    valid_ = true;
    pageSize_ = pageSize;
    sumAtCommit_ = sum;
    if (snapshot) snapshot_ = *snapshot;
    pastDamage_ = pastDamage;
    return true;
}

// The same log, its last commit frame as it was read, no further than the
// snapshot asked: the frames up to it need not be read again.
bool CommittedFrames::goesOn(const APMByteSource& log, const Header& header, const LogSnapshot* snapshot,
                             bool pastDamage) const {
    if (!valid_ || header != header_ || pastDamage != pastDamage_) return false;
    if (snapshot && committed_ > snapshot->frames) return false;
    const std::uint64_t frameSize = kFrameHeaderSize + std::uint64_t{pageSize_};
    if (committed_ == 0) return true;
    if (log.size() < kLogHeaderSize + committed_ * frameSize) return false;
    unsigned char stored[kChecksumSize] = {};
    const std::uint64_t last = kLogHeaderSize + (committed_ - 1) * frameSize;
    return log.read(last + kFrameChecksumAt, kChecksumSize, stored) && sumAtCommit_.matches(stored);
}

// Each frame is checked from the checksum the frame before it stored,
// which is the running sum where that one read. A frame of other salts is
// not summed: a frame of an earlier log, or damage, either way not read.
bool CommittedFrames::scan(const unsigned char* frame, std::uint64_t at, std::uint32_t index) {
    Pending pending{bigEndian32(frame), Frame{at, index, {}}, {}};
    std::memcpy(pending.frame.stored.data(), frame + kFrameChecksumAt, kChecksumSize);
    if (std::memcmp(frame + kFrameSaltsAt, header_.data() + kLogSaltsAt, kSaltsSize) != 0) {
        pending.why = Damage::otherSalts;
    } else if (pending.page == 0) {
        pending.why = Damage::noPage;
    } else {
        Checksum summed = sum_;
        summed.add(frame, kFrameChecksummedBytes);
        summed.addPage(frame + kFrameHeaderSize, PageWeights::of(pageSize_));
        if (!summed.matches(frame + kFrameChecksumAt) && !followsUnstored(frame)) pending.why = Damage::checksum;
        // Damage to a frame's stored checksum alone leaves its words whole:
        // the frame after it follows from what they sum to.
        unstored_ = pending.why == Damage::checksum ? std::optional<Checksum>(summed) : std::nullopt;
    }
    if (pending.why != Damage::checksum) unstored_.reset();
    sum_.first = bigEndian32(frame + kFrameChecksumAt);
    sum_.second = bigEndian32(frame + kFrameChecksumAt + kWordSize);
    const bool damaged = pending.why != Damage::none;
    if (damaged) scanDamaged_ = index;
    pending_.push_back(pending);
    const std::uint32_t pagesAfter = bigEndian32(frame + kFramePagesAfterAt);
    if (damaged || pagesAfter == 0) return true;
    // A commit SQLite's chain reaches past the snapshot came after it.
    if (snapshot_ && index > snapshot_->frames && (!pastDamage_ || scanDamaged_ <= snapshot_->frames)) return false;
    take(index, pagesAfter);
    return true;
}

bool CommittedFrames::followsUnstored(const unsigned char* frame) const {
    if (!unstored_) return false;
    Checksum summed = *unstored_;
    summed.add(frame, kFrameChecksummedBytes);
    summed.addPage(frame + kFrameHeaderSize, PageWeights::of(pageSize_));
    return summed.matches(frame + kFrameChecksumAt);
}

void CommittedFrames::take(std::uint32_t index, std::uint32_t pagesAfter) {
    for (const auto& pending : pending_) {
        if (pending.why != Damage::none) {
            damaged_.push_back({pending.frame.index, pending.page, pending.why});
            lastDamaged_ = pending.frame.index;
            continue;
        }
        images_[pending.page] = pending.frame;
        highestPage_ = std::max(highestPage_, pending.page);
    }
    pending_.clear();
    committed_ = index;
    pagesAtCommit_ = pagesAfter;
    sumAtCommit_ = sum_;
}

// Frames after the last commit taken count again only once a commit frame
// follows them: they are read afresh each time.
bool CommittedFrames::readFrames(const APMByteSource& log, std::string* why) {
    const std::size_t frameSize = kFrameHeaderSize + pageSize_;
    const std::uint64_t frames =
        std::min<std::uint64_t>((log.size() - kLogHeaderSize) / frameSize, std::numeric_limits<std::uint32_t>::max());
    if (frames <= committed_) return true;
    const std::size_t batch = static_cast<std::size_t>(
        std::min<std::uint64_t>(frames - committed_, std::max<std::size_t>(1, kLogReadBytes / frameSize)));
    // Not cleared: each read fills what it takes.
    const std::unique_ptr<unsigned char[]> buffer(new unsigned char[batch * frameSize]);
    sum_ = sumAtCommit_;
    unstored_.reset();
    pending_.clear();
    scanDamaged_ = lastDamaged_;
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
            const auto number = static_cast<std::uint32_t>(first + index + 1);
            if (!scan(buffer.get() + index * frameSize, at + index * frameSize, number)) return true;
        }
    }
    pending_.clear();
    return true;
}

}  // namespace measurement::sqlite_btree
