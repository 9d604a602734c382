// A lock on a file that processes share: flock, shared or exclusive.
#include "measurement/store/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace measurement {

APMFileLock::APMFileLock(const std::string& path, bool create) {
    // Read access is all a lock needs; a fifo or a device at the path must
    // not block the open.
    const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | (create ? O_CREAT : 0);
    do {
        fd_ = ::open(path.c_str(), flags, 0644);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) error_ = std::error_code(errno, std::generic_category());
}

APMFileLock::~APMFileLock() {
    if (fd_ >= 0) ::close(fd_);
}

std::unique_ptr<APMFileLock> APMFileLock::acquire(const std::string& path, Kind kind, bool wait,
                                                  std::error_code* error) {
    auto lock = std::make_unique<APMFileLock>(path);
    const bool taken = lock->take(kind, wait);
    if (error) *error = lock->error();
    if (!taken) lock.reset();
    return lock;
}

bool APMFileLock::tryLock(Kind kind) { return take(kind, false); }

bool APMFileLock::lock(Kind kind) { return take(kind, true); }

bool APMFileLock::take(Kind kind, bool wait) {
    if (fd_ < 0) return false;
    if (held_ == kind) return true;
    const int operation = (kind == Kind::shared ? LOCK_SH : LOCK_EX) | (wait ? 0 : LOCK_NB);
    int rc;
    do {
        rc = ::flock(fd_, operation);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        held_ = kind;
        error_.clear();
        return true;
    }
    error_ = std::error_code(errno == EWOULDBLOCK ? EAGAIN : errno, std::generic_category());
    // A refused change of kind may already have given up the old lock.
    unlock();
    return false;
}

void APMFileLock::unlock() {
    if (fd_ >= 0 && held_) ::flock(fd_, LOCK_UN);
    held_.reset();
}

}  // namespace measurement
