// Tests of the file lock: which holders exclude which, bounded waits that name the holder, and paths it refuses.
#include <doctest/doctest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "measurement/foundation/monitor.h"
#include "measurement/store/file_lock.h"
#include "testsupport/child_process.h"
#include "testsupport/scoped_launch_options.h"
#include "testsupport/temp_dir.h"

using namespace measurement;
using Kind = APMFileLock::Kind;

TEST_CASE("a file lock excludes the holders its mode conflicts with, until it is released") {
    testsupport::TempDir dir;
    const auto path = dir / "upload.lock";
    struct Case {
        Kind held;
        Kind asked;
        bool taken;
    };
    const Case cases[] = {
        {Kind::shared, Kind::shared, true},
        {Kind::shared, Kind::exclusive, false},
        {Kind::exclusive, Kind::shared, false},
        {Kind::exclusive, Kind::exclusive, false},
    };
    for (const auto& entry : cases) {
        CAPTURE(static_cast<int>(entry.held));
        CAPTURE(static_cast<int>(entry.asked));
        std::error_code error;
        auto holder = APMFileLock::acquire(path, entry.held, false, &error);
        REQUIRE(holder);
        auto second = APMFileLock::acquire(path, entry.asked, false, &error);
        CHECK(static_cast<bool>(second) == entry.taken);
        if (!entry.taken) CHECK(error == std::errc::resource_unavailable_try_again);
        second.reset();
        holder.reset();
        CHECK(APMFileLock::acquire(path, entry.asked, false, &error));
    }
}

TEST_CASE("a waiting file lock is taken once the holder lets go") {
    testsupport::TempDir dir;
    const auto path = dir / "settings.lock";
    auto holder = APMFileLock::acquire(path, Kind::exclusive, false, nullptr);
    REQUIRE(holder);
    std::unique_ptr<APMFileLock> waited;
    std::thread waiter([&] { waited = APMFileLock::acquire(path, Kind::exclusive, true, nullptr); });
    holder.reset();
    waiter.join();
    CHECK(waited);
    CHECK_FALSE(APMFileLock::acquire(path, Kind::shared, false, nullptr));
}

TEST_CASE("a file lock is refused where no file of its own can be opened") {
    testsupport::TempDir dir;
    std::filesystem::create_symlink(dir / "elsewhere", dir / "link.lock");
    const std::pair<std::filesystem::path, std::errc> cases[] = {
        {dir / "missing" / "upload.lock", std::errc::no_such_file_or_directory},
        {dir / "link.lock", std::errc::too_many_symbolic_link_levels},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.first);
        std::error_code error;
        CHECK_FALSE(APMFileLock::acquire(entry.first, Kind::exclusive, true, &error));
        CHECK(error == entry.second);
    }
    CHECK_FALSE(std::filesystem::exists(dir / "elsewhere"));
}

TEST_CASE("a wait for a lock that another process holds is bounded and names the holder") {
    testsupport::TempDir dir;
    const auto path = (dir / "settings.lock").string();
    testsupport::FileLockHolder holder(path, true);
    const std::string named = "process " + std::to_string(holder.pid());
    APMFileLock lock(path);
    struct Case {
        Kind kind;
        bool stopped;
        std::string holders;
    };
    const Case cases[] = {
        {Kind::shared, false, named},
        {Kind::exclusive, false, named},
        {Kind::exclusive, true, named + " (stopped)"},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.holders);
        if (entry.stopped) holder.stop();
        int waits = 0;
        CHECK_FALSE(lock.lockWithin(entry.kind, 0.05, [&] { ++waits; }));
        CHECK(waits == 1);
        CHECK(lock.error() == std::errc::timed_out);
        CHECK_FALSE(lock.held());
        CHECK(lock.otherHolders() == entry.holders);
    }
    holder.resume();
    holder.letGo();
    // Free now: taken at the first try, without a word of waiting.
    int waits = 0;
    CHECK(lock.lockWithin(Kind::exclusive, 0.05, [&] { ++waits; }));
    CHECK(waits == 0);
}

