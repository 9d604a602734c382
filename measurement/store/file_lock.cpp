// The engine's waits for the lock of a file that processes share: said
// through the monitor, and given up on once one has run out.
#include "measurement/store/file_lock.h"

#include <mutex>
#include <set>

#include "measurement/foundation/monitor.h"

namespace measurement {

namespace {

// Given-up waits kept for the report at the end of a program.
constexpr std::size_t kMaxGivenUpWaits = 20;

struct GivenUpWaits {
    std::mutex mutex;
    std::vector<APMFileLock::GivenUpWait> waits;
    // Lock files whose wait ran out, until a try takes them again.
    std::set<std::string> files;
};

GivenUpWaits& givenUp() {
    static auto* waits = new GivenUpWaits;  // outlives every static that asks
    return *waits;
}

}  // namespace

std::unique_ptr<APMFileLock> APMFileLock::acquire(const std::string& path, Kind kind, bool wait,
                                                  std::error_code* error) {
    auto lock = std::make_unique<APMFileLock>(path);
    const bool taken = wait ? lock->lock(kind) : lock->tryLock(kind);
    if (error) *error = lock->error();
    if (!taken) lock.reset();
    return lock;
}

bool APMFileLock::openOrSetAside(std::string* why) {
    std::string setAside;
    const bool usable = openForLocking(&setAside, why);
    if (!setAside.empty()) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelWarning, kAPMFileLockOddNameSetAsideCode,
                                          "Found no regular file at a lock file's place. Set aside",
                                          platform::Value(setAside));
    }
    return usable;
}

bool APMFileLock::lockOrGiveUp(Kind kind, const std::string& purpose, std::string* why) {
    if (!isOpen()) {
        if (why) *why = whyUnlockable();
        return false;
    }
    {
        auto& given = givenUp();
        std::unique_lock lock(given.mutex);
        if (given.files.count(path()) > 0) {
            lock.unlock();
            return tryAgainAfterGivenUp(kind, why);
        }
    }
    const double limit = waitLimit();
    const bool taken = lockWithin(kind, limit, [&] {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelWarning, kAPMFileLockWaitingCode,
                                          "Waiting for the lock of " + purpose + ", held by " + otherHolders() +
                                              ", for up to " + secondsText(limit) + ". Lock file",
                                          platform::Value(path()));
    });
    if (taken) return true;
    std::string reason;
    if (error() == std::errc::timed_out) {
        reason = path() + " stayed locked by " + otherHolders() + " for " + secondsText(limit);
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMFileLockGaveUpCode,
                                          "Gave up waiting for the lock of " + purpose + ". Reason",
                                          platform::Value(reason));
        auto& given = givenUp();
        std::lock_guard lock(given.mutex);
        given.files.insert(path());
        if (given.waits.size() < kMaxGivenUpWaits) given.waits.push_back({path(), purpose, reason});
    } else {
        reason = "cannot lock " + path() + ": " + error().message();
    }
    if (why) *why = reason;
    return false;
}

// A holder that kept the lock through a whole wait (a stopped process, most
// often) most likely keeps it still: one try, so that no command waits the
// whole bound twice for the same holder. A try that takes it ends that.
bool APMFileLock::tryAgainAfterGivenUp(Kind kind, std::string* why) {
    if (tryLock(kind)) {
        auto& given = givenUp();
        std::lock_guard lock(given.mutex);
        given.files.erase(path());
        return true;
    }
    if (why) {
        *why = error() == std::errc::resource_unavailable_try_again
                   ? path() + " is still locked by " + otherHolders() + ", for which this process waited in vain before"
                   : "cannot lock " + path() + ": " + error().message();
    }
    return false;
}

std::vector<APMFileLock::GivenUpWait> APMFileLock::givenUpWaits() {
    auto& given = givenUp();
    std::lock_guard lock(given.mutex);
    return given.waits;
}

void APMFileLock::forgetGivenUpWaits() {
    auto& given = givenUp();
    std::lock_guard lock(given.mutex);
    given.waits.clear();
    given.files.clear();
}

}  // namespace measurement
