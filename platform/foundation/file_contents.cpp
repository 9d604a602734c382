// A file's whole contents, read from a descriptor already opened and checked.
#include "platform/foundation/file_contents.h"

#include <unistd.h>

#include <cerrno>

namespace platform {

std::optional<std::string> readToEnd(int fd) {
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count > 0) {
            text.append(buffer, static_cast<std::size_t>(count));
        } else if (count == 0) {
            return text;
        } else if (errno != EINTR) {
            return std::nullopt;
        }
    }
}

}  // namespace platform
