#pragma once

// FileLock: an advisory lock on a file that processes share.

#include <functional>
#include <optional>
#include <string>
#include <system_error>

namespace platform {

// How long a wait for another holder of a shared file's lock lasts, unless
// the launch options set another bound (VELMORA_LOCK_WAIT_SECONDS). Those
// locks are held for a few milliseconds at a time (a file written, a file
// set aside), so a holder that keeps one this long is stuck or stopped.
inline constexpr double kFileLockWaitSeconds = 30;
// A wait is said once it has lasted this long: a holder's ordinary turn of
// a few milliseconds, which processes started together meet all the time,
// is no news.
inline constexpr double kFileLockWaitSaidAfterSeconds = 1;

// An advisory lock (flock) on a file: any number of shared holders, or one
// exclusive holder. Every open of the file is a holder of its own, so two
// locks on one path in one process exclude each other as two processes do;
// the system drops the lock of a process that ends, however it ends. Only a
// regular file is a lock file: a link at the path is not followed, and a
// folder, a fifo or a device there is not opened, so the lock never makes
// or opens a file elsewhere, nor waits on an open. No wait lasts longer than
// its bound. Not thread-safe.
class FileLock {
public:
    enum class Kind { shared, exclusive };

    // Opens the file, made when missing if `create`; holds nothing yet.
    explicit FileLock(const std::string& path, bool create = true);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // The longest a wait for another holder lasts: the launch options'
    // bound, else kFileLockWaitSeconds.
    static double waitLimit();
    // A wait's length as a person reads it: "30 s", "0.5 s".
    static std::string secondsText(double seconds);

    const std::string& path() const { return path_; }
    // False when the file could not be opened: nothing can be held then.
    bool isOpen() const { return fd_ >= 0; }
    std::optional<Kind> held() const { return held_; }
    // Why the file could not be opened, or the last lock was not taken.
    const std::error_code& error() const { return error_; }
    // What lies at the path when it is no regular file ("a folder", "a
    // link", "a fifo", "a socket", "a device"): nothing was opened then.
    const std::optional<std::string>& oddKind() const { return oddKind_; }
    // Nothing lies at the path and its folder takes no new file from this
    // user (no permission, a read-only file system, no folder there): no
    // lock can be held there, and nothing written there could be kept
    // either.
    bool folderTakesNoWrite() const { return takesNoWrite_; }

    // Makes the file one that can be locked, where it was not opened: what
    // lies at the path that is no regular file (oddKind()) is renamed to the
    // next set-aside name ("<path>.corrupt", then ".corrupt-2"...; nothing
    // is followed or opened), and the lock file made anew. Processes that
    // found it at once take turns under the lock of the folder, so that none
    // moves away the lock file another has made meanwhile. True when the
    // file is open afterwards, or where the folder takes no write; then
    // *setAside (when given) says what was set aside where, in words
    // naming the path ("... was a folder, not a lock file; set aside as
    // ..."), empty when nothing was. False, with *why naming the file and
    // the reason, when it cannot be opened: a file this user may not open,
    // a name that would not move.
    bool openForLocking(std::string* setAside, std::string* why);

    // Takes the lock, or turns the one held into that kind, without
    // waiting. False when another holder excludes it: then nothing is held
    // (a change of kind gives up the old lock first), and error() is
    // std::errc::resource_unavailable_try_again.
    bool tryLock(Kind kind);
    // The same, waiting for other holders up to waitLimit().
    bool lock(Kind kind);
    // The same, waiting up to `seconds`: tries again after short pauses
    // that grow to a twentieth of a second. `waiting`, when given, is
    // called once, when the wait has lasted kFileLockWaitSaidAfterSeconds,
    // or half of `seconds` when that is shorter (a wait that close to its
    // bound is news), so that a wait that ends sooner says nothing. A wait
    // that runs out leaves std::errc::timed_out in error().
    bool lockWithin(Kind kind, double seconds, const std::function<void()>& waiting = {});
    void unlock();

    // Who else holds a lock on the file, as far as the system tells:
    // "process 1234", "process 1234 (stopped)", "process 12 and process 34",
    // "another holder in this process"; "another process" when it cannot
    // be told.
    std::string otherHolders() const;
    // Why the file cannot be locked at all (it could not be opened), in
    // words naming it; empty when it can.
    std::string whyUnlockable() const;

private:
    // Opens the file at the path when it is a regular file (or, with
    // create_, nothing), else tells what lies there.
    void open();
    // Tells what lies at the path, of that mode, that is no regular file.
    void markOdd(unsigned mode);
    // Renames what lies at the path, still no regular file, to the next
    // set-aside name, under the lock of its folder; answers that name.
    std::optional<std::string> moveOddNameAside(std::string* why) const;

    std::string path_;
    bool create_ = true;
    int fd_ = -1;
    // Why the file could not be opened; kept apart from later lock errors.
    std::error_code openError_;
    std::optional<std::string> oddKind_;
    bool takesNoWrite_ = false;
    std::optional<Kind> held_;
    std::error_code error_;
};

}  // namespace platform
