#pragma once

// APMFileLock: a lock on a file that processes share.

#include <optional>
#include <string>

namespace measurement {

// An advisory lock (flock) on a file: any number of shared holders, or one
// exclusive holder. Two locks opened apart exclude each other even in one
// process. The lock goes with the object, and with the process however it
// ends. Not thread-safe.
class APMFileLock {
public:
    enum class Kind { shared, exclusive };

    // Opens the file, made when missing if `create`; holds nothing yet.
    explicit APMFileLock(const std::string& path, bool create = true);
    ~APMFileLock();
    APMFileLock(const APMFileLock&) = delete;
    APMFileLock& operator=(const APMFileLock&) = delete;

    // False when the file could not be opened: nothing can be held then.
    bool isOpen() const { return fd_ >= 0; }
    std::optional<Kind> held() const { return held_; }

    // Takes the lock, or turns the one held into that kind, without
    // waiting. False when another holder excludes it: then nothing is held
    // (a change of kind gives up the old lock first).
    bool tryLock(Kind kind);
    // The same, waiting for other holders as long as it takes.
    bool lock(Kind kind);
    void unlock();

private:
    bool take(Kind kind, bool wait);

    int fd_ = -1;
    std::optional<Kind> held_;
};

}  // namespace measurement
