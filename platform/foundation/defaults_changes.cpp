// The keys a process changed in a preferences suite, laid over the file as it stands.
#include "platform/foundation/defaults_changes.h"

#include <sys/stat.h>

#include <functional>
#include <string_view>
#include <utility>

namespace platform::detail {

namespace {

constexpr long long kNanosecondsPerSecond = 1'000'000'000;

long long nanoseconds(const timespec& time) {
    return static_cast<long long>(time.tv_sec) * kNanosecondsPerSecond + time.tv_nsec;
}

// The entries named of this process's dictionary laid over the file's.
void applyEntries(Value::Dictionary& theirs, Value::Dictionary& mine, const std::set<std::string>& entries) {
    for (const auto& entry : entries) {
        auto found = mine.find(entry);
        if (found == mine.end()) {
            theirs.erase(entry);
        } else {
            theirs.insert_or_assign(entry, std::move(found->second));
        }
    }
}

bool bothDictionaries(const Value* mine, const Value::Dictionary::iterator& theirs, const Value::Dictionary& file) {
    return mine && mine->isDictionary() && theirs != file.end() && theirs->second.isDictionary();
}

}  // namespace

void DefaultsChanges::keyChanged(const std::string& key) { keys_.insert_or_assign(key, std::nullopt); }

void DefaultsChanges::entriesChanged(const std::string& key, const std::vector<std::string>& entries) {
    auto [found, added] = keys_.try_emplace(key, std::set<std::string>{});
    if (found->second) found->second->insert(entries.begin(), entries.end());
}

void DefaultsChanges::cleared() {
    keys_.clear();
    cleared_ = true;
}

void DefaultsChanges::reset() {
    keys_.clear();
    cleared_ = false;
}

void DefaultsChanges::applyOnto(Value::Dictionary& file, Value::Dictionary& own) const {
    if (cleared_) file.clear();
    for (const auto& [key, entries] : keys_) {
        auto mine = own.find(key);
        Value* value = mine == own.end() ? nullptr : &mine->second;
        auto theirs = file.find(key);
        // Where the file holds no dictionary under the key, there is
        // nothing to lay the entries over: the whole one goes.
        if (entries && bothDictionaries(value, theirs, file)) {
            applyEntries(theirs->second.asDictionary(), value->asDictionary(), *entries);
        } else if (value) {
            file.insert_or_assign(key, std::move(*value));
        } else {
            file.erase(key);
        }
    }
}

FileStamp FileStamp::of(const std::filesystem::path& file) {
    struct stat info {};
    FileStamp stamp;
    if (::stat(file.c_str(), &info) != 0) return stamp;
    stamp.exists = true;
    stamp.device = info.st_dev;
    stamp.inode = info.st_ino;
    stamp.size = static_cast<unsigned long long>(info.st_size);
    stamp.modified = nanoseconds(info.st_mtim);
    stamp.changed = nanoseconds(info.st_ctim);
    return stamp;
}

ContentMark ContentMark::of(const std::string& bytes) {
    return {true, bytes.size(), std::hash<std::string_view>{}(bytes)};
}

}  // namespace platform::detail
