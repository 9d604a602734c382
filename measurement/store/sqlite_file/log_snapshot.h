#pragma once

// What a connection's read transaction takes of its database file's
// write-ahead log: SQLite's own view of the log as it stood when the
// transaction took its read lock, recorded by a file layer over SQLite's
// own. Not part of the public surface.

#include <array>
#include <cstdint>
#include <optional>

struct sqlite3;
struct sqlite3_file;
struct sqlite3_vfs;

namespace measurement::sqlite_btree {

// The first copy of the log's index header in shared memory when the read
// lock was taken, which SQLite checks its own copy against before it reads
// under that lock: the frames it takes (those up to `frames`, a commit
// frame's number) of the log whose salts these are. Under lock 0 SQLite
// reads no frame at all, every one of them having been copied into the
// file; under any other lock no writer starts the log afresh, so the
// frames it takes stay where they are.
struct LogSnapshot {
    std::uint32_t frames = 0;
    std::array<unsigned char, 8> salts{};
    int readLock = 0;
    bool operator==(const LogSnapshot&) const = default;
};

// For a file layer over SQLite's own `base` (asked as `layer`, whose own
// settings SQLite's layers read): opens a database file so that it records
// the snapshot of each read lock taken on it, and any other file as
// `base` does. A file so opened takes recordingFileSize(base's) bytes.
int openRecordingSnapshots(sqlite3_vfs* base, sqlite3_vfs* layer, const char* name, sqlite3_file* file, int flags,
                           int* outFlags);
int recordingFileSize(int baseSize);

// The snapshot of the read transaction the connection holds on its main
// file. None when it holds none, when its file was not opened through such
// a layer, or when its log's index is not shared memory it can trust (read
// into the process's own memory, as SQLite does with an index it may only
// read that no live connection made). An index it may only read that a
// live connection made is SQLite's own view, as for any reader.
std::optional<LogSnapshot> readSnapshotOf(sqlite3* db);

// Whether the connection itself holds the log's write lock: no other
// connection writes a frame meanwhile.
bool writesLog(sqlite3* db);

// While it lives, no other connection commits into the connection's log:
// a shared hold of the log's write lock (as SQLite's own readers of an
// index they may only read take), had at once or not at all (held()): a
// writer meanwhile finds the log busy, as while any other writes. A writer
// part way through a commit rewrites checksums of frames it wrote before,
// so that for a moment the log reads as damaged frames before a commit.
class WritersHeldOff {
public:
    explicit WritersHeldOff(sqlite3* db);
    ~WritersHeldOff();
    WritersHeldOff(const WritersHeldOff&) = delete;
    WritersHeldOff& operator=(const WritersHeldOff&) = delete;
    bool held() const { return held_; }

private:
    sqlite3* db_;
    bool held_ = false;
};

}  // namespace measurement::sqlite_btree
