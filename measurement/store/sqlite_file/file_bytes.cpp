// Reading a file's bytes at offsets, bounded by its size, by its path or through a connection's own handle.
#include "measurement/store/sqlite_file/file_bytes.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace measurement {

// Whatever lies at the path: a fifo is opened without waiting for a
// writer, a link is not followed, and only a regular file is read.
APMFileBytes::APMFileBytes(const std::string& path)
    : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW)) {
    if (fd_ < 0) {
        openError_ = errno;
        return;
    }
    struct stat info {};
    const bool stated = ::fstat(fd_, &info) == 0;
    if (!stated || !S_ISREG(info.st_mode)) {
        openError_ = stated ? EINVAL : errno;
        ::close(fd_);
        fd_ = -1;
        return;
    }
    if (info.st_size > 0) size_ = static_cast<std::uint64_t>(info.st_size);
}

APMFileBytes::~APMFileBytes() {
    if (fd_ >= 0) ::close(fd_);
}

bool APMFileBytes::read(std::uint64_t at, std::size_t length, unsigned char* into, int* readError) const {
    if (readError) *readError = 0;
    std::size_t done = 0;
    while (done < length && at < size_ && done < size_ - at) {
        const ssize_t got = ::pread(fd_, into + done, length - done, static_cast<off_t>(at + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && readError) *readError = errno;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    std::fill(into + done, into + length, 0);
    return done > 0 || length == 0;
}

APMConnectionFileBytes::APMConnectionFileBytes(sqlite3* db, Which which) {
    const int pointer = which == Which::file ? SQLITE_FCNTL_FILE_POINTER : SQLITE_FCNTL_JOURNAL_POINTER;
    if (!db || sqlite3_file_control(db, "main", pointer, &file_) != SQLITE_OK || !file_ || !file_->pMethods) {
        file_ = nullptr;
        openError_ = ENOENT;
        return;
    }
    sqlite3_int64 size = 0;
    if (file_->pMethods->xFileSize(file_, &size) != SQLITE_OK) {
        openError_ = EIO;
    } else if (size > 0) {
        size_ = static_cast<std::uint64_t>(size);
    }
}

// SQLite's own reads fill what lies past the end with zeros.
bool APMConnectionFileBytes::read(std::uint64_t at, std::size_t length, unsigned char* into, int* readError) const {
    if (readError) *readError = 0;
    const std::size_t within = at < size_ ? static_cast<std::size_t>(std::min<std::uint64_t>(length, size_ - at)) : 0;
    std::fill(into + within, into + length, 0);
    if (within == 0 || openError_ != 0) return length == 0;
    const int rc = file_->pMethods->xRead(file_, into, static_cast<int>(within), static_cast<sqlite3_int64>(at));
    if (rc == SQLITE_OK || rc == SQLITE_IOERR_SHORT_READ) return true;
    if (readError) *readError = EIO;
    return false;
}

}  // namespace measurement
