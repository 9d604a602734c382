#pragma once

// Fresh temporary folders for tests, and what is left of them cleared away.

#include <filesystem>
#include <string>

namespace testsupport {

// A fresh directory under the system temporary folder, removed with
// everything in it when the object goes out of scope. Its name carries the
// process's ID ("velmora-test-<pid>-XXXXXX"), so that what a process could
// not remove itself is removed all the same (removeTemporaryFoldersAtExit).
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Once a process: removes now the temporary folders of processes that no
// longer run (a run killed at its time limit, a child killed by its test),
// and, as the process exits, its own that are there again (written after
// their TempDir went, by a preferences store that outlived it) with those
// of its children that ended. Only this user's folders are touched. The
// first TempDir calls it; a test main calls it first, so that its removal
// at exit comes after every other exit handler, writers' included.
void removeTemporaryFoldersAtExit();

}  // namespace testsupport
