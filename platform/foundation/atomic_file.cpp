// Files replaced whole, never seen half written, and what killed writers left beside them.
#include "platform/foundation/atomic_file.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <limits>
#include <cstring>
#include <system_error>

#include "platform/foundation/set_aside_copies.h"

namespace platform {

namespace {

// The data reaches the disk before the rename publishes it.
bool writeFileSynced(const std::filesystem::path& path, const std::string& bytes, unsigned mode) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, static_cast<mode_t>(mode));
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int saved = errno;
            ::close(fd);
            errno = saved;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    const bool synced = ::fdatasync(fd) == 0;
    return ::close(fd) == 0 && synced;
}

void setReason(std::string* why, const std::string& text) {
    if (why) *why = text;
}

constexpr const char* kTemporaryInfix = ".tmp-";

// The process that writes a temporary file named "PID-N" after its infix;
// none for any other name.
std::optional<pid_t> writerOf(const std::string& suffix) {
    const auto dash = suffix.find('-');
    if (dash == 0 || dash == std::string::npos || dash + 1 == suffix.size()) return std::nullopt;
    long long pid = 0;
    const char* begin = suffix.data();
    if (auto [end, error] = std::from_chars(begin, begin + dash, pid); error != std::errc() || end != begin + dash) {
        return std::nullopt;
    }
    if (suffix.find_first_not_of("0123456789", dash + 1) != std::string::npos || pid <= 0 ||
        pid > std::numeric_limits<pid_t>::max()) {
        return std::nullopt;
    }
    return static_cast<pid_t>(pid);
}

// Only a process that the system says does not exist is gone: one of
// another user still runs (EPERM).
bool processIsGone(pid_t pid) { return pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH; }

}  // namespace

bool writeFileAtomically(const std::filesystem::path& file, const std::string& bytes, unsigned mode, std::string* why) {
    static std::atomic<unsigned> counter{0};
    std::error_code ec;
    // A folder that cannot be made is the cause to name, not the missing
    // folder that the file's open meets after it.
    if (file.has_parent_path() && !std::filesystem::create_directories(file.parent_path(), ec) && ec) {
        setReason(why, "cannot write " + file.string() + ": the folder " + file.parent_path().string() +
                           " cannot be made: " + ec.message());
        return false;
    }
    std::filesystem::path temp = file;
    temp += kTemporaryInfix + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    if (!writeFileSynced(temp, bytes, mode)) {
        setReason(why, "cannot write " + file.string() + ": " + std::strerror(errno));
        std::filesystem::remove(temp, ec);
        return false;
    }
    std::filesystem::rename(temp, file, ec);
    if (ec) {
        setReason(why, "cannot replace " + file.string() + ": " + ec.message());
        std::filesystem::remove(temp, ec);
        return false;
    }
    return true;
}

std::vector<std::filesystem::path> removeAbandonedTemporaryFiles(const std::filesystem::path& file) {
    std::vector<std::filesystem::path> removed;
    const std::string prefix = file.filename().string() + kTemporaryInfix;
    std::error_code ec;
    const auto folder = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
        const auto writer = writerOf(name.substr(prefix.size()));
        std::error_code kind;
        if (!writer || !it->is_regular_file(kind) || it->is_symlink(kind) || !processIsGone(*writer)) continue;
        std::error_code gone;
        if (std::filesystem::remove(it->path(), gone)) removed.push_back(it->path());
    }
    return removed;
}

bool rewriteFileAtomically(const std::filesystem::path& file, const std::string& bytes, unsigned mode,
                           std::string* why) {
    removeAbandonedTemporaryFiles(file);
    return writeFileAtomically(file, bytes, mode, why);
}

std::optional<std::filesystem::path> setFileAside(const std::filesystem::path& file, std::string* why) {
    const auto aside = nextSetAsideName(file.string(), {}, why);
    if (!aside) return std::nullopt;
    std::error_code ec;
    std::filesystem::rename(file, *aside, ec);
    if (ec) {
        setReason(why, ec.message());
        return std::nullopt;
    }
    // An older copy that cannot be deleted stays; the next one set aside tries again.
    deleteOlderSetAsideCopies(file.string(), {});
    return std::filesystem::path(*aside);
}

}  // namespace platform
