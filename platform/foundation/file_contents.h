#pragma once

// A file's whole contents, read from a descriptor already opened and checked.

#include <optional>
#include <string>

namespace platform {

// Reads from `fd` until its end, through reads the system interrupts.
// Answers the bytes, none when a read fails (errno then says why); the
// descriptor stays open, its owner's to close.
std::optional<std::string> readToEnd(int fd);

}  // namespace platform
