// Names beside a database file where no regular file lies: found, and set aside under a lock that orders them.
#include "measurement/store/beside_names.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "measurement/foundation/monitor.h"
#include "measurement/store/file_lock.h"
#include "measurement/store/set_aside_copies.h"
#include "measurement/store/sqlite_store.h"
#include "measurement/store/sqlite_store_shared_state.h"

namespace measurement {

namespace {

constexpr std::string_view kLogSuffix = "-wal";
constexpr std::string_view kIndexSuffix = "-shm";

// What lies at a name where no regular file does: its kind and identity.
struct OddIdentity {
    std::string kind;
    dev_t device;
    ino_t inode;
    bool operator==(const OddIdentity&) const = default;
};

std::optional<OddIdentity> identityOf(const std::string& name) {
    struct stat info {};
    const auto kind = APMOddKind(name);
    if (!kind || ::lstat(name.c_str(), &info) != 0) return std::nullopt;
    return OddIdentity{*kind, info.st_dev, info.st_ino};
}

// The lock that orders the processes that set aside a lock file: on the
// folder itself, held for one look and one rename.
constexpr int kFolderLockTries = 500;
constexpr auto kFolderLockPause = std::chrono::milliseconds(2);

class FolderLock {
public:
    explicit FolderLock(const std::filesystem::path& folder) {
        fd_ = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0) {
            error_ = errno;
            return;
        }
        for (int attempt = 0; attempt < kFolderLockTries; ++attempt) {
            if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
                held_ = true;
                return;
            }
            error_ = errno;
            if (error_ != EWOULDBLOCK && error_ != EINTR) return;
            std::this_thread::sleep_for(kFolderLockPause);
        }
    }
    ~FolderLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    bool held(std::string* why) const {
        if (!held_) *why = std::strerror(error_ == EWOULDBLOCK ? EAGAIN : error_);
        return held_;
    }

private:
    int fd_ = -1;
    int error_ = 0;
    bool held_ = false;
};

// Without them every write is refused, so a process waits for the others to
// close the file before it sets them aside; the rest are harmless where
// they stay and are only tried.
bool writesNeed(const std::vector<APMOddName>& odd) {
    return std::any_of(odd.begin(), odd.end(), [](const APMOddName& name) {
        return name.suffix == kLogSuffix || name.suffix == kIndexSuffix;
    });
}

}  // namespace

std::atomic<bool>& detail::oddLockKept() {
    static std::atomic<bool> kept{false};
    return kept;
}

const std::vector<std::string>& APMBesideSuffixes() {
    static const auto& suffixes = *[] {
        auto* all = new std::vector<std::string>;
        for (const char* suffix : kAPMSqliteStoreCompanionSuffixes) all->push_back(suffix);
        all->push_back(kAPMSqliteStoreDamageMarkSuffix);
        all->push_back(kAPMSqliteStoreCarrySuffix);
        for (const char* suffix : kAPMSqliteStoreCompanionSuffixes) {
            all->push_back(std::string(kAPMSqliteStoreCarrySuffix) + suffix);
        }
        return all;
    }();
    return suffixes;
}

const std::vector<std::string>& APMSetAsideNameSuffixes() {
    static const auto& suffixes = *[] {
        auto* all = new std::vector<std::string>(APMBesideSuffixes());
        all->push_back(kAPMSqliteStoreLockSuffix);
        return all;
    }();
    return suffixes;
}

std::optional<std::string> APMOddKind(const std::string& name) {
    struct stat info {};
    if (::lstat(name.c_str(), &info) != 0 || S_ISREG(info.st_mode)) return std::nullopt;
    if (S_ISDIR(info.st_mode)) return "a folder";
    if (S_ISLNK(info.st_mode)) return "a link";
    if (S_ISFIFO(info.st_mode)) return "a fifo";
    if (S_ISSOCK(info.st_mode)) return "a socket";
    return "a device";
}

