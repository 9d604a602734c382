#include "platform/foundation/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>

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

}  // namespace

bool writeFileAtomically(const std::filesystem::path& file, const std::string& bytes, unsigned mode, std::string* why) {
    static std::atomic<unsigned> counter{0};
    std::error_code ec;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
    std::filesystem::path temp = file;
    temp += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
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

std::optional<std::filesystem::path> setFileAside(const std::filesystem::path& file, std::string* why) {
    std::filesystem::path aside = file;
    aside += ".corrupt";
    std::error_code ec;
    for (int n = 2; std::filesystem::exists(aside, ec); ++n) {
        aside = file;
        aside += ".corrupt-" + std::to_string(n);
    }
    std::filesystem::rename(file, aside, ec);
    if (ec) {
        setReason(why, ec.message());
        return std::nullopt;
    }
    return aside;
}

}  // namespace platform
