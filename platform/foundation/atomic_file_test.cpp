// Files replaced whole: never through a link, no temporary file left by a failed write, and what others left at the temporary names removed.
#include <doctest/doctest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/atomic_file.h"
#include "testsupport/child_process.h"
#include "testsupport/file_text.h"
#include "testsupport/temp_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kOutsideText = "another program's";

fs::file_type typeAt(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type();
}

// The names beside the file that begin as its temporary files do.
std::set<std::string> temporaryNames(const fs::path& file) {
    std::set<std::string> names;
    const std::string prefix = file.filename().string() + ".tmp-";
    for (const auto& entry : fs::directory_iterator(file.parent_path())) {
        const auto name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0) names.insert(name);
    }
    return names;
}

pid_t endedProcess() {
    const pid_t ended = ::fork();
    REQUIRE(ended >= 0);
    if (ended == 0) ::_exit(0);
    REQUIRE(::waitpid(ended, nullptr, 0) == ended);
    return ended;
}

}  // namespace

TEST_CASE("a write follows no link, at the file or at a temporary name, and leaves no link at one") {
    // Links planted at the names a writer that numbered its temporary files
    // would take next, and at the file itself: to a file outside, or to a
    // name outside where nothing is.
    constexpr int kPlanted = 64;
    struct Case {
        const char* what;
        bool targetExists;
        bool atFile;
    };
    const Case cases[] = {
        {"links to a file outside at the temporary names", true, false},
        {"links to nothing outside at the temporary names", false, false},
        {"a link to a file outside at the file itself", true, true},
        {"a link to nothing outside at the file itself", false, true},
    };
    for (const auto& c : cases) {
        CAPTURE(c.what);
        testsupport::TempDir dir;
        const auto file = dir / "folder" / "suite.plist";
        const auto outside = dir / "outside";
        fs::create_directories(file.parent_path());
        if (c.targetExists) testsupport::writeText(outside, kOutsideText);
        if (c.atFile) {
            fs::create_symlink(outside, file);
        } else {
            for (int n = 0; n < kPlanted; ++n) {
                fs::create_symlink(outside, file.string() + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(n));
            }
        }
        std::string why;
        REQUIRE_MESSAGE(platform::writeFileAtomically(file, "new bytes", 0644, &why), why);
        CHECK(typeAt(file) == fs::file_type::regular);
        CHECK(testsupport::readText(file) == "new bytes");
        CHECK(fs::exists(fs::symlink_status(outside)) == c.targetExists);
        if (c.targetExists) CHECK(testsupport::readText(outside) == kOutsideText);
        CHECK(temporaryNames(file).empty());
    }
}

TEST_CASE("a writer removes what ended writers and planters left at its file's temporary names, and only that") {
    testsupport::TempDir dir;
    const auto file = dir / "settings.plist";
    const std::string name = file.string();
    const pid_t ended = endedProcess();
    testsupport::FileLockHolder running((dir / "running.lock").string(), false);
    const std::string live = std::to_string(running.pid()), gone = std::to_string(ended);
    testsupport::writeText(dir / "outside", kOutsideText);
    struct Case {
        std::string path;
        std::function<void(const fs::path&)> make;
        bool removed;
    };
    const auto regular = [](const fs::path& path) { testsupport::writeText(path, "half a write"); };
    const auto link = [&](const fs::path& path) { fs::create_symlink(dir / "outside", path); };
    const auto folder = [](const fs::path& path) { fs::create_directories(path); };
    const std::vector<Case> cases = {
        {name + ".tmp-" + gone + "-0", regular, true},
        {name + ".tmp-" + gone + "-9f3ac0e1d2b4a6c8", regular, true},  // a random part
        {name + ".tmp-" + live + "-3", regular, false},                // its writer runs
        {name + ".tmp-" + std::to_string(::getpid()) + "-ffffffff", regular, false},  // this process's
        // No writer makes a link: whoever's name it takes, it goes.
        {name + ".tmp-" + live + "-5", link, true},
        {name + ".tmp-" + std::to_string(::getpid()) + "-0", link, true},
        {name + ".tmp-" + gone + "-1", link, true},
        // What is no temporary file, or no name the writes give, stays.
        {name + ".tmp-" + gone + "-2", folder, false},
        {name + ".tmp-" + gone + "-x", regular, false},
        {name + ".tmp-" + gone + "-xlink", link, false},
        {name + ".tmp-" + gone, link, false},
        {(dir / "other.plist.tmp-").string() + gone + "-1", regular, false},  // another file's
    };
    for (const auto& c : cases) c.make(c.path);
    REQUIRE(platform::writeFileAtomically(file, "written"));
    for (const auto& c : cases) CHECK_MESSAGE(fs::exists(fs::symlink_status(c.path)) == !c.removed, c.path);
    CHECK(testsupport::readText(dir / "outside") == kOutsideText);
}

TEST_CASE("a new file is made only where nothing is: no file there is opened, no link followed") {
    testsupport::TempDir dir;
    testsupport::writeText(dir / "outside", kOutsideText);
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> make;
        bool made;
    };
    const Case cases[] = {
        {"nothing", [](const fs::path&) {}, true},
        {"a file", [](const fs::path& path) { testsupport::writeText(path, "another writer's"); }, false},
        {"a link to a file", [&](const fs::path& path) { fs::create_symlink(dir / "outside", path); }, false},
        {"a link to nothing", [&](const fs::path& path) { fs::create_symlink(dir / "nowhere", path); }, false},
    };
    for (const auto& c : cases) {
        CAPTURE(c.what);
        const auto path = dir / (std::string("made-") + c.what);
        c.make(path);
        const auto before = fs::symlink_status(path).type();
        const int fd = platform::createNewFile(path, 0644);
        CHECK((fd >= 0) == c.made);
        if (fd >= 0) {
            ::close(fd);
            CHECK(typeAt(path) == fs::file_type::regular);
        } else {
            CHECK(errno == EEXIST);
            CHECK(typeAt(path) == before);
        }
        if (typeAt(path) == fs::file_type::regular && !c.made) CHECK(testsupport::readText(path) == "another writer's");
    }
    CHECK(testsupport::readText(dir / "outside") == kOutsideText);
    CHECK_FALSE(fs::exists(fs::symlink_status(dir / "nowhere")));
}

TEST_CASE("a write the system refuses part way through leaves no temporary file behind") {
    testsupport::TempDir dir;
    const fs::path file = dir / "settings.plist";
    // In a child whose files may grow to 100 bytes only.
    const pid_t child = ::fork();
    REQUIRE(child >= 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit small{100, 100};
        const bool refused = ::setrlimit(RLIMIT_FSIZE, &small) == 0 &&
                             !platform::writeFileAtomically(file, std::string(1000, 'x'), 0644, nullptr);
        ::_exit(refused ? 0 : 1);
    }
    CHECK(testsupport::waitForChild(child, 60) == 0);
    CHECK(temporaryNames(file).empty());
    CHECK_FALSE(fs::exists(file));
}
