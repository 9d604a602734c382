#pragma once

// APMFileLock: a lock on a file that processes share.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/foundation/file_lock.h"

namespace measurement {

// Monitor codes of the waits for a file lock.
enum : long {
    kAPMFileLockWaitingCode = 34040,
    kAPMFileLockGaveUpCode = 34041,
    // What lay at a lock file's place that was no regular file, set aside.
    kAPMFileLockOddNameSetAsideCode = 34070,
};

// How long a wait for another holder of a shared file's lock lasts, unless
// the launch options set another bound (VELMORA_LOCK_WAIT_SECONDS).
inline constexpr double kAPMFileLockWaitSeconds = platform::kFileLockWaitSeconds;

// The platform's advisory lock on a file that processes share (see
// platform::FileLock), with the engine's waits: said through the monitor,
// and given up on for the rest of the process once one has run out.
class APMFileLock : public platform::FileLock {
public:
    using platform::FileLock::FileLock;

    // The lock of the file at the path (made when missing), taken at once
    // or waited for (up to waitLimit()). None, with the reason in *error,
    // when it is not taken: std::errc::resource_unavailable_try_again when
    // another holds it, std::errc::timed_out when the wait ran out.
    static std::unique_ptr<APMFileLock> acquire(const std::string& path, Kind kind, bool wait,
                                                std::error_code* error);

    // The lock file opened for locking (see
    // platform::FileLock::openForLocking): what lies at its place that is
    // no regular file is set aside, and said through the monitor (34070, a
    // warning: what lay there and where it went). False, with why in *why,
    // when it cannot be opened; true with nothing open only where its folder
    // takes no write at all.
    bool openOrSetAside(std::string* why);

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
    // One try for a lock file whose wait ran out before in this process.
    bool tryAgainAfterGivenUp(Kind kind, std::string* why);
};

}  // namespace measurement
