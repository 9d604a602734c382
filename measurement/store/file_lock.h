#pragma once

// APMFileLock: a lock on a file that every process using the same file respects.

#include <filesystem>
#include <memory>
#include <system_error>

namespace measurement {

// An advisory lock (flock) on a file, held for as long as the object
// lives. Every open of the file is a holder of its own, so two locks on one
// path in one process exclude each other as two processes do; the system
// drops the lock of a process that ends, however it ends.
class APMFileLock {
public:
    enum class Mode { shared, exclusive };

    // Takes the lock on the file at the path, made (empty) when missing.
    // Without wait, a lock another holds in a conflicting mode fails at
    // once with std::errc::resource_unavailable_try_again; with it, the call
    // blocks until the lock is free. None, with the reason in *error, when
    // the lock is not taken.
    static std::unique_ptr<APMFileLock> acquire(const std::filesystem::path& path, Mode mode, bool wait,
                                                std::error_code* error);
    ~APMFileLock();
    APMFileLock(const APMFileLock&) = delete;
    APMFileLock& operator=(const APMFileLock&) = delete;

private:
    explicit APMFileLock(int descriptor) : descriptor_(descriptor) {}

    int descriptor_;
};

}  // namespace measurement
