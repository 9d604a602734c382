#pragma once

// A database file's pages as SQLite reads them, read past SQLite: the
// file's own bytes overlaid by the frames its write-ahead log has
// committed. Not part of the public surface.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "measurement/store/sqlite_file/file_bytes.h"

struct sqlite3;

namespace measurement::sqlite_btree {

// Read once when made: the file's header, and which frames of its log
// ("-wal" beside it) SQLite takes, that is, those whose salts match the
// log's header and whose cumulative checksums hold, up to the last commit
// frame of that chain; the latest of those for a page gives its image.
// Every read is bounded by the files' sizes. For a view that matches
// SQLite's, make it while the connection holds the file's write lock (no
// other process commits meanwhile).
class FileImage {
public:
    // Plain reads of the file at the path and of its log: not for a file
    // that a connection of this process has open (see APMFileBytes).
    explicit FileImage(const std::string& databasePath);
    // Reads through the connection's own handles of its main file and of
    // the log it has open, so that no descriptor of them is opened or
    // closed and the locks SQLite holds on them stay.
    explicit FileImage(sqlite3* db);
    FileImage(const FileImage&) = delete;
    FileImage& operator=(const FileImage&) = delete;

    // Why no page reads: a file that cannot be read (readFailed()), or a
    // header that is none of a database's (cut short, another magic, a page
    // size that is no power of two from 512 to 65536, one the log does not
    // share); none when pages read.
    const std::optional<std::string>& unreadable() const { return unreadable_; }
    // Whether that is the system's refusal (the file does not open, a read
    // fails) rather than what the bytes say.
    bool readFailed() const { return readFailed_; }

    std::uint32_t pageSize() const { return pageSize_; }
    // The bytes of a page that hold its content, before those the file
    // reserves at the end of every page.
    std::uint32_t usableSize() const { return usableSize_; }
    // The pages SQLite takes the file to have: its header's count where
    // that holds, else the last commit's in the log, else the file's size.
    std::uint32_t pageCount() const { return pageCount_; }
    // The frames of the log that SQLite takes.
    std::uint64_t committedFrames() const { return committedFrames_; }

    // Reads page `number` (the first is 1) into `into` (pageSize() bytes):
    // the latest committed frame of it, else the file's bytes, zeros past
    // its end. False (*why filled) when it has none: a number outside the
    // pages, a read that failed.
    bool readPage(std::uint32_t number, unsigned char* into, std::string* why) const;

private:
    void read();
    void readLog();
    void readHeader();
    void refuse(const std::string& why, bool readFailed);

    std::unique_ptr<APMByteSource> file_;
    std::unique_ptr<APMByteSource> log_;
    std::optional<std::string> unreadable_;
    bool readFailed_ = false;
    std::uint32_t pageSize_ = 0;
    std::uint32_t usableSize_ = 0;
    std::uint32_t pageCount_ = 0;
    // The log's page size, its committed frames, the pages the file had at
    // the last of them, and where each page's latest image lies in it.
    std::uint32_t logPageSize_ = 0;
    std::uint64_t committedFrames_ = 0;
    std::uint32_t pagesAtCommit_ = 0;
    std::unordered_map<std::uint32_t, std::uint64_t> logImages_;
};

}  // namespace measurement::sqlite_btree
