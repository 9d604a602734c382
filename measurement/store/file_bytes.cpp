// Reading a file's bytes at offsets, bounded by its size.
#include "measurement/store/file_bytes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace measurement {

APMFileBytes::APMFileBytes(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (fd_ < 0) {
        openError_ = errno;
        return;
    }
    struct stat info {};
    if (::fstat(fd_, &info) != 0) {
        openError_ = errno;
        ::close(fd_);
        fd_ = -1;
        return;
    }
    if (info.st_size > 0) size_ = static_cast<std::uint64_t>(info.st_size);
}

APMFileBytes::~APMFileBytes() {
    if (fd_ >= 0) ::close(fd_);
}

bool APMFileBytes::read(std::uint64_t at, std::size_t length, unsigned char* into, int* readError) const {
    if (readError) *readError = 0;
    std::size_t done = 0;
    while (done < length && at < size_ && done < size_ - at) {
        const ssize_t got = ::pread(fd_, into + done, length - done, static_cast<off_t>(at + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && readError) *readError = errno;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    std::fill(into + done, into + length, 0);
    return done > 0 || length == 0;
}

}  // namespace measurement
