// Writing, reading and removing the mark of damage, each under a lock on the mark itself.
#include "measurement/store/damage_mark.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <random>
#include <thread>
#include <utility>

namespace measurement {

namespace {

// The words of one writing are shorter than this; what lies beyond is not
// read.
constexpr std::size_t kLongestMark = 80;
// The lock is held for one short read, write or removal: a holder that keeps
// it longer than these tries is stopped, and the mark is left as it is.
constexpr int kLockTries = 200;
constexpr auto kLockPause = std::chrono::milliseconds(1);
// A mark removed or replaced between its opening and its lock is opened
// again, this many times at most.
constexpr int kOpenTries = 8;

struct Descriptor {
    int fd = -1;
    Descriptor() = default;
    explicit Descriptor(int opened) : fd(opened) {}
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
};

bool lockWithin(int fd, int kind) {
    for (int attempt = 0; attempt < kLockTries; ++attempt) {
        if (::flock(fd, kind | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        std::this_thread::sleep_for(kLockPause);
    }
    errno = EWOULDBLOCK;
    return false;
}

// The name itself, never what a link there leads to.
bool namesFile(const std::string& path, int fd) {
    struct stat held {}, named {};
    return ::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

// Only a regular file is a mark. The type is read from what was opened, so
// that no other program can swap the name between a look and the open; a
// link is never followed (nothing is made or read where it leads), and a
// fifo or a device opens without waiting for a peer.
int openRegular(const std::string& path, int flags) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0644);
    } while (fd < 0 && errno == EINTR);
    struct stat info {};
    if (fd < 0 || (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode))) return fd;
    ::close(fd);
    errno = EINVAL;
    return -1;
}

// The mark opened and locked, once the lock is held on the file the path
// names: a remover may have unlinked the one opened before its lock came.
bool openLocked(const std::string& path, int flags, int kind, Descriptor* mark) {
    for (int attempt = 0; attempt < kOpenTries; ++attempt) {
        Descriptor opened(openRegular(path, flags));
        if (opened.fd < 0 || !lockWithin(opened.fd, kind)) return false;
        if (namesFile(path, opened.fd)) {
            std::swap(mark->fd, opened.fd);
            return true;
        }
    }
    errno = EAGAIN;
    return false;
}

std::optional<std::string> contents(int fd) {
    char bytes[kLongestMark];
    const ssize_t size = ::pread(fd, bytes, sizeof bytes, 0);
    if (size < 0) return std::nullopt;
    return std::string(bytes, static_cast<std::size_t>(size));
}

std::string newWords() {
    thread_local std::mt19937_64 random(std::random_device{}());
    return "damage found by process " + std::to_string(::getpid()) + ", writing " + std::to_string(random()) + "\n";
}

}  // namespace

bool APMDamageMarkPresent(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool APMWriteDamageMark(const std::string& path) {
    Descriptor mark;
    if (!openLocked(path, O_RDWR | O_CREAT, LOCK_EX, &mark)) return false;
    const std::string words = newWords();
    if (::ftruncate(mark.fd, 0) != 0) return false;
    return ::pwrite(mark.fd, words.data(), words.size(), 0) == static_cast<ssize_t>(words.size());
}

std::optional<std::string> APMReadDamageMark(const std::string& path) {
    Descriptor mark;
    if (!openLocked(path, O_RDONLY, LOCK_SH, &mark)) return std::nullopt;
    return contents(mark.fd);
}

APMDamageMarkRemoval APMRemoveDamageMarkIfUnchanged(const std::string& path, const std::optional<std::string>& seen) {
    Descriptor mark;
    if (!openLocked(path, O_RDONLY, LOCK_EX, &mark)) {
        return errno == ENOENT ? APMDamageMarkRemoval::removed : APMDamageMarkRemoval::kept;
    }
    const auto now = contents(mark.fd);
    if (!seen || !now) return APMDamageMarkRemoval::kept;
    if (*now != *seen) return APMDamageMarkRemoval::rewritten;
    return ::unlink(path.c_str()) == 0 || errno == ENOENT ? APMDamageMarkRemoval::removed : APMDamageMarkRemoval::kept;
}

}  // namespace measurement
