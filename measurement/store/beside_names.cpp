// Names beside a database file where no regular file lies: found, and set aside under the lock held alone.
#include "measurement/store/beside_names.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "measurement/foundation/monitor.h"
#include "measurement/store/file_lock.h"
#include "measurement/store/set_aside_copies.h"
#include "measurement/store/sqlite_store.h"

namespace measurement {

namespace {

constexpr std::string_view kLogSuffix = "-wal";
constexpr std::string_view kIndexSuffix = "-shm";

// Without them every write is refused, so a process waits for the others to
// close the file before it sets them aside; the rest are harmless where
// they stay and are only tried.
bool writesNeed(const std::vector<APMOddName>& odd) {
    return std::any_of(odd.begin(), odd.end(), [](const APMOddName& name) {
        return name.suffix == kLogSuffix || name.suffix == kIndexSuffix;
    });
}

}  // namespace

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

}  // namespace measurement
