// A lock on a file that processes share: flock, shared or exclusive, and
// bounded waits for it that say who holds it.
#include "platform/foundation/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/foundation/launch_options.h"

namespace platform {

namespace {

// The longest pause between two tries of a wait, in milliseconds.
constexpr int kMaxPauseMilliseconds = 50;
// The holders a description names before it counts the rest.
constexpr std::size_t kHoldersNamed = 4;

// The processes that hold a lock (not those waiting for one) on the file
// open at `fd`, as /proc/locks lists them: its device as hexadecimal major
// and minor numbers, then the inode.
std::vector<pid_t> lockHolders(int fd) {
    struct stat info {};
    std::vector<pid_t> holders;
    if (::fstat(fd, &info) != 0) return holders;
    char identity[64];
    std::snprintf(identity, sizeof identity, "%02x:%02x:%llu", major(info.st_dev), minor(info.st_dev),
                  static_cast<unsigned long long>(info.st_ino));
    // The list is read in pieces while other processes change it: a lock
    // may show twice, or be missed in one reading.
    for (int reading = 0; reading < 2 && holders.empty(); ++reading) {
        std::ifstream locks("/proc/locks");
        for (std::string line; std::getline(locks, line);) {
            std::istringstream words(line);
            std::string number, type, advice, access, device;
            long long pid = 0;
            if (!(words >> number >> type) || type == "->") continue;
            if (type != "FLOCK" || !(words >> advice >> access >> pid >> device)) continue;
            if (device == identity && pid > 0) holders.push_back(static_cast<pid_t>(pid));
        }
    }
    std::sort(holders.begin(), holders.end());
    holders.erase(std::unique(holders.begin(), holders.end()), holders.end());
    return holders;
}

bool isStopped(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    // The state follows the command name, which is in parentheses and may
    // hold anything.
    const auto close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size()) return false;
    const char state = text[close + 2];
    return state == 'T' || state == 't';
}

}  // namespace

FileLock::FileLock(const std::string& path, bool create) : path_(path) {
    // Read access is all a lock needs; a fifo or a device at the path must
    // not block the open.
    const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | (create ? O_CREAT : 0);
    do {
        fd_ = ::open(path.c_str(), flags, 0644);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) error_ = openError_ = std::error_code(errno, std::generic_category());
}

FileLock::~FileLock() {
    if (fd_ >= 0) ::close(fd_);
}

double FileLock::waitLimit() { return LaunchOptions::current().lockWaitSeconds.value_or(kFileLockWaitSeconds); }

std::string FileLock::secondsText(double seconds) {
    std::ostringstream text;
    text << seconds << " s";
    return text.str();
}

bool FileLock::lock(Kind kind) { return lockWithin(kind, waitLimit()); }

// flock itself waits without a bound, so the wait is made of tries: short
// pauses at first, so that a holder's brief turn costs little, each drawn
// at random below its bound, so that processes waiting together do not try
// in step.
bool FileLock::lockWithin(Kind kind, double seconds, const std::function<void()>& waiting) {
    if (tryLock(kind)) return true;
    if (error_ != std::errc::resource_unavailable_try_again) return false;
    const auto start = std::chrono::steady_clock::now();
    const double sayAfter = std::min(kFileLockWaitSaidAfterSeconds, seconds / 2);
    bool said = !waiting;
    thread_local std::minstd_rand random(std::random_device{}());
    for (int attempt = 0;; ++attempt) {
        const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        // Before the bound is checked: every wait that runs out lasted
        // long enough to be said.
        if (!said && waited >= sayAfter) {
            said = true;
            waiting();
        }
        if (waited >= seconds) break;
        const int bound = std::min(kMaxPauseMilliseconds, 1 << std::min(attempt, 6));
        auto pause = std::chrono::microseconds(std::uniform_int_distribution<int>(bound * 250, bound * 1000)(random));
        pause = std::min(pause, std::chrono::duration_cast<std::chrono::microseconds>(
                                    std::chrono::duration<double>(seconds - waited)) +
                                    std::chrono::microseconds(1));
        std::this_thread::sleep_for(pause);
        if (tryLock(kind)) return true;
        if (error_ != std::errc::resource_unavailable_try_again) return false;
    }
    error_ = std::make_error_code(std::errc::timed_out);
    return false;
}

bool FileLock::tryLock(Kind kind) {
    if (fd_ < 0) return false;
    if (held_ == kind) return true;
    const int operation = (kind == Kind::shared ? LOCK_SH : LOCK_EX) | LOCK_NB;
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

void FileLock::unlock() {
    if (fd_ >= 0 && held_) ::flock(fd_, LOCK_UN);
    held_.reset();
}

std::string FileLock::otherHolders() const {
    if (fd_ < 0) return "another process";
    auto holders = lockHolders(fd_);
    // This holder's own lock, when it has one, is not another's.
    const pid_t self = ::getpid();
    if (held_) {
        if (auto own = std::find(holders.begin(), holders.end(), self); own != holders.end()) holders.erase(own);
    }
    if (holders.empty()) return "another process";
    std::string text;
    const std::size_t shown = std::min(holders.size(), kHoldersNamed);
    for (std::size_t i = 0; i < shown; ++i) {
        if (!text.empty()) text += i + 1 == shown && shown == holders.size() ? " and " : ", ";
        const pid_t pid = holders[i];
        text += pid == self ? "another holder in this process"
                            : "process " + std::to_string(pid) + (isStopped(pid) ? " (stopped)" : "");
    }
    if (shown < holders.size()) text += " and " + std::to_string(holders.size() - shown) + " more";
    return text;
}

std::string FileLock::whyUnlockable() const {
    if (fd_ >= 0) return "";
    return "its lock file " + path_ + " cannot be locked: " + openError_.message();
}

}  // namespace platform
