#include "measurement/store/settings_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace measurement {

namespace {

// The data reaches the disk before the rename publishes it.
bool writeFileSynced(const std::filesystem::path& path, const std::string& bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
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

bool APMWriteSettingsFileAtomically(const std::filesystem::path& file, const std::string& bytes, std::string* why) {
    static std::atomic<unsigned> counter{0};
    std::error_code ec;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
    std::filesystem::path temp = file;
    temp += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    if (!writeFileSynced(temp, bytes)) {
        setReason(why, "cannot write " + temp.string() + ": " + std::strerror(errno));
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

std::optional<std::filesystem::path> APMSetSettingsFileAside(const std::filesystem::path& file) {
    std::filesystem::path aside = file;
    aside += ".corrupt";
    std::error_code ec;
    for (int n = 2; std::filesystem::exists(aside, ec); ++n) {
        aside = file;
        aside += ".corrupt-" + std::to_string(n);
    }
    std::filesystem::rename(file, aside, ec);
    if (ec) return std::nullopt;
    return aside;
}

bool APMValueHoldsNull(const platform::Value& value) {
    switch (value.kind()) {
        case platform::Value::Kind::Null: return true;
        case platform::Value::Kind::Array:
            for (const auto& element : value.asArray()) {
                if (APMValueHoldsNull(element)) return true;
            }
            return false;
        case platform::Value::Kind::Dictionary:
            for (const auto& [key, element] : value.asDictionary()) {
                if (APMValueHoldsNull(element)) return true;
            }
            return false;
        default: return false;
    }
}

}  // namespace measurement
