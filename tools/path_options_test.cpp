// Names the file system takes and those it refuses, at the limits.
#include "tools/path_options.h"

#include <doctest/doctest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

// A path of that many bytes, in parts of at most 200.
std::string pathOf(std::size_t bytes) {
    std::string path;
    while (path.size() + 201 < bytes) path += "/" + std::string(200, 'p');
    return path + "/" + std::string(bytes - path.size() - 1, 'q');
}

}  // namespace

TEST_CASE("a name is refused past the longest file name, or past the longest path less the room asked for") {
    struct Case {
        std::string path;
        std::size_t room;
        const char* refusal;  // a part of why; none when taken
    };
    const std::vector<Case> cases = {
        {"", 0, "empty"},
        {"/tmp/" + std::string(NAME_MAX, 'n'), 0, nullptr},
        {"/tmp/" + std::string(NAME_MAX + 1, 'n') + "/x", 0, "a part of it is 256 bytes long"},
        {"relative/" + std::string(NAME_MAX + 1, 'n'), 0, "a file name may have 255"},
        {pathOf(PATH_MAX - 1), 0, nullptr},
        {pathOf(PATH_MAX), 0, "it is 4096 bytes long, and a path may have 4095"},
        {pathOf(PATH_MAX - 1 - tools::kDataFolderRoom), tools::kDataFolderRoom, nullptr},
        {pathOf(PATH_MAX - tools::kDataFolderRoom), tools::kDataFolderRoom, "a path may have 3967 here"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.path.size());
        const auto refused = tools::refusedName(c.path, c.room);
        REQUIRE(refused.has_value() == (c.refusal != nullptr));
        if (c.refusal) CHECK(refused->find(c.refusal) != std::string::npos);
    }
}
