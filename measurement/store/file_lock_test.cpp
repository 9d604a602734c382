// Tests of the file lock: which holders exclude which, waiting, and paths it refuses.
#include <doctest/doctest.h>

#include <filesystem>
#include <thread>

#include "measurement/store/file_lock.h"
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
