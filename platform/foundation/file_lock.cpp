// A lock on a file that processes share: flock, shared or exclusive, on a
// regular file only, and bounded waits for it that say who holds it.
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
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/foundation/launch_options.h"
#include "platform/foundation/set_aside_copies.h"

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

// What one try of a wait came to.
enum class Try { taken, held, failed };

// flock itself waits without a bound, so a wait is made of tries: short
// pauses at first, so that a holder's brief turn costs little, each drawn
// at random below its bound, so that processes waiting together do not try
// in step. `waiting` is called once, when the wait has lasted
// kFileLockWaitSaidAfterSeconds, or half of `seconds` when that is shorter;
// answers the last try's outcome (held: the wait ran out).
Try tryWithin(double seconds, const std::function<Try()>& attempt, const std::function<void()>& waiting) {
    Try outcome = attempt();
    if (outcome != Try::held) return outcome;
    const auto start = std::chrono::steady_clock::now();
    const double sayAfter = std::min(kFileLockWaitSaidAfterSeconds, seconds / 2);
    bool said = !waiting;
    thread_local std::minstd_rand random(std::random_device{}());
    for (int tried = 0;; ++tried) {
        const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        // Before the bound is checked: every wait that runs out lasted
        // long enough to be said.
        if (!said && waited >= sayAfter) {
            said = true;
            waiting();
        }
        if (waited >= seconds) break;
        const int bound = std::min(kMaxPauseMilliseconds, 1 << std::min(tried, 6));
        auto pause = std::chrono::microseconds(std::uniform_int_distribution<int>(bound * 250, bound * 1000)(random));
        pause = std::min(pause, std::chrono::duration_cast<std::chrono::microseconds>(
                                    std::chrono::duration<double>(seconds - waited)) +
                                    std::chrono::microseconds(1));
        std::this_thread::sleep_for(pause);
        outcome = attempt();
        if (outcome != Try::held) return outcome;
    }
    return Try::held;
}

// One try of flock without waiting.
Try tryFlock(int fd, int operation, int* failure) {
    int rc;
    do {
        rc = ::flock(fd, operation | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return Try::taken;
    *failure = errno == EWOULDBLOCK ? EAGAIN : errno;
    return *failure == EAGAIN ? Try::held : Try::failed;
}

std::string kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISLNK(mode)) return "a link";
    if (S_ISFIFO(mode)) return "a fifo";
    if (S_ISSOCK(mode)) return "a socket";
    return "a device";
}

// What an open of a missing file meets where its folder takes none: the
// folder gives this user no write, lies on a read-only file system, or is
// not there (nor can be: its maker has failed before the open).
bool meansNoWrite(int failure) {
    return failure == EACCES || failure == EPERM || failure == EROFS || failure == ENOENT || failure == ENOTDIR;
}

}  // namespace

FileLock::FileLock(const std::string& path, bool create) : path_(path), create_(create) { open(); }

FileLock::~FileLock() {
    if (fd_ >= 0) ::close(fd_);
}

// Looked at before the open, so that nothing that is no regular file is
// opened (a device's open may do something), and after, as another process
// may have put something there in between.
void FileLock::open() {
    oddKind_.reset();
    takesNoWrite_ = false;
    struct stat info {};
    if (::lstat(path_.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) return markOdd(info.st_mode);
    // Read access is all a lock needs.
    const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | (create_ ? O_CREAT : 0);
    do {
        fd_ = ::open(path_.c_str(), flags, 0644);
    } while (fd_ < 0 && errno == EINTR);
    int failure = errno;
    if (fd_ >= 0) {
        if (::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode)) {
            error_ = openError_ = {};
            return;
        }
        failure = errno;
        ::close(fd_);
        fd_ = -1;
        if (info.st_mode != 0 && !S_ISREG(info.st_mode)) return markOdd(info.st_mode);
    } else if (::lstat(path_.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode)) return markOdd(info.st_mode);
    } else {
        // Nothing there still: the folder would not take it.
        takesNoWrite_ = create_ && meansNoWrite(failure);
    }
    error_ = openError_ = std::error_code(failure, std::generic_category());
}

