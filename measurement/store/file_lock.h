#pragma once

// APMFileLock: a lock on a file that processes share.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace measurement {

// Monitor codes of the waits for a file lock.
enum : long {
    kAPMFileLockWaitingCode = 34040,
    kAPMFileLockGaveUpCode = 34041,
};

// How long a wait for another holder of a shared file's lock lasts, unless
// the launch options set another bound (VELMORA_LOCK_WAIT_SECONDS). Those
// locks are held for a few milliseconds at a time (a settings write, a file
// set aside), so a holder that keeps one this long is stuck or stopped.
inline constexpr double kAPMFileLockWaitSeconds = 30;

// An advisory lock (flock) on a file: any number of shared holders, or one
// exclusive holder. Every open of the file is a holder of its own, so two
// locks on one path in one process exclude each other as two processes do;
// the system drops the lock of a process that ends, however it ends. A link
// at the path is not followed: the lock never makes or opens a file
// elsewhere. No wait lasts longer than its bound. Not thread-safe.
class APMFileLock {
public:
    enum class Kind { shared, exclusive };

    // Opens the file, made when missing if `create`; holds nothing yet.
    explicit APMFileLock(const std::string& path, bool create = true);
    ~APMFileLock();
    APMFileLock(const APMFileLock&) = delete;
    APMFileLock& operator=(const APMFileLock&) = delete;

    // The lock of the file at the path (made when missing), taken at once
    // or waited for (up to waitLimit()). None, with the reason in *error,
    // when it is not taken: std::errc::resource_unavailable_try_again when
    // another holds it, std::errc::timed_out when the wait ran out.
    static std::unique_ptr<APMFileLock> acquire(const std::string& path, Kind kind, bool wait,
                                                std::error_code* error);

    // The longest a wait for another holder lasts: the launch options'
    // bound, else kAPMFileLockWaitSeconds.
    static double waitLimit();
    // A wait's length as a person reads it: "30 s", "0.5 s".
    static std::string secondsText(double seconds);

    const std::string& path() const { return path_; }
    // False when the file could not be opened: nothing can be held then.
    bool isOpen() const { return fd_ >= 0; }
    std::optional<Kind> held() const { return held_; }
    // Why the file could not be opened, or the last lock was not taken.
    const std::error_code& error() const { return error_; }

    // Takes the lock, or turns the one held into that kind, without
    // waiting. False when another holder excludes it: then nothing is held
    // (a change of kind gives up the old lock first).
    bool tryLock(Kind kind);
    // The same, waiting for other holders up to waitLimit().
    bool lock(Kind kind);
    // The same, waiting up to `seconds`: tries again after short pauses
    // that grow to a twentieth of a second. `waiting`, when given, is
    // called once, when the first try finds the lock held. A wait that runs
    // out leaves std::errc::timed_out in error().
    bool lockWithin(Kind kind, double seconds, const std::function<void()>& waiting = {});
    void unlock();

    // Takes the lock of a file that processes share, for `purpose` ("the
    // engine's settings"), waiting up to waitLimit(). A wait is said as it
    // begins (34040, a warning: the purpose, the lock file, who holds it and
    // the bound); one that runs out is logged (34041) and kept for
    // givenUpWaits(). Once a wait for a lock file has run out, this process
    // waits for it no more: later calls for that file (through any lock
    // object) only try, until a try takes it. False when the lock was not
    // taken, with the reason in *why: who held the file and for how long,
    // or why it cannot be locked.
    bool lockOrGiveUp(Kind kind, const std::string& purpose, std::string* why);

    // Who else holds a lock on the file, as far as the system tells:
    // "process 1234", "process 1234 (stopped)", "processes 12 and 34",
    // "another holder in this process"; "another process" when it cannot
    // be told.
    std::string otherHolders() const;
    // Why the file cannot be locked at all (it could not be opened), in
    // words naming it; empty when it can.
    std::string whyUnlockable() const;

    // A wait this process gave up on: the lock file, what it was for ("the
    // engine's settings") and why it ended (who held the file, how long).
    struct GivenUpWait {
        std::string lockFile;
        std::string purpose;
        std::string reason;
        bool operator==(const GivenUpWait&) const = default;
    };
    // The waits this process gave up on, oldest first: what a program
    // reports as it ends.
    static std::vector<GivenUpWait> givenUpWaits();
    // Forgets them, and that their files are not to be waited for again.
    static void forgetGivenUpWaits();

private:
    // One try, never waiting.
    bool take(Kind kind);
    // One try for a lock file whose wait ran out before in this process.
    bool tryAgainAfterGivenUp(Kind kind, std::string* why);

    std::string path_;
    int fd_ = -1;
    // Why the file could not be opened; kept apart from later lock errors.
    std::error_code openError_;
    std::optional<Kind> held_;
    std::error_code error_;
};

}  // namespace measurement
