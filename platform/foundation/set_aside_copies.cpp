// The names of a file's set-aside copies, and the deletion of all but the newest few.
#include "platform/foundation/set_aside_copies.h"

#include <sys/stat.h>

#include <charconv>
#include <filesystem>
#include <set>
#include <string_view>
#include <system_error>

namespace platform {

namespace {

namespace fs = std::filesystem;

bool present(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

// Neither the copy nor anything set aside under its name is there.
bool isFree(const std::string& path, const SetAsideCompanions& companions, int number) {
    const std::string copy = setAsideCopyName(path, number);
    if (present(copy)) return false;
    for (const auto* suffixes : {&companions.moved, &companions.taken}) {
        for (const auto& suffix : *suffixes) {
            if (present(copy + suffix)) return false;
        }
    }
    return true;
}

// The number of the copy a name beside the file names, given what follows
// "<file>.corrupt": nothing for the first, "-N" for the others. None for
// any other name, a companion's too, and for a number out of range.
std::optional<int> numberOf(std::string_view rest) {
    if (rest.empty()) return 1;
    if (rest.size() < 2 || rest[0] != '-' || rest[1] == '0') return std::nullopt;
    int number = 0;
    const char* end = rest.data() + rest.size();
    const auto read = std::from_chars(rest.data() + 1, end, number);
    if (read.ec != std::errc() || read.ptr != end || number < 2 || number > kSetAsideLastNumber) {
        return std::nullopt;
    }
    return number;
}

// The numbers of the copies beside the file, oldest first. A companion
// without its file is no copy (another program's, or one a process stopped
// while it moved), though its name is taken.
std::vector<int> copiesPresent(const std::string& path) {
    const fs::path file(path);
    const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
    const std::string prefix = file.filename().string() + kSetAsideSuffix;
    std::set<int> numbers;
    std::error_code ec;
    for (fs::directory_iterator entry(folder, ec), end; !ec && entry != end; entry.increment(ec)) {
        const std::string name = entry->path().filename().string();
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        if (const auto number = numberOf(std::string_view(name).substr(prefix.size()))) numbers.insert(*number);
    }
    return {numbers.begin(), numbers.end()};
}

bool moveCopy(const std::string& path, const SetAsideCompanions& companions, int from, int to, std::string* why) {
    const std::string source = setAsideCopyName(path, from), target = setAsideCopyName(path, to);
    std::error_code ec;
    for (const auto& suffix : companions.moved) {
        if (present(source + suffix)) fs::rename(source + suffix, target + suffix, ec);
        if (ec) break;
    }
    if (!ec && present(source)) fs::rename(source, target, ec);
    if (ec) *why = "the set-aside copy " + source + " could not be renamed: " + ec.message();
    return !ec;
}

// Each copy moved to the lowest number free below its own, in their order.
bool renumber(const std::string& path, const SetAsideCompanions& companions, std::string* why) {
    int target = 1;
    for (const int number : copiesPresent(path)) {
        while (target < number && !isFree(path, companions, target)) ++target;
        if (target < number && !moveCopy(path, companions, number, target, why)) return false;
        target = target < number ? target + 1 : number + 1;
    }
    return true;
}

std::optional<int> nextNumber(const std::string& path, const SetAsideCompanions& companions) {
    const auto numbers = copiesPresent(path);
    for (int number = numbers.empty() ? 1 : numbers.back() + 1; number <= kSetAsideLastNumber; ++number) {
        if (isFree(path, companions, number)) return number;
    }
    return std::nullopt;
}

// What is no regular file (a folder, a link, a fifo) was put there by hand
// or set aside from the file's path: it is left where it lies.
bool deleteCopy(const std::string& copy, const SetAsideCompanions& companions, std::string* why) {
    std::vector<std::string> names{copy};
    for (const auto& suffix : companions.moved) names.push_back(copy + suffix);
    for (const auto& name : names) {
        std::error_code ec;
        if (!fs::is_regular_file(fs::symlink_status(name, ec))) continue;
        fs::remove(name, ec);
        if (ec) {
            *why = name + ": " + ec.message();
            return false;
        }
    }
    return true;
}

}  // namespace

std::string setAsideCopyName(const std::string& path, int number) {
    return path + kSetAsideSuffix + (number == 1 ? "" : "-" + std::to_string(number));
}

std::optional<std::string> nextSetAsideName(const std::string& path, const SetAsideCompanions& companions,
                                            std::string* why) {
    std::string reason;
    auto number = nextNumber(path, companions);
    if (!number && renumber(path, companions, &reason)) number = nextNumber(path, companions);
    if (number) return setAsideCopyName(path, *number);
    if (reason.empty()) reason = "no name up to " + setAsideCopyName(path, kSetAsideLastNumber) + " is free";
    if (why) *why = reason;
    return std::nullopt;
}

std::vector<UndeletedCopy> deleteOlderSetAsideCopies(const std::string& path, const SetAsideCompanions& companions) {
    auto numbers = copiesPresent(path);
    if (numbers.size() <= static_cast<std::size_t>(kSetAsideCopiesKept)) return {};
    numbers.resize(numbers.size() - kSetAsideCopiesKept);
    std::vector<UndeletedCopy> undeleted;
    for (const int number : numbers) {
        UndeletedCopy copy{setAsideCopyName(path, number), {}};
        if (!deleteCopy(copy.copy, companions, &copy.why)) undeleted.push_back(std::move(copy));
    }
    return undeleted;
}

}  // namespace platform