void FileLock::markOdd(unsigned mode) {
    oddKind_ = kindOf(mode);
    // As the system's own open says it of a folder and a link.
    const int failure = S_ISDIR(mode) ? EISDIR : S_ISLNK(mode) ? ELOOP : EINVAL;
    error_ = openError_ = std::error_code(failure, std::generic_category());
}

// The folder's own lock orders the processes that found the name: one sets
// it aside, and those after it find it gone (or a lock file there), so none
// renames a lock file another has made and holds.
std::optional<std::string> FileLock::moveOddNameAside(std::string* why) const {
    const std::filesystem::path file(path_);
    const std::string folder = file.has_parent_path() ? file.parent_path().string() : ".";
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *why = "its folder cannot be opened: " + std::string(std::strerror(errno));
        return std::nullopt;
    }
    int failure = 0;
    const double limit = waitLimit();
    const Try turn = tryWithin(limit, [&] { return tryFlock(fd, LOCK_EX, &failure); }, {});
    std::optional<std::string> aside;
    struct stat info {};
    if (turn == Try::held) {
        *why = "its folder stayed locked for " + secondsText(limit);
    } else if (turn == Try::failed) {
        *why = "its folder cannot be locked: " + std::string(std::strerror(failure));
    } else if (::lstat(path_.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        aside = nextSetAsideName(path_, {}, why);
        if (aside && ::rename(path_.c_str(), aside->c_str()) != 0) {
            *why = std::strerror(errno);
            aside.reset();
        }
    }
    // Closing the folder lets go of its lock.
    ::close(fd);
    return aside;
}

bool FileLock::openForLocking(std::string* setAside, std::string* why) {
    if (setAside) setAside->clear();
    if (fd_ < 0 && oddKind_) {
        const std::string kind = *oddKind_;
        std::string failure;
        const auto aside = moveOddNameAside(&failure);
        if (!aside && !failure.empty()) {
            if (why) *why = path_ + " is " + kind + ", not a lock file, and could not be set aside: " + failure;
            return false;
        }
        if (aside && setAside) *setAside = path_ + " was " + kind + ", not a lock file; set aside as " + *aside;
        open();
    }
    if (fd_ >= 0 || takesNoWrite_) return true;
    if (why) *why = whyUnlockable();
    return false;
}

double FileLock::waitLimit() { return LaunchOptions::current().lockWaitSeconds.value_or(kFileLockWaitSeconds); }

std::string FileLock::secondsText(double seconds) {
    std::ostringstream text;
    text << seconds << " s";
    return text.str();
}

bool FileLock::lock(Kind kind) { return lockWithin(kind, waitLimit()); }

bool FileLock::lockWithin(Kind kind, double seconds, const std::function<void()>& waiting) {
    const Try outcome = tryWithin(
        seconds,
        [&] {
            if (tryLock(kind)) return Try::taken;
            return error_ == std::errc::resource_unavailable_try_again ? Try::held : Try::failed;
        },
        waiting);
    if (outcome == Try::held) error_ = std::make_error_code(std::errc::timed_out);
    return outcome == Try::taken;
}

bool FileLock::tryLock(Kind kind) {
    if (fd_ < 0) return false;
    if (held_ == kind) return true;
    int failure = 0;
    if (tryFlock(fd_, kind == Kind::shared ? LOCK_SH : LOCK_EX, &failure) == Try::taken) {
        held_ = kind;
        error_.clear();
        return true;
    }
    error_ = std::error_code(failure, std::generic_category());
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
    const std::string start = "its lock file " + path_ + " cannot be locked: ";
    // The system has words of its own for a folder and a link only.
    if (oddKind_ && openError_ == std::errc::invalid_argument) return start + "it is " + *oddKind_ + ", not a file";
    return start + openError_.message();
}

}  // namespace platform
