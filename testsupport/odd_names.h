#pragma once

// What a test puts at a name where a program expects a regular file: a
// fifo, links and a folder, and whether a link's target stayed as it was.

#include <doctest/doctest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "testsupport/file_text.h"

namespace testsupport {

inline constexpr const char* kLinkToAFile = "a link to a file";

// Each kind's name and how it is made at `name`; `outside` is where a link
// leads.
struct OddKind {
    std::string what;
    std::function<void(const std::filesystem::path& name, const std::filesystem::path& outside)> make;
};

inline const std::vector<OddKind>& oddKinds() {
    namespace fs = std::filesystem;
    static const std::vector<OddKind> kinds = {
        {"a fifo", [](const fs::path& name, const fs::path&) { REQUIRE(::mkfifo(name.c_str(), 0600) == 0); }},
        {kLinkToAFile, [](const fs::path& name, const fs::path& outside) {
             writeText(outside, "another program's");
             fs::create_symlink(outside, name);
         }},
        {"a link to nothing", [](const fs::path& name, const fs::path& outside) { fs::create_symlink(outside, name); }},
        {"a folder", [](const fs::path& name, const fs::path&) { fs::create_directories(name / "inside"); }},
    };
    return kinds;
}

// The kind as a program that looks at the name without following it calls
// it: either link is "a link".
inline std::string foundAs(const OddKind& kind) {
    return kind.what.rfind("a link", 0) == 0 ? std::string("a link") : kind.what;
}

// Nothing was made or written where the kind's link leads.
inline void checkOutsideUntouched(const OddKind& kind, const std::filesystem::path& outside) {
    CHECK(std::filesystem::exists(std::filesystem::symlink_status(outside)) == (kind.what == kLinkToAFile));
    if (kind.what == kLinkToAFile) CHECK(readText(outside) == "another program's");
}

}  // namespace testsupport
