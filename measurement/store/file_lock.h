#pragma once

// APMFileLock: a lock on a file that processes share.

#include <memory>
#include <optional>
#include <string>
#include <system_error>

namespace measurement {

// An advisory lock (flock) on a file: any number of shared holders, or one
// exclusive holder. Every open of the file is a holder of its own, so two
// locks on one path in one process exclude each other as two processes do;
// the system drops the lock of a process that ends, however it ends. A link
// at the path is not followed: the lock never makes or opens a file
// elsewhere. Not thread-safe.
class APMFileLock {
public:
    enum class Kind { shared, exclusive };

    // Opens the file, made when missing if `create`; holds nothing yet.
    explicit APMFileLock(const std::string& path, bool create = true);
    ~APMFileLock();
    APMFileLock(const APMFileLock&) = delete;
    APMFileLock& operator=(const APMFileLock&) = delete;

    // The lock of the file at the path (made when missing), taken at once
    // or waited for. None, with the reason in *error, when it is not taken:
    // std::errc::resource_unavailable_try_again when another holds it.
    static std::unique_ptr<APMFileLock> acquire(const std::string& path, Kind kind, bool wait,
                                                std::error_code* error);

    // False when the file could not be opened: nothing can be held then.
    bool isOpen() const { return fd_ >= 0; }
    std::optional<Kind> held() const { return held_; }
    // Why the file could not be opened, or the last lock was not taken.
    const std::error_code& error() const { return error_; }

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
    std::error_code error_;
};

}  // namespace measurement
