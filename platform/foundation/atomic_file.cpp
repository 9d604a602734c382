// Files replaced whole, never seen half written, through temporary files no
// other process can foresee; and what killed writers left beside them.
#include "platform/foundation/atomic_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>

#include "platform/foundation/set_aside_copies.h"

namespace platform {

namespace {

constexpr const char* kTemporaryInfix = ".tmp-";
// The random part of a temporary file's name, in bytes (written as twice as
// many hexadecimal digits): no other process can foresee it.
constexpr std::size_t kTemporaryRandomBytes = 8;
// Names tried before a write gives up: another name is taken only where one
// was already there, which chance alone all but never makes.
constexpr int kTemporaryNameTries = 8;

void setReason(std::string* why, const std::string& text) {
    if (why) *why = text;
}

// Hexadecimal digits from the system's secure source of random bytes; none
// when it fails.
std::optional<std::string> randomPart() {
    unsigned char bytes[kTemporaryRandomBytes];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        got += static_cast<std::size_t>(n);
    }
    static const char* hex = "0123456789abcdef";
    std::string text;
    for (const unsigned char byte : bytes) {
        text += hex[byte >> 4];
        text += hex[byte & 15];
    }
    return text;
}

bool writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Makes a new file of its own beside `file` under a name no other process
// can foresee: never one that was there (a link planted there is neither
// followed nor replaced). Answers its descriptor, -1 with errno set when
// none could be made.
int makeTemporaryFile(const std::filesystem::path& file, unsigned mode, std::filesystem::path* temp) {
    for (int tried = 0; tried < kTemporaryNameTries; ++tried) {
        const auto random = randomPart();
        if (!random) return -1;
        *temp = file;
        *temp += kTemporaryInfix + std::to_string(::getpid()) + "-" + *random;
        const int fd = createNewFile(*temp, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// The data reaches the disk before the rename publishes it. The temporary
// file is removed when it cannot be written whole.
bool writeTemporaryFile(const std::filesystem::path& file, const std::string& bytes, unsigned mode,
                        std::filesystem::path* temp) {
    const int fd = makeTemporaryFile(file, mode, temp);
    if (fd < 0) return false;
    bool written = writeAll(fd, bytes) && ::fdatasync(fd) == 0;
    int failure = written ? 0 : errno;
    if (::close(fd) != 0 && written) {
        written = false;
        failure = errno;
    }
    if (written) return true;
    ::unlink(temp->c_str());
    errno = failure;
    return false;
}

// The process that writes a temporary file named "PID-RANDOM" after its
// infix (the random part in hexadecimal digits; older writers numbered
// them); none for any other name.
std::optional<pid_t> writerOf(const std::string& suffix) {
    const auto dash = suffix.find('-');
    if (dash == 0 || dash == std::string::npos || dash + 1 == suffix.size()) return std::nullopt;
    long long pid = 0;
    const char* begin = suffix.data();
    if (auto [end, error] = std::from_chars(begin, begin + dash, pid); error != std::errc() || end != begin + dash) {
        return std::nullopt;
    }
    if (suffix.find_first_not_of("0123456789abcdef", dash + 1) != std::string::npos || pid <= 0 ||
        pid > std::numeric_limits<pid_t>::max()) {
        return std::nullopt;
    }
    return static_cast<pid_t>(pid);
}

// Only a process that the system says does not exist is gone: one of
// another user still runs (EPERM).
bool processIsGone(pid_t pid) { return pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH; }

// No writer makes a link: one at a temporary file's name was planted there.
bool isLeftOver(const std::filesystem::path& path, pid_t writer) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return false;
    return S_ISLNK(info.st_mode) || (S_ISREG(info.st_mode) && processIsGone(writer));
}

}  // namespace

int createNewFile(const std::filesystem::path& path, unsigned mode) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, static_cast<mode_t>(mode));
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool writeFileAtomically(const std::filesystem::path& file, const std::string& bytes, unsigned mode, std::string* why) {
    std::error_code ec;
    // A folder that cannot be made is the cause to name, not the missing
    // folder that the file's open meets after it.
    if (file.has_parent_path() && !std::filesystem::create_directories(file.parent_path(), ec) && ec) {
        setReason(why, "cannot write " + file.string() + ": the folder " + file.parent_path().string() +
                           " cannot be made: " + ec.message());
        return false;
    }
    removeAbandonedTemporaryFiles(file);
    std::filesystem::path temp;
    if (!writeTemporaryFile(file, bytes, mode, &temp)) {
        setReason(why, "cannot write " + file.string() + ": " + std::strerror(errno));
        return false;
    }
    // A rename replaces what stands at the file's path, a link too, and
    // follows nothing: the path then holds the new regular file.
    if (::rename(temp.c_str(), file.c_str()) != 0) {
        setReason(why, "cannot replace " + file.string() + ": " + std::strerror(errno));
        ::unlink(temp.c_str());
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
        if (!writer || !isLeftOver(it->path(), *writer)) continue;
        if (::unlink(it->path().c_str()) == 0) removed.push_back(it->path());
    }
    return removed;
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
