// Running programs and work as a user the system holds to files' modes, where the tests run as root.
#include "testsupport/other_user.h"

#include <doctest/doctest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>

#include "testsupport/child_process.h"
#include "testsupport/file_text.h"
#include "testsupport/temp_dir.h"

namespace testsupport {

namespace {

namespace fs = std::filesystem;

constexpr const char* kSetpriv = "/usr/bin/setpriv";
// The status a child that could not switch users ends with.
constexpr int kCannotSwitch = 125;
constexpr int kMillisecondsPerSecond = 1000;

bool switchToOtherUser() {
    return ::setgroups(0, nullptr) == 0 && ::setresgid(kOtherUser, kOtherUser, kOtherUser) == 0 &&
           ::setresuid(kOtherUser, kOtherUser, kOtherUser) == 0;
}

void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return;
        done += static_cast<std::size_t>(wrote);
    }
}

// What the child writes until it closes the pipe, or the limit passes
// (false then).
bool readUntilClosed(int fd, double limitSeconds, std::string* text) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long long>(limitSeconds * kMillisecondsPerSecond));
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd readable{fd, POLLIN, 0};
        const int ready = ::poll(&readable, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return true;
        text->append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace

void giveToOtherUser(const fs::path& folder) {
    REQUIRE(::lchown(folder.c_str(), kOtherUser, kOtherUser) == 0);
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        REQUIRE(::lchown(entry.path().c_str(), kOtherUser, kOtherUser) == 0);
    }
}

void openToOtherUsers(const fs::path& folder) {
    fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
}

fs::path programsForOtherUsers(const fs::path& built, const std::vector<std::string>& names) {
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<TempDir>> made;
    std::lock_guard lock(mutex);
    std::string key = built.string();
    for (const auto& name : names) key += "\n" + name;
    auto& folder = made[key];
    if (!folder) {
        folder = std::make_unique<TempDir>();
        openToOtherUsers(folder->path());
        for (const auto& name : names) {
            std::error_code linked;
            fs::create_hard_link(built / name, folder->path() / name, linked);
            if (linked) fs::copy_file(built / name, folder->path() / name);
        }
    }
    return folder->path();
}

std::optional<OtherUserRun> runAsOtherUser(const std::vector<std::string>& argv, const std::vector<std::string>& variables,
                                           const fs::path& logs, const std::string& tag, double limitSeconds,
                                           std::string* why, const std::string& droppedPrefix) {
    if (::geteuid() != 0) {
        *why = "the tests do not run as root, and cannot run a program as another user";
        return std::nullopt;
    }
    if (::access(kSetpriv, X_OK) != 0) {
        *why = std::string(kSetpriv) + " is not installed";
        return std::nullopt;
    }
    std::vector<std::string> command{kSetpriv, "--reuid=" + std::to_string(kOtherUser),
                                     "--regid=" + std::to_string(kOtherUser), "--clear-groups"};
    command.insert(command.end(), argv.begin(), argv.end());
    const fs::path out = logs / (tag + ".out"), err = logs / (tag + ".err");
    const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    REQUIRE((outFd >= 0 && errFd >= 0));
    const pid_t pid = spawnChild(command, environmentWith(variables, droppedPrefix), outFd, errFd);
    ::close(outFd);
    ::close(errFd);
    OtherUserRun run;
    run.status = waitForChild(pid, limitSeconds);
    run.out = readText(out);
    run.err = readText(err);
    return run;
}

std::optional<std::string> inChildHeldToModes(const std::function<std::string()>& work, double limitSeconds,
                                              std::string* why) {
    int ends[2];
    REQUIRE(::pipe2(ends, O_CLOEXEC) == 0);
    const pid_t pid = ::fork();
    REQUIRE(pid >= 0);
    if (pid == 0) {
        ::close(ends[0]);
        if (::geteuid() == 0 && !switchToOtherUser()) ::_exit(kCannotSwitch);
        writeAll(ends[1], work());
        ::_exit(0);
    }
    ::close(ends[1]);
    std::string text;
    const bool ended = readUntilClosed(ends[0], limitSeconds, &text);
    ::close(ends[0]);
    if (!ended) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (ended && WIFEXITED(status) && WEXITSTATUS(status) == 0) return text;
    if (!ended) {
        *why = "the work did not end within its limit";
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == kCannotSwitch) {
        *why = "the child could not switch to user " + std::to_string(kOtherUser);
    } else {
        *why = "the child ended with status " + std::to_string(status);
    }
    return std::nullopt;
}

}  // namespace testsupport
