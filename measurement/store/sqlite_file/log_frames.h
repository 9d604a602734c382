#pragma once

// The frames of a database file's write-ahead log that SQLite takes, read
// past SQLite and kept, so that a later look at the same log reads only the
// frames written since; and the commits a damaged frame hides from SQLite.
// Not part of the public surface.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "measurement/store/sqlite_file/file_bytes.h"
#include "measurement/store/sqlite_file/format.h"
#include "measurement/store/sqlite_file/log_snapshot.h"

namespace measurement::sqlite_btree {

// SQLite takes the frames whose salts match the log's header and whose
// cumulative checksums hold, from the first on, up to the last commit frame
// of that chain; the latest of those for a page gives its image. A reader
// at a read transaction's snapshot (LogSnapshot) takes the frames up to the
// snapshot's last commit frame, of the log whose salts it names, and no
// commit SQLite's chain reaches past it: those came after the snapshot.
//
// A frame whose checksum fails ends SQLite's chain, and with it every
// commit after it. Each frame's header stores the running checksum up to
// it, so the frames after a damaged one are still checked, each from the
// checksum stored in the frame before it (or, where damage took only that
// stored checksum, from what the frame before summed to): those that hold and carry the
// log's salts are read as committed up to a commit frame among them, the
// damaged frames before that commit named (damaged()), their pages read as
// they were before them unless a later frame holds them again. A reader at
// a snapshot reads past it so only where a damaged frame lies between the
// snapshot and the commit: no SQLite reads those commits any more.
//
// Since each frame's checksum goes on from the one before, the first read
// goes through the whole log, and a later read of the same log (its header
// unchanged, the last commit frame read still giving the sums kept, no
// further than the snapshot asked) goes on from the frame after that
// commit. A log started afresh (new salts), cut short, or one whose last
// commit frame changed its checksum is read whole again. SQLite itself
// writes no committed frame again but in a log started afresh, which a
// writer may do under a reader whose snapshot needs no frame (every one of
// them copied into the file): what reads a frame checks first that the log
// still holds it there (stillHolds).
class CommittedFrames {
public:
    // Where a frame lay when read: its header's place in the log, its number
    // (the first is 1), and the checksum its header stored.
    struct Frame {
        std::uint64_t at = 0;
        std::uint32_t index = 0;
        std::array<unsigned char, 8> stored{};
    };
    // Why a frame does not read (none when it does).
    enum class Damage : unsigned char { none, otherSalts, noPage, checksum };
    static const char* describe(Damage damage);
    // A frame before a commit taken that did not read: its number, the page
    // its header names, and why.
    struct DamagedFrame {
        std::uint32_t index = 0;
        std::uint32_t page = 0;
        Damage why = Damage::none;
    };

    // Reads the log's frames from where the last read stopped, at the
    // snapshot when one is given, past it where a damaged frame lies
    // between unless `pastDamage` is false. False (*why filled) when the
    // log could not be read: it is there, but does not open, or a read
    // fails. A log that is not there, too short for a header, or whose
    // header is no log's holds no frame SQLite takes.
    bool read(const APMByteSource& log, std::string* why, const LogSnapshot* snapshot = nullptr,
              bool pastDamage = true);

    // The frames up to the last commit taken, and the log's page size when
    // there are any.
    std::uint64_t committed() const { return committed_; }
    std::uint32_t pageSize() const { return committed_ > 0 ? pageSize_ : 0; }
    // The file's pages as the last commit frame gives them.
    std::uint32_t pagesAtCommit() const { return pagesAtCommit_; }
    // The highest page number a committed frame holds.
    std::uint32_t highestPage() const { return highestPage_; }
    // The latest committed frame of the page that reads, and where in the
    // log its image lies.
    const Frame* frameOf(std::uint32_t page) const;
    std::optional<std::uint64_t> imageOf(std::uint32_t page) const;
    // The pages committed frames hold, ascending.
    std::vector<std::uint32_t> pages() const;
    const std::vector<DamagedFrame>& damaged() const { return damaged_; }
    // Bytes of the log the last read took.
    std::uint64_t bytesRead() const { return bytesRead_; }
    // The snapshot the last read was bounded by, if any, and whether it
    // took commits past it.
    const std::optional<LogSnapshot>& snapshot() const { return snapshot_; }
    bool pastSnapshot() const { return snapshot_ && committed_ > snapshot_->frames; }

    // Whether a frame's header, read again, is still the one read at the
    // frame's place: the same page, the log's salts, the same checksum.
    bool stillHolds(const Frame& frame, std::uint32_t page, const unsigned char* header) const;

private:
    // The log's checksum: two running sums over pairs of 32-bit words, in
    // the byte order the log's magic names, each frame's going on from the
    // last.
    // What a whole page moves the sums by. Each step is linear in the sums:
    // a page of W words takes (a, b) to (F(W-1) a + F(W) b + the sum of its
    // words w[i] times F(W-1-i), F(W) a + F(W+1) b + the sum of w[i] times
    // F(W-i)), F the Fibonacci numbers (the step's matrix is the square of
    // theirs), all modulo 2^32. Made once a thread for a page size.
    struct PageWeights {
        std::uint32_t pageSize = 0;
        // F(W - i) for i from 0 to W.
        std::vector<std::uint32_t> fibonacci;
        static const PageWeights& of(std::uint32_t size);
    };
    struct Checksum {
        bool bigEndian = false;
        std::uint32_t first = 0;
        std::uint32_t second = 0;
        void add(const unsigned char* bytes, std::size_t size);
        // The same as add() of a whole page of the weights' size.
        void addPage(const unsigned char* bytes, const PageWeights& weights);
        bool matches(const unsigned char* stored) const;
    };
    using Header = std::array<unsigned char, sqlite_format::kLogHeaderSize>;
    // A frame read since the last commit taken, and why it does not read.
    struct Pending {
        std::uint32_t page = 0;
        Frame frame;
        Damage why = Damage::none;
    };

    bool startOver(const Header& header, const LogSnapshot* snapshot, bool pastDamage);
    bool goesOn(const APMByteSource& log, const Header& header, const LogSnapshot* snapshot, bool pastDamage) const;
    bool readFrames(const APMByteSource& log, std::string* why);
    // Whether the scan goes on past the frame.
    bool scan(const unsigned char* frame, std::uint64_t at, std::uint32_t index);
    void take(std::uint32_t index, std::uint32_t pagesAfter);
    // Whether the frame follows from the sums the frame before it, whose
    // stored checksum did not hold, summed to.
    bool followsUnstored(const unsigned char* frame) const;

    Header header_{};
    bool valid_ = false;
    std::uint32_t pageSize_ = 0;
    std::optional<LogSnapshot> snapshot_;
    bool pastDamage_ = true;
    // The sums as the last commit frame taken stored them, and as the frame
    // scanned last did; the frames scanned since that commit.
    Checksum sumAtCommit_;
    Checksum sum_;
    // What the last frame scanned summed to, where its stored checksum did
    // not hold.
    std::optional<Checksum> unstored_;
    std::vector<Pending> pending_;
    std::uint32_t lastDamaged_ = 0;
    std::uint32_t scanDamaged_ = 0;
    std::uint64_t committed_ = 0;
    std::uint32_t pagesAtCommit_ = 0;
    std::uint32_t highestPage_ = 0;
    std::unordered_map<std::uint32_t, Frame> images_;
    std::vector<DamagedFrame> damaged_;
    std::uint64_t bytesRead_ = 0;
};

}  // namespace measurement::sqlite_btree
