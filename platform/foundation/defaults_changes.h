#pragma once

// What a process changed in a preferences suite since its last write, laid
// over the suite file as other processes left it.

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace platform::detail {

// The keys a process set or removed in one suite since its last write.
// Other processes write the same file: a write reads the file as it stands
// and lays only these over it, so that what the others wrote meanwhile
// stays. A key set or removed whole replaces the file's; a dictionary
// changed entry by entry replaces only those entries of the file's.
class DefaultsChanges {
public:
    // The key was set or removed: what memory holds under it is what counts.
    void keyChanged(const std::string& key);
    // Only these entries of the dictionary under the key were set or
    // removed; a key changed whole stays changed whole.
    void entriesChanged(const std::string& key, const std::vector<std::string>& entries);
    // Every key was removed: the file's keys go too, and the changes made
    // afterwards are laid over nothing.
    void cleared();

    bool empty() const { return keys_.empty() && !cleared_; }
    void reset();

    // Lays the changes over `file`, the suite as its file holds it, taking
    // the values from `own`, this process's view (they are moved out of it).
    void applyOnto(Value::Dictionary& file, Value::Dictionary& own) const;

private:
    // None: the key changed whole; else the entries of its dictionary.
    std::map<std::string, std::optional<std::set<std::string>>> keys_;
    bool cleared_ = false;
};

// Which file a path held when it was last read or written. A file is
// replaced through a rename, so another write leaves another file there
// (another inode, or other times and size). Taken before a read, so that a
// replacement during the read shows as a change.
struct FileStamp {
    bool exists = false;
    unsigned long long device = 0, inode = 0, size = 0;
    long long modified = 0, changed = 0;  // nanoseconds

    static FileStamp of(const std::filesystem::path& file);
    bool operator==(const FileStamp&) const = default;
};

// A file's bytes as their size and hash: what a process last read or wrote
// there, to tell whether another has rewritten the file since without
// reading it whole again.
struct ContentMark {
    bool known = false;
    std::size_t size = 0;
    std::size_t hash = 0;

    static ContentMark of(const std::string& bytes);
    bool operator==(const ContentMark&) const = default;
};

}  // namespace platform::detail