std::vector<APMOddName> APMOddNamesBeside(const std::string& path) {
    std::vector<APMOddName> odd;
    for (const auto& suffix : APMBesideSuffixes()) {
        if (auto kind = APMOddKind(path + suffix)) odd.push_back({suffix, std::move(*kind)});
    }
    return odd;
}

bool APMSetAsideOddNames(const std::string& path, const std::vector<APMOddName>& odd, std::string* aside,
                         std::string* why) {
    const auto name = APMNextSetAsideName(path, why);
    if (!name) return false;
    *aside = *name;
    for (const auto& entry : odd) {
        std::error_code ec;
        std::filesystem::rename(path + entry.suffix, *aside + entry.suffix, ec);
        if (ec) {
            *why = path + entry.suffix + " could not be renamed: " + ec.message();
            return false;
        }
    }
    return true;
}

std::string APMOddNamesText(const std::vector<APMOddName>& odd) {
    std::string text;
    for (const auto& entry : odd) text += (text.empty() ? "" : ", ") + entry.suffix + " (" + entry.kind + ")";
    return text;
}

// SQLite opens the log, its index and the journal by their names, and a
// fifo's open waits for a peer; the mark and the carry's file must lead
// nowhere else. Set aside as a folder at the path is, once no other process
// has the file open.
std::vector<APMOddName> APMSqliteStore::setAsideOddNamesBeside() {
    const auto odd = APMOddNamesBeside(path_);
    if (odd.empty()) return odd;
    std::string aside, why;
    const auto outcome = whileAlone(
        writesNeed(odd) ? APMFileLock::waitLimit() : 0, [&] { return APMOddNamesBeside(path_) == odd; },
        [&] { return APMSetAsideOddNames(path_, odd, &aside, &why); }, &why);
    if (outcome == FileOutcome::done) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelWarning, kAPMSqliteStoreOddNameSetAsideCode,
                                          "Found no regular file beside the database. Set aside as, names",
                                          platform::Value(aside), platform::Value(APMOddNamesText(odd)));
    } else if (outcome != FileOutcome::replacedMeanwhile) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMSqliteStoreOddNameKeptCode,
                                          "Found no regular file beside the database, and could not set it aside. "
                                          "Path, names, reason",
                                          platform::Value(path_), platform::Value(APMOddNamesText(odd)),
                                          platform::Value(why));
    }
    return odd;
}

// No lock guards the lock file's own name, and a process must never set
// aside the regular file another one made there and locks: those that find
// no regular file there take turns under a lock on the folder that holds
// it, and each moves only what it examined, if it is still there. One that
// cannot take that lock within a moment leaves the name as it is.
void APMSqliteStore::setAsideOddLock() {
    const std::string lock = path_ + kAPMSqliteStoreLockSuffix;
    const auto examined = identityOf(lock);
    if (!examined || detail::oddLockKept().load()) return;
    std::string aside, why;
    bool moved = false;
    {
        FolderLock folder(std::filesystem::path(path_).parent_path());
        if (!folder.held(&why)) {
            why = "the folder that holds it could not be locked: " + why;
        } else if (identityOf(lock) == examined) {
            moved = APMSetAsideOddNames(path_, {{kAPMSqliteStoreLockSuffix, examined->kind}}, &aside, &why);
        } else {
            return;  // another process set it aside
        }
    }
    const std::string names = APMOddNamesText({{kAPMSqliteStoreLockSuffix, examined->kind}});
    if (moved) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelWarning, kAPMSqliteStoreOddNameSetAsideCode,
                                          "Found no regular file beside the database. Set aside as, names",
                                          platform::Value(aside), platform::Value(names));
        return;
    }
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMSqliteStoreOddNameKeptCode,
                                      "Found no regular file beside the database, and could not set it aside. "
                                      "Path, names, reason",
                                      platform::Value(path_), platform::Value(names), platform::Value(why));
}

}  // namespace measurement