TEST_CASE("a wait is said only once it has lasted a second, or half of a shorter bound") {
    testsupport::TempDir dir;
    const auto path = (dir / "settings.lock").string();
    testsupport::FileLockHolder holder(path, true);
    APMFileLock lock(path);
    struct Case {
        double bound;
        double saidAfter;  // the least the wait has lasted when it is said
        bool letGo;        // the holder lets go once it is said
    };
    // Processes started together meet each other's turns of milliseconds
    // all the time: only a wait that lasts is news.
    const Case cases[] = {{0.4, 0.2, false}, {60, 1.0, true}};
    for (const auto& entry : cases) {
        CAPTURE(entry.bound);
        const auto start = std::chrono::steady_clock::now();
        double saidAt = -1;
        int waits = 0;
        const bool taken = lock.lockWithin(Kind::exclusive, entry.bound, [&] {
            ++waits;
            saidAt = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (entry.letGo) CHECK(::write(holder.releaseDescriptor(), "g", 1) == 1);
        });
        CHECK(waits == 1);
        CHECK(saidAt >= entry.saidAfter);
        CHECK(taken == entry.letGo);
    }
}

TEST_CASE("a wait ends as soon as the holder lets go") {
    testsupport::TempDir dir;
    const auto path = (dir / "database-lock").string();
    testsupport::FileLockHolder holder(path, true);
    APMFileLock lock(path);
    // The holder is told to let go only once the wait has begun; the bound
    // is far beyond what that takes.
    const bool taken = lock.lockWithin(Kind::shared, 60, [&] {
        CHECK(::write(holder.releaseDescriptor(), "g", 1) == 1);
    });
    CHECK(taken);
    CHECK(lock.held() == Kind::shared);
}

TEST_CASE("a shared file's lock is waited for up to the launch options' bound, said, and given up on") {
    testsupport::TempDir dir;
    const auto path = (dir / "rozeda-measurement-settings.plist.lock").string();
    testsupport::ScopedLaunchOptions bound([](platform::LaunchOptions& options) { options.lockWaitSeconds = 0.1; });
    APMFileLock::forgetGivenUpWaits();
    APMMonitorCapture capture;
    testsupport::FileLockHolder holder(path, false);
    holder.stop();
    APMFileLock lock(path);
    CHECK(APMFileLock::waitLimit() == 0.1);
    std::string why;
    CHECK_FALSE(lock.lockOrGiveUp(Kind::exclusive, "the engine's settings", &why));
    const std::string held = "process " + std::to_string(holder.pid()) + " (stopped)";
    CHECK(why == path + " stayed locked by " + held + " for 0.1 s");
    const auto waiting = capture.entriesWithCode(kAPMFileLockWaitingCode);
    REQUIRE(waiting.size() == 1);
    CHECK(waiting[0].level == kAPMMonitorLevelWarning);
    CHECK(waiting[0].message == "Waiting for the lock of the engine's settings, held by " + held +
                                    ", for up to 0.1 s. Lock file");
    CHECK(waiting[0].contexts[0] == platform::Value(path));
    const auto gaveUp = capture.entriesWithCode(kAPMFileLockGaveUpCode);
    REQUIRE(gaveUp.size() == 1);
    CHECK(gaveUp[0].level == kAPMMonitorLevelError);
    CHECK(gaveUp[0].contexts[0] == platform::Value(why));
    CHECK(APMFileLock::givenUpWaits() ==
          std::vector<APMFileLock::GivenUpWait>{{path, "the engine's settings", why}});

    // The process waits for that holder no more: a later lock of the same
    // file only tries, until a try takes it.
    APMFileLock later(path);
    CHECK_FALSE(later.lockOrGiveUp(Kind::exclusive, "the engine's settings", &why));
    CHECK(why == path + " is still locked by " + held + ", for which this process waited in vain before");
    CHECK(capture.count(kAPMFileLockWaitingCode) == 1);
    CHECK(APMFileLock::givenUpWaits().size() == 1);
    holder.resume();
    holder.letGo();
    CHECK(later.lockOrGiveUp(Kind::exclusive, "the engine's settings", &why));
    later.unlock();
    {
        // A try that took it ends that: the next holder is waited for again.
        testsupport::FileLockHolder next(path, false);
        next.stop();
        APMFileLock again(path);
        CHECK_FALSE(again.lockOrGiveUp(Kind::exclusive, "the engine's settings", &why));
        CHECK(why == path + " stayed locked by process " + std::to_string(next.pid()) + " (stopped) for 0.1 s");
        CHECK(capture.count(kAPMFileLockWaitingCode) == 2);
        next.resume();
    }

    // A lock file that cannot be opened is said so, without a wait.
    std::filesystem::create_directories(dir / "folder.lock");
    APMFileLock folder((dir / "folder.lock").string());
    CHECK_FALSE(folder.lockOrGiveUp(Kind::shared, "the database", &why));
    CHECK(why == "its lock file " + (dir / "folder.lock").string() + " cannot be locked: Is a directory");
    CHECK(capture.count(kAPMFileLockWaitingCode) == 2);
    APMFileLock::forgetGivenUpWaits();
}
