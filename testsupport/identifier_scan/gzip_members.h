#pragma once

// The text that gzip members hold, wherever they lie in a file: a .gz file
// is one or more members in a row, and other files (a stored bundle, a
// reply) may carry members among their own bytes. A search of stored bytes
// alone passes over what they hold.

#include <cstddef>
#include <string>
#include <vector>

namespace testsupport {

struct InflatedMember {
    std::size_t offset = 0;  // where the member begins, in the bytes searched
    std::string bytes;       // what it inflates to, as far as it inflates
    int depth = 1;           // 1 for a member of the bytes themselves, 2 for one inside that, ...
};

// Inflates every member that begins in `bytes` (its magic, 1f 8b, and the
// deflate method), then the members inside what that gave, down to
// `maxDepth`. A member that is cut short or damaged gives what inflated
// before the damage; each gives at most `maxBytes`.
std::vector<InflatedMember> inflatedMembers(const std::string& bytes, int maxDepth = 4,
                                            std::size_t maxBytes = 64u * 1024u * 1024u);

}  // namespace testsupport
