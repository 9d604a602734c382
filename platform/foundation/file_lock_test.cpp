// A lock file's place as a process finds it: what is no regular file set aside, a file it cannot open refused.
#include <doctest/doctest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/foundation/file_lock.h"
#include "testsupport/child_process.h"
#include "testsupport/file_text.h"
#include "testsupport/odd_names.h"
#include "testsupport/other_user.h"
#include "testsupport/temp_dir.h"

namespace fs = std::filesystem;
using platform::FileLock;

namespace {

constexpr double kChildLimitSeconds = 60;

// What lies at a name, not followed.
fs::file_type typeAt(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type();
}

// What the lock leaves at the set-aside name of each odd kind.
fs::file_type setAsideType(const testsupport::OddKind& kind) {
    if (kind.what == "a fifo") return fs::file_type::fifo;
    if (kind.what == "a folder") return fs::file_type::directory;
    return fs::file_type::symlink;
}

}  // namespace

TEST_CASE("what lies at a lock file's place that is no regular file is set aside, said, and a lock file made there") {
    for (const auto& kind : testsupport::oddKinds()) {
        CAPTURE(kind.what);
        const std::string found = testsupport::foundAs(kind);
        testsupport::TempDir dir;
        const auto path = dir / "suite.plist.lock";
        const auto outside = dir / "outside";
        kind.make(path, outside);
        FileLock lock(path.string());
        // Neither opened nor followed, nor locked.
        CHECK_FALSE(lock.isOpen());
        CHECK(lock.oddKind() == std::optional<std::string>(found));
        CHECK_FALSE(lock.folderTakesNoWrite());
        CHECK_FALSE(lock.tryLock(FileLock::Kind::exclusive));
        std::string setAside, why;
        REQUIRE(lock.openForLocking(&setAside, &why));
        const std::string aside = path.string() + ".corrupt";
        CHECK(setAside == path.string() + " was " + found + ", not a lock file; set aside as " + aside);
        CHECK(why.empty());
        CHECK(typeAt(path) == fs::file_type::regular);
        CHECK(typeAt(aside) == setAsideType(kind));
        testsupport::checkOutsideUntouched(kind, outside);
        // The lock file made in its place is the one every holder locks.
        REQUIRE(lock.tryLock(FileLock::Kind::exclusive));
        FileLock other(path.string());
        CHECK(other.openForLocking(&setAside, &why));
        CHECK(setAside.empty());
        CHECK_FALSE(other.tryLock(FileLock::Kind::shared));
        // Found again, it takes the next name.
        lock.unlock();
        REQUIRE(fs::remove(path));
        kind.make(path, outside);
        FileLock again(path.string());
        CHECK(again.openForLocking(&setAside, &why));
        CHECK(setAside == path.string() + " was " + found + ", not a lock file; set aside as " + aside + "-2");
        CHECK(again.tryLock(FileLock::Kind::exclusive));
    }
}

TEST_CASE("a lock file this user cannot open is refused with the reason; one whose folder takes no file is gone without") {
    testsupport::TempDir dir;
    std::string setAside, why;
    SUBCASE("a file this user may not open") {
        // Every mode lets the superuser through: the lock is opened in a
        // child held to the modes (another user where the tests run as
        // root) that may write in the folder, but not open the file.
        const auto path = dir / "unreadable.lock";
        if (::geteuid() == 0) testsupport::giveToOtherUser(dir.path());
        testsupport::writeText(path, "");
        fs::permissions(path, fs::perms::none);
        std::string failure;
        const auto found = testsupport::inChildHeldToModes(
            [&] {
                FileLock lock(path.string());
                std::string asideInChild, whyInChild;
                const bool opened = lock.openForLocking(&asideInChild, &whyInChild);
                return std::string(opened ? "opened" : "refused") + (lock.folderTakesNoWrite() ? " nowrite" : "") +
                       "\n" + asideInChild + "\n" + whyInChild;
            },
            kChildLimitSeconds, &failure);
        REQUIRE_MESSAGE(found, failure);
        CHECK(*found == "refused\n\nits lock file " + path.string() + " cannot be locked: Permission denied");
        CHECK(typeAt(path) == fs::file_type::regular);
        CHECK_FALSE(fs::exists(path.string() + ".corrupt"));
    }
    SUBCASE("a folder no file can be made in, whoever runs the test: a process's folder of /proc") {
        FileLock lock("/proc/self/app.lock");
        CHECK(lock.openForLocking(&setAside, &why));
        CHECK_FALSE(lock.isOpen());
        CHECK(lock.folderTakesNoWrite());
        CHECK(setAside.empty());
    }
}

TEST_CASE("processes that find a folder at a lock file's place at once set it aside once, and all lock one file") {
    constexpr int kProcesses = 8;
    testsupport::TempDir dir;
    const auto path = dir / "suite.plist.lock";
    const auto turn = dir / "turn";
    fs::create_directories(path / "inside");
    const auto children = testsupport::forkTogether(kProcesses, [&](int) {
        FileLock lock(path.string());
        std::string setAside, why;
        if (!lock.openForLocking(&setAside, &why) || !lock.lock(FileLock::Kind::exclusive)) return 3;
        // Alone while it holds the lock: no other holder's mark is there.
        const int mark = ::open(turn.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (mark < 0) return 4;
        ::close(mark);
        ::unlink(turn.c_str());
        return setAside.empty() ? 0 : 1;
    });
    int setAsideBy = 0;
    for (const pid_t child : children) {
        const int status = testsupport::waitForChild(child, 60);
        CHECK((status == 0 || status == 1));
        setAsideBy += status == 1;
    }
    CHECK(setAsideBy == 1);
    CHECK(typeAt(path) == fs::file_type::regular);
    CHECK(typeAt(path.string() + ".corrupt") == fs::file_type::directory);
    CHECK_FALSE(fs::exists(fs::symlink_status(path.string() + ".corrupt-2")));
}
