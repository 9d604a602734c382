// Temporary folders of tests, and the removal of those left behind.
#include "testsupport/temp_dir.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>

namespace testsupport {

namespace {

constexpr const char* kPrefix = "velmora-test-";

// The process that made the folder of that name; none for a name of
// another form.
std::optional<pid_t> ownerOf(const std::string& name) {
    if (name.rfind(kPrefix, 0) != 0) return std::nullopt;
    const std::string rest = name.substr(std::char_traits<char>::length(kPrefix));
    const auto dash = rest.find('-');
    if (dash == 0 || dash == std::string::npos || rest.find_first_not_of("0123456789") != dash) return std::nullopt;
    try {
        return static_cast<pid_t>(std::stol(rest.substr(0, dash)));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool runs(pid_t pid) { return ::kill(pid, 0) == 0 || errno != ESRCH; }

// This user's test folders (never a link) of processes that ended, and this
// process's own when `own`.
void removeLeftFolders(bool own) {
    std::error_code error;
    const auto folder = std::filesystem::temp_directory_path(error);
    if (error) return;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const auto owner = ownerOf(it->path().filename().string());
        if (!owner) continue;
        struct stat info {};
        if (::lstat(it->path().c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) continue;
        if (*owner == ::getpid() ? own : !runs(*owner)) {
            std::error_code ignored;
            std::filesystem::remove_all(it->path(), ignored);
        }
    }
}

}  // namespace

void removeTemporaryFoldersAtExit() {
    static std::once_flag once;
    std::call_once(once, [] {
        removeLeftFolders(false);
        std::atexit([] { removeLeftFolders(true); });
    });
}

TempDir::TempDir() {
    removeTemporaryFoldersAtExit();
    std::string pattern =
        (std::filesystem::temp_directory_path() / (kPrefix + std::to_string(::getpid()) + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary directory");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace testsupport
