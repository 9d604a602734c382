#pragma once

// A database file's pages as SQLite reads them, read past SQLite: the
// file's own bytes overlaid by the frames its write-ahead log has
// committed. Not part of the public surface.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/store/sqlite_file/file_bytes.h"
#include "measurement/store/sqlite_file/log_frames.h"
#include "measurement/store/sqlite_file/log_snapshot.h"
#include "measurement/store/sqlite_file/record.h"

struct sqlite3;

namespace measurement::sqlite_btree {

// Read once when made: the file's header, and which frames of its log
// ("-wal" beside it) SQLite takes (see CommittedFrames). Every read is
// bounded by the files' sizes, and the pages it gives by what the file and
// the log hold. For a view that matches SQLite's, make it while the
// connection holds the file's write lock (no other process commits
// meanwhile).
class FileImage {
public:
    // Plain reads of the file at the path and of its log: not for a file
    // that a connection of this process has open (see APMFileBytes).
    explicit FileImage(const std::string& databasePath);
    // Reads through the connection's own handles of its main file and of
    // the log it has open, so that no descriptor of them is opened or
    // closed and the locks SQLite holds on them stay, at the snapshot of
    // the read transaction the connection holds (see readSnapshotOf; with
    // none, up to the log's last commit). `kept`: the frames an earlier
    // image of the same log read, which are not read again, and which keeps
    // this one's for the next (it must outlive this image).
    explicit FileImage(sqlite3* db, CommittedFrames* kept = nullptr);
    // Reads the two sources given, which must outlive it.
    FileImage(const APMByteSource& file, const APMByteSource& log);
    FileImage(const FileImage&) = delete;
    FileImage& operator=(const FileImage&) = delete;

    // Why no page reads: a file that cannot be read (readFailed()), or a
    // header that is none of a database's (cut short, another magic, a page
    // size that is no power of two from 512 to 65536, more pages counted
    // than the file and its log hold); none when pages read.
    const std::optional<std::string>& unreadable() const { return unreadable_; }
    // Whether that is the system's refusal (the file does not open, a read
    // fails) rather than what the bytes say.
    bool readFailed() const { return readFailed_; }

    std::uint32_t pageSize() const { return pageSize_; }
    // The bytes of a page that hold its content, before those the file
    // reserves at the end of every page.
    std::uint32_t usableSize() const { return usableSize_; }
    // The pages the file and its committed frames hold, of those SQLite
    // takes the file to have (its header's count where that holds and the
    // file holds as many, else the last commit's in the log, else the
    // file's size): no more than the file's pages and the log's frames,
    // whatever a count says. The others read as none.
    std::uint32_t pageCount() const { return pageCount_; }
    // Where the header says otherwise than the file holds (a count past
    // its pages: a file cut short, a count written over): what it says. The
    // pages are read all the same.
    const std::optional<std::string>& headerDamage() const { return headerDamage_; }
    // The header's count of the schema's changes, and how the file's text
    // is stored (see utf8Text).
    std::uint32_t schemaCookie() const { return schemaCookie_; }
    TextEncoding textEncoding() const { return textEncoding_; }
    bool utf8() const { return textEncoding_ == TextEncoding::utf8; }
    // The pages the file or a committed frame holds, ascending (pageCount()
    // of them).
    std::vector<std::uint32_t> pagesHeld() const;
    // Whether the file or a committed frame holds the page (readPage reads
    // it unless a read fails).
    bool holds(std::uint32_t number) const;
    // The frames of the log that SQLite takes.
    std::uint64_t committedFrames() const { return frames_->committed(); }
    // What of the log does not read as SQLite writes it, its pages read all
    // the same: frames that do not read before a commit taken that they hide
    // from SQLite (see CommittedFrames), pages of another size than the
    // file's (whose first bytes SQLite reads, as far as a page of the file,
    // the rest as zeros). None when the log reads whole.
    const std::optional<std::string>& logDamage() const { return logDamage_; }
    // Bytes read from the file and the log so far, pages included.
    std::uint64_t bytesRead() const { return bytesRead_; }

    // Reads page `number` (the first is 1) into `into` (pageSize() bytes):
    // the latest committed frame of it, else the file's bytes, zeros past
    // its end. A frame is read only where the log still holds it: one of
    // the snapshot's that the log no longer holds was copied into the file
    // (a writer starts the log afresh only then), and is read there. False
    // (*why filled) when it has none: a page neither the file nor a
    // committed frame holds (nothing is filled in for it), a read
    // that failed. *systemFailed (when given) tells the last: a read the
    // system failed (an I/O error), or an image that could not be read for
    // that reason (readFailed()), which says nothing of the file's bytes
    // and must fail its reader's work rather than be taken for damage.
    bool readPage(std::uint32_t number, unsigned char* into, std::string* why, bool* systemFailed = nullptr) const;

private:
    enum class FrameRead { read, failed, changed };

    void read(const LogSnapshot* snapshot, sqlite3* db);
    void readHeader();
    void refuse(const std::string& why, bool readFailed);
    void describeLogDamage();
    // Reads `length` bytes of the page (the file's or the log's): false,
    // *error the errno, when a read fails, or *error 0 when the log no
    // longer holds a frame past the snapshot.
    bool readImage(std::uint32_t number, std::size_t pageSize, unsigned char* into, std::size_t length,
                   int* error) const;
    FrameRead readFrame(const CommittedFrames::Frame& frame, std::uint32_t number, unsigned char* into,
                        std::size_t length, int* error) const;

    std::unique_ptr<APMByteSource> ownedFile_;
    std::unique_ptr<APMByteSource> ownedLog_;
    const APMByteSource* file_ = nullptr;
    const APMByteSource* log_ = nullptr;
    CommittedFrames ownFrames_;
    CommittedFrames* frames_ = &ownFrames_;
    std::optional<std::string> unreadable_;
    bool readFailed_ = false;
    std::uint32_t pageSize_ = 0;
    std::uint32_t usableSize_ = 0;
    std::optional<std::string> headerDamage_;
    std::uint32_t pageCount_ = 0;
    std::uint32_t lastPage_ = 0;
    std::uint32_t filePages_ = 0;
    std::uint32_t schemaCookie_ = 0;
    TextEncoding textEncoding_ = TextEncoding::utf8;
    std::optional<std::string> logDamage_;
    mutable std::vector<unsigned char> frameBuffer_;
    mutable std::uint64_t bytesRead_ = 0;
};

}  // namespace measurement::sqlite_btree
