// Locks on files shared between processes.
#include "measurement/store/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace measurement {

std::unique_ptr<APMFileLock> APMFileLock::acquire(const std::filesystem::path& path, Mode mode, bool wait,
                                                  std::error_code* error) {
    // A link at the path is not followed: the lock never makes or opens a
    // file elsewhere.
    const int descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (descriptor < 0) {
        if (error) *error = std::error_code(errno, std::generic_category());
        return nullptr;
    }
    const int operation = (mode == Mode::shared ? LOCK_SH : LOCK_EX) | (wait ? 0 : LOCK_NB);
    int rc = 0;
    do {
        rc = ::flock(descriptor, operation);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int reason = errno == EWOULDBLOCK ? EAGAIN : errno;
        ::close(descriptor);
        if (error) *error = std::error_code(reason, std::generic_category());
        return nullptr;
    }
    if (error) error->clear();
    return std::unique_ptr<APMFileLock>(new APMFileLock(descriptor));
}

// Closing the only descriptor of the open file releases its lock.
APMFileLock::~APMFileLock() { ::close(descriptor_); }

}  // namespace measurement
