// Recording the log's index header under each read lock a connection takes, so that its log is read at its own snapshot.
#include "measurement/store/sqlite_file/log_snapshot.h"

#include <sqlite3.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>

namespace measurement::sqlite_btree {

namespace {

// The log's index in shared memory begins with two copies of its header,
// of native-order integers: the version, the change count, whether it was
// made, the checksums' order, the log's page size, then the last commit
// frame's number, the file's pages after it, that frame's checksum, the
// log's salts (as its header holds them) and the header's own checksum:
// what a reader takes is the frame's number and the salts.
// Its locks: writing, checkpointing, recovering, then one per reader.
constexpr std::size_t kIndexHeaderSize = 48;
constexpr std::uint32_t kIndexVersion = 3007000;
constexpr std::size_t kIndexVersionAt = 0;
constexpr std::size_t kIndexMadeAt = 12;
constexpr std::size_t kLastCommitAt = 16;
constexpr std::size_t kSaltsAt = 32;
constexpr int kFirstReadLock = 3;
constexpr int kReadLocks = 5;
// The shared memory is mapped in regions of this size; the header lies in
// the first.
constexpr int kIndexRegionSize = 32768;
// Asked of a database file this layer opened: its snapshot (SnapshotAnswer),
// and its hold of the log's write lock (WriteLockAsked). Far from SQLite's
// own operations, which it passes on.
constexpr int kSnapshotFileControl = 0x564c5301;
constexpr int kWriteLockFileControl = 0x564c5302;
constexpr int kWriteLock = 0;

struct SnapshotAnswer {
    bool held = false;
    LogSnapshot snapshot;
};

struct WriteLockAsked {
    enum class What { writes, holdOff, letGo } what = What::writes;
    bool answer = false;
};

// What SQLite holds, the base's file after it.
struct RecordingFile {
    sqlite3_file file;
    sqlite3_io_methods methods;
    sqlite3_file* base;
    // An index that may only be read: its header is read as SQLite reads
    // it while a live connection made it (see sharedIndex), but writers are
    // never held off through it.
    bool indexReadOnly;
    bool held;
    LogSnapshot snapshot;
    // Whether SQLite holds the write lock, and whether writers are held
    // off here.
    bool writing;
    bool holdingOff;
};

// SQLite hands back the pointer to `file`, its first member, and frees the
// memory without destroying anything in it.
static_assert(std::is_standard_layout_v<RecordingFile> && std::is_trivially_destructible_v<RecordingFile>);
constexpr int kRecordingPartSize =
    static_cast<int>((sizeof(RecordingFile) + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) *
                     alignof(std::max_align_t));

sqlite3_file* baseOf(sqlite3_file* file) { return reinterpret_cast<RecordingFile*>(file)->base; }

std::uint32_t nativeWord(const unsigned char* bytes) {
    std::uint32_t word = 0;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// An index SQLite reads in shared memory: one it may write, or one it may
// only read that a live connection made (SQLITE_READONLY), whose header and
// read locks SQLite uses as any reader's. One that no live connection made
// (SQLITE_READONLY_CANTINIT) SQLite does not trust: it reads the log into
// memory of its own instead.
bool sharedIndex(int rc) { return rc == SQLITE_OK || rc == SQLITE_READONLY; }

// The header's first copy, read as SQLite reads it: byte by byte from
// memory another process may be writing.
bool readIndexHeader(sqlite3_file* base, LogSnapshot* snapshot) {
    volatile void* region = nullptr;
    if (!sharedIndex(base->pMethods->xShmMap(base, 0, kIndexRegionSize, 0, &region)) || !region) return false;
    unsigned char header[kIndexHeaderSize];
    const auto* shared = static_cast<volatile unsigned char*>(region);
    for (std::size_t i = 0; i < kIndexHeaderSize; ++i) header[i] = shared[i];
    if (nativeWord(header + kIndexVersionAt) != kIndexVersion || header[kIndexMadeAt] == 0) return false;
    snapshot->frames = nativeWord(header + kLastCommitAt);
    std::memcpy(snapshot->salts.data(), header + kSaltsAt, snapshot->salts.size());
    return true;
}

int closeFile(sqlite3_file* file) { return baseOf(file)->pMethods->xClose(baseOf(file)); }
int readFile(sqlite3_file* file, void* into, int amount, sqlite3_int64 at) {
    return baseOf(file)->pMethods->xRead(baseOf(file), into, amount, at);
}
int writeFile(sqlite3_file* file, const void* from, int amount, sqlite3_int64 at) {
    return baseOf(file)->pMethods->xWrite(baseOf(file), from, amount, at);
}
int truncateFile(sqlite3_file* file, sqlite3_int64 size) { return baseOf(file)->pMethods->xTruncate(baseOf(file), size); }
int syncFile(sqlite3_file* file, int flags) { return baseOf(file)->pMethods->xSync(baseOf(file), flags); }
int fileSize(sqlite3_file* file, sqlite3_int64* size) { return baseOf(file)->pMethods->xFileSize(baseOf(file), size); }
int lockFile(sqlite3_file* file, int level) { return baseOf(file)->pMethods->xLock(baseOf(file), level); }
int unlockFile(sqlite3_file* file, int level) { return baseOf(file)->pMethods->xUnlock(baseOf(file), level); }
int checkReservedLock(sqlite3_file* file, int* out) {
    return baseOf(file)->pMethods->xCheckReservedLock(baseOf(file), out);
}
// Held off only through the base's own lock of an index in shared memory,
// which a read lock held tells is open.
bool holdWriteLock(RecordingFile* recording, WriteLockAsked::What what) {
    sqlite3_file* base = recording->base;
    if (what == WriteLockAsked::What::holdOff) {
        if (recording->holdingOff) return true;
        recording->holdingOff = recording->held && !recording->indexReadOnly && !recording->writing &&
                                base->pMethods->xShmLock &&
                                base->pMethods->xShmLock(base, kWriteLock, 1, SQLITE_SHM_LOCK | SQLITE_SHM_SHARED) == SQLITE_OK;
        return recording->holdingOff;
    }
    if (recording->holdingOff) base->pMethods->xShmLock(base, kWriteLock, 1, SQLITE_SHM_UNLOCK | SQLITE_SHM_SHARED);
    recording->holdingOff = false;
    return true;
}

int fileControl(sqlite3_file* file, int operation, void* argument) {
    auto* recording = reinterpret_cast<RecordingFile*>(file);
    if (operation == kWriteLockFileControl) {
        auto* asked = static_cast<WriteLockAsked*>(argument);
        asked->answer = asked->what == WriteLockAsked::What::writes ? recording->writing
                                                                    : holdWriteLock(recording, asked->what);
        return SQLITE_OK;
    }
    if (operation != kSnapshotFileControl) return baseOf(file)->pMethods->xFileControl(baseOf(file), operation, argument);
    auto* answer = static_cast<SnapshotAnswer*>(argument);
    answer->held = recording->held;
    answer->snapshot = recording->snapshot;
    return SQLITE_OK;
}
int sectorSize(sqlite3_file* file) { return baseOf(file)->pMethods->xSectorSize(baseOf(file)); }
int deviceCharacteristics(sqlite3_file* file) { return baseOf(file)->pMethods->xDeviceCharacteristics(baseOf(file)); }
int mapIndex(sqlite3_file* file, int region, int size, int extend, void volatile** memory) {
    const int rc = baseOf(file)->pMethods->xShmMap(baseOf(file), region, size, extend, memory);
    if (rc == SQLITE_READONLY) reinterpret_cast<RecordingFile*>(file)->indexReadOnly = true;
    return rc;
}

// A read lock taken shared is the read transaction's: SQLite compares the
// header with the one it read before taking it, and reads under it only
// when they match. Header changes only move forward, so the header read
// here, just after the lock, is that one whenever SQLite goes on.
int lockIndex(sqlite3_file* file, int offset, int count, int flags) {
    auto* recording = reinterpret_cast<RecordingFile*>(file);
    const int rc = baseOf(file)->pMethods->xShmLock(baseOf(file), offset, count, flags);
    if (rc == SQLITE_OK && offset == kWriteLock && (flags & SQLITE_SHM_EXCLUSIVE) != 0) {
        recording->writing = (flags & SQLITE_SHM_LOCK) != 0;
    }
    const bool readLock = count == 1 && offset >= kFirstReadLock && offset < kFirstReadLock + kReadLocks;
    if (rc != SQLITE_OK || !readLock || (flags & SQLITE_SHM_SHARED) == 0) return rc;
    if ((flags & SQLITE_SHM_LOCK) != 0) {
        recording->held = readIndexHeader(baseOf(file), &recording->snapshot);
        recording->snapshot.readLock = offset - kFirstReadLock;
    } else if (recording->held && recording->snapshot.readLock == offset - kFirstReadLock) {
        recording->held = false;
    }
    return rc;
}
void indexBarrier(sqlite3_file* file) { baseOf(file)->pMethods->xShmBarrier(baseOf(file)); }
int unmapIndex(sqlite3_file* file, int deleteIndex) {
    auto* recording = reinterpret_cast<RecordingFile*>(file);
    recording->held = recording->writing = recording->holdingOff = false;
    return baseOf(file)->pMethods->xShmUnmap(baseOf(file), deleteIndex);
}
int fetchPage(sqlite3_file* file, sqlite3_int64 at, int amount, void** page) {
    return baseOf(file)->pMethods->xFetch(baseOf(file), at, amount, page);
}
int unfetchPage(sqlite3_file* file, sqlite3_int64 at, void* page) {
    return baseOf(file)->pMethods->xUnfetch(baseOf(file), at, page);
}

// Every method the base's file has, and only those: SQLite takes a file
// without shared-memory methods for one whose log's index lives in memory.
sqlite3_io_methods methodsLike(const sqlite3_io_methods& base) {
    sqlite3_io_methods methods{base.iVersion, &closeFile,   &readFile,         &writeFile, &truncateFile,
                               &syncFile,     &fileSize,    &lockFile,         &unlockFile, &checkReservedLock,
                               &fileControl,  &sectorSize,  &deviceCharacteristics,
                               &mapIndex,     &lockIndex,   &indexBarrier,     &unmapIndex, &fetchPage,
                               &unfetchPage};
    if (!base.xShmMap) methods.xShmMap = nullptr;
    if (!base.xShmLock) methods.xShmLock = nullptr;
    if (!base.xShmBarrier) methods.xShmBarrier = nullptr;
    if (!base.xShmUnmap) methods.xShmUnmap = nullptr;
    if (!base.xFetch) methods.xFetch = nullptr;
    if (!base.xUnfetch) methods.xUnfetch = nullptr;
    return methods;
}

}  // namespace

int recordingFileSize(int baseSize) { return kRecordingPartSize + baseSize; }

int openRecordingSnapshots(sqlite3_vfs* base, sqlite3_vfs* layer, const char* name, sqlite3_file* file, int flags,
                           int* outFlags) {
    if ((flags & SQLITE_OPEN_MAIN_DB) == 0) return base->xOpen(layer, name, file, flags, outFlags);
    auto* recording = new (file) RecordingFile{};
    recording->base = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(file) + kRecordingPartSize);
    recording->base->pMethods = nullptr;
    const int rc = base->xOpen(layer, name, recording->base, flags, outFlags);
    // A base that set its methods is closed even when its open failed.
    if (const sqlite3_io_methods* methods = recording->base->pMethods) {
        recording->methods = methodsLike(*methods);
        recording->file.pMethods = &recording->methods;
    }
    return rc;
}

std::optional<LogSnapshot> readSnapshotOf(sqlite3* db) {
    SnapshotAnswer answer;
    if (!db || sqlite3_file_control(db, "main", kSnapshotFileControl, &answer) != SQLITE_OK || !answer.held) {
        return std::nullopt;
    }
    return answer.snapshot;
}

bool writesLog(sqlite3* db) {
    WriteLockAsked asked;
    return db && sqlite3_file_control(db, "main", kWriteLockFileControl, &asked) == SQLITE_OK && asked.answer;
}

WritersHeldOff::WritersHeldOff(sqlite3* db) : db_(db) {
    WriteLockAsked asked{WriteLockAsked::What::holdOff};
    held_ = db_ && sqlite3_file_control(db_, "main", kWriteLockFileControl, &asked) == SQLITE_OK && asked.answer;
}

WritersHeldOff::~WritersHeldOff() {
    if (!held_) return;
    WriteLockAsked asked{WriteLockAsked::What::letGo};
    sqlite3_file_control(db_, "main", kWriteLockFileControl, &asked);
}

}  // namespace measurement::sqlite_btree
