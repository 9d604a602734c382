#pragma once

// The copies of a damaged file set aside beside it: the name each new one
// takes, and the few kept.

#include <optional>
#include <string>
#include <vector>

namespace platform {

// What a damaged file is renamed to: its path with ".corrupt", then
// ".corrupt-2", ".corrupt-3"...
inline constexpr const char* kSetAsideSuffix = ".corrupt";
// The copies of one file kept beside it: the newest this many.
inline constexpr int kSetAsideCopiesKept = 3;
// The highest number a copy's name takes (".corrupt-999"). A name numbered
// past it is never made here, so it is another program's: neither counted,
// renamed nor deleted.
inline constexpr int kSetAsideLastNumber = 999;

// The names that go with a file's copies, as suffixes after a copy's name.
// `moved` go with the copy (renamed and deleted with it); `taken` keep a
// copy's name from being used while one of them lies beside it (the moved
// ones are taken too). A file without companions has neither.
struct SetAsideCompanions {
    std::vector<std::string> moved;
    std::vector<std::string> taken;
};

// The name of the copy numbered `number` (1 is ".corrupt").
std::string setAsideCopyName(const std::string& path, int number);

// The name the next copy of the file at `path` is set aside under, free for
// it and its companions: the number after the newest copy's. Past
// kSetAsideLastNumber, the copies there are first renamed, in their order,
// to the lowest names free. None, with *why, when no name within it can be
// had.
std::optional<std::string> nextSetAsideName(const std::string& path, const SetAsideCompanions& companions,
                                            std::string* why);

// A copy, or a companion of one, that could not be deleted, and why.
struct UndeletedCopy {
    std::string copy;
    std::string why;
};

// Deletes every copy of the file at `path` but the newest
// kSetAsideCopiesKept, each with its companions. Only regular files are
// deleted: a folder or a link at a copy's name (one set aside from the
// file's path, or another program's) stays. Answers the copies that could
// not be deleted.
std::vector<UndeletedCopy> deleteOlderSetAsideCopies(const std::string& path, const SetAsideCompanions& companions);

}  // namespace platform
