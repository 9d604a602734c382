// The names of a database's set-aside copies, and the deletion of all but the newest few.
#include "measurement/store/set_aside_copies.h"

#include <sys/stat.h>

#include <charconv>
#include <filesystem>
#include <set>
#include <string_view>
#include <system_error>
#include <vector>

#include "measurement/foundation/monitor.h"
#include "measurement/store/beside_names.h"
#include "measurement/store/sqlite_store.h"

namespace measurement {

namespace {

namespace fs = std::filesystem;

std::string copyName(const std::string& path, int number) {
    return path + kAPMSqliteStoreSetAsideSuffix + (number == 1 ? "" : "-" + std::to_string(number));
}

bool present(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

// Neither the copy nor anything set aside under its name (its companions,
// a name beside the database that was no regular file) is there.
bool isFree(const std::string& path, int number) {
    const std::string copy = copyName(path, number);
    if (present(copy)) return false;
    for (const auto& suffix : APMBesideSuffixes()) {
        if (present(copy + suffix)) return false;
    }
    return true;
}

// The number of the copy a name beside the database names, given what
// follows "<database>.corrupt": nothing for the first, "-N" for the others.
// None for any other name, a companion's too, and for a number past
// kAPMSqliteStoreSetAsideLastNumber: the store never makes one, so such a
// name is another program's, neither counted nor deleted.
std::optional<int> numberOf(std::string_view rest) {
    if (rest.empty()) return 1;
    if (rest.size() < 2 || rest[0] != '-' || rest[1] == '0') return std::nullopt;
    int number = 0;
    const char* end = rest.data() + rest.size();
    const auto read = std::from_chars(rest.data() + 1, end, number);
    if (read.ec != std::errc() || read.ptr != end || number < 2 || number > kAPMSqliteStoreSetAsideLastNumber) {
        return std::nullopt;
    }
    return number;
}

// The numbers of the copies beside the database, oldest first. A companion
// without its file is no copy (another program's, or one a process stopped
// while it moved), though its name is taken.
std::vector<int> copiesPresent(const std::string& path) {
    const fs::path file(path);
    const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
    const std::string prefix = file.filename().string() + kAPMSqliteStoreSetAsideSuffix;
    std::set<int> numbers;
    std::error_code ec;
    for (fs::directory_iterator entry(folder, ec), end; !ec && entry != end; entry.increment(ec)) {
        const std::string name = entry->path().filename().string();
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        if (const auto number = numberOf(std::string_view(name).substr(prefix.size()))) numbers.insert(*number);
    }
    return {numbers.begin(), numbers.end()};
}

bool moveCopy(const std::string& path, int from, int to, std::string* why) {
    const std::string source = copyName(path, from), target = copyName(path, to);
    std::error_code ec;
    for (const char* suffix : kAPMSqliteStoreCompanionSuffixes) {
        if (present(source + suffix)) fs::rename(source + suffix, target + suffix, ec);
        if (ec) break;
    }
    if (!ec && present(source)) fs::rename(source, target, ec);
    if (ec) *why = "the set-aside copy " + source + " could not be renamed: " + ec.message();
    return !ec;
}

// Each copy moved to the lowest number free below its own, in their order.
bool renumber(const std::string& path, std::string* why) {
    int target = 1;
    for (const int number : copiesPresent(path)) {
        while (target < number && !isFree(path, target)) ++target;
        if (target < number && !moveCopy(path, number, target, why)) return false;
        target = target < number ? target + 1 : number + 1;
    }
    return true;
}

std::optional<int> nextNumber(const std::string& path) {
    const auto numbers = copiesPresent(path);
    for (int number = numbers.empty() ? 1 : numbers.back() + 1; number <= kAPMSqliteStoreSetAsideLastNumber; ++number) {
        if (isFree(path, number)) return number;
    }
    return std::nullopt;
}

bool deleteCopy(const std::string& copy, std::string* why) {
    std::vector<std::string> names{copy};
    for (const char* suffix : kAPMSqliteStoreCompanionSuffixes) names.push_back(copy + suffix);
    for (const auto& name : names) {
        std::error_code ec;
        if (fs::is_directory(fs::symlink_status(name, ec))) continue;
        fs::remove(name, ec);
        if (ec) {
            *why = name + ": " + ec.message();
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<std::string> APMNextSetAsideName(const std::string& path, std::string* why) {
    auto number = nextNumber(path);
    if (!number && renumber(path, why)) number = nextNumber(path);
    if (number) return copyName(path, *number);
    if (why->empty()) *why = "no name up to " + copyName(path, kAPMSqliteStoreSetAsideLastNumber) + " is free";
    return std::nullopt;
}

void APMDeleteOlderSetAsideCopies(const std::string& path) {
    auto numbers = copiesPresent(path);
    if (numbers.size() <= static_cast<std::size_t>(kAPMSqliteStoreSetAsideCopiesKept)) return;
    numbers.resize(numbers.size() - kAPMSqliteStoreSetAsideCopiesKept);
    for (const int number : numbers) {
        std::string why;
        if (deleteCopy(copyName(path, number), &why)) continue;
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelWarning, kAPMSqliteStoreOldCopyKeptCode,
                                          "Unable to delete an older set-aside copy of the database. Copy, error",
                                          platform::Value(copyName(path, number)), platform::Value(why));
    }
}

}  // namespace measurement
