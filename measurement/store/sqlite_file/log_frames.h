#pragma once

// The frames of a database file's write-ahead log that SQLite takes, read
// past SQLite and kept, so that a later look at the same log reads only the
// frames written since. Not part of the public surface.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "measurement/store/sqlite_file/file_bytes.h"
#include "measurement/store/sqlite_file/format.h"

namespace measurement::sqlite_btree {

// SQLite takes the frames whose salts match the log's header and whose
// cumulative checksums hold, from the first on, up to the last commit frame
// of that chain; the latest of those for a page gives its image. Since each
// frame's checksum goes on from the one before, no frame can be taken
// without every frame before it: the first read goes through the whole
// log, and a later read of the same log (its header unchanged, the last
// commit frame read still giving the sums kept) goes on from the frame
// after that commit. A log started afresh (new salts), cut short, or one
// whose last commit frame changed its checksum is read whole again. SQLite
// itself writes no committed frame again but in a log started afresh: a
// committed frame whose page changed after it was read is left to what
// reads the rows back, and to the next process's first read.
class CommittedFrames {
public:
    // Reads the log's frames from where the last read stopped. False (*why
    // filled) when the log could not be read; a log too short for a header,
    // or one whose header is no log's, holds no frame SQLite takes.
    bool read(const APMByteSource& log, std::string* why);

    // The frames SQLite takes, and the log's page size when there are any.
    std::uint64_t committed() const { return committed_; }
    std::uint32_t pageSize() const { return committed_ > 0 ? pageSize_ : 0; }
    // The file's pages as the last commit frame gives them.
    std::uint32_t pagesAtCommit() const { return pagesAtCommit_; }
    // The highest page number a committed frame holds.
    std::uint32_t highestPage() const { return highestPage_; }
    // Where in the log the latest committed image of the page lies.
    std::optional<std::uint64_t> imageOf(std::uint32_t page) const;
    // The pages committed frames hold, ascending.
    std::vector<std::uint32_t> pages() const;
    // Bytes of the log the last read took.
    std::uint64_t bytesRead() const { return bytesRead_; }

private:
    // The log's checksum: two running sums over pairs of 32-bit words, in
    // the byte order the log's magic names, each frame's going on from the
    // last.
    struct Checksum {
        bool bigEndian = false;
        std::uint32_t first = 0;
        std::uint32_t second = 0;
        void add(const unsigned char* bytes, std::size_t size);
        bool matches(const unsigned char* stored) const;
    };
    using Header = std::array<unsigned char, sqlite_format::kLogHeaderSize>;

    bool startOver(const Header& header);
    bool goesOn(const APMByteSource& log, const Header& header) const;
    // Takes the frame (a page image after its header) when it continues the
    // chain; false when the chain ends at it.
    bool take(const unsigned char* frame, std::uint64_t offset);
    bool readFrames(const APMByteSource& log, std::string* why);

    Header header_{};
    bool valid_ = false;
    std::uint32_t pageSize_ = 0;
    // The sums as the last commit frame leaves them, and as the frames read
    // after it do; those frames, as (page, offset of its image).
    Checksum sumAtCommit_;
    Checksum sum_;
    std::vector<std::pair<std::uint32_t, std::uint64_t>> uncommitted_;
    std::uint64_t committed_ = 0;
    std::uint32_t pagesAtCommit_ = 0;
    std::uint32_t highestPage_ = 0;
    std::unordered_map<std::uint32_t, std::uint64_t> images_;
    std::uint64_t bytesRead_ = 0;
};

}  // namespace measurement::sqlite_btree
