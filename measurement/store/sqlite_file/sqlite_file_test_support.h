#pragma once

// What the tests of the file-format reader do to a database file's log:
// frames changed and their checksums summed again, as a log that SQLite
// wrote so would hold them.

#include <cstddef>
#include <functional>
#include <string>

namespace testsupport {

// The log with its checksums summed again in the byte order asked, as a
// machine of that order writes them; the frames from `otherSaltFrom` on
// given another salt first, as those of a log before a restart; each frame
// (its header, then its page) handed to `edit`, with its index, before it
// is summed.
std::string resummedLog(std::string log, std::size_t pageSize, bool bigEndian, std::size_t otherSaltFrom,
                        const std::function<void(std::size_t index, char* frame)>& edit = {});

}  // namespace testsupport
