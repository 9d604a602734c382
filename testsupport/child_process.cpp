// Child processes of the tests: posix_spawn with redirected output, and a
// bounded wait on a process descriptor.
#include "testsupport/child_process.h"

#include <doctest/doctest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "testsupport/test_environment.h"

namespace testsupport {

namespace {

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (auto& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

std::vector<std::string> environmentWith(const std::vector<std::string>& added, const std::string& droppedPrefix) {
    std::vector<std::string> environment(added);
    for (const auto& text : environmentAtStart()) {
        if (!droppedPrefix.empty() && text.rfind(droppedPrefix, 0) == 0) continue;
        environment.push_back(text);
    }
    return environment;
}

pid_t spawnChild(const std::vector<std::string>& argv, const std::vector<std::string>& environment, int out, int err) {
    return spawnChild(argv, environment, STDIN_FILENO, out, err);
}

pid_t spawnChild(const std::vector<std::string>& argv, const std::vector<std::string>& environment, int in, int out,
                 int err) {
    REQUIRE(!argv.empty());
    std::vector<std::string> arguments(argv);
    std::vector<std::string> variables(environment);
    auto argvPointers = pointersTo(arguments);
    auto envPointers = pointersTo(variables);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in != STDIN_FILENO) posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, argvPointers.data(), envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    REQUIRE_MESSAGE(rc == 0, "cannot start " << argv[0] << ": " << std::strerror(rc));
    return pid;
}

std::vector<pid_t> forkTogether(int count, const std::function<int(int)>& body) {
    int go[2];
    REQUIRE(::pipe(go) == 0);
    std::vector<pid_t> children;
    for (int i = 0; i < count; ++i) {
        const pid_t child = ::fork();
        REQUIRE(child >= 0);
        if (child == 0) {
            ::close(go[1]);
            char byte = 0;
            if (::read(go[0], &byte, 1) != 0) ::_exit(2);  // the end of the pipe: all are there
            ::_exit(body(i));
        }
        children.push_back(child);
    }
    ::close(go[0]);
    ::close(go[1]);
    return children;
}

int waitForChild(pid_t pid, double timeoutSeconds) {
    // A descriptor that becomes readable when the process ends.
    const int descriptor = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    REQUIRE(descriptor >= 0);
    pollfd exited{descriptor, POLLIN, 0};
    const int ready = poll(&exited, 1, static_cast<int>(timeoutSeconds * 1000));
    close(descriptor);
    if (ready <= 0) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    if (ready <= 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

FileLockHolder::FileLockHolder(const std::string& path, bool exclusive) {
    int ready[2], release[2];
    REQUIRE(::pipe2(ready, O_CLOEXEC) == 0);
    REQUIRE(::pipe2(release, O_CLOEXEC) == 0);
    pid_ = ::fork();
    REQUIRE(pid_ >= 0);
    if (pid_ == 0) {
        // Only calls that are safe after a fork of a process with threads.
        const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 || ::flock(fd, exclusive ? LOCK_EX : LOCK_SH) != 0) ::_exit(3);
        if (::write(ready[1], "l", 1) != 1) ::_exit(4);
        char byte = 0;
        while (::read(release[0], &byte, 1) < 0 && errno == EINTR) {
        }
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    release_ = release[1];
    char byte = 0;
    ssize_t got;
    do {
        got = ::read(ready[0], &byte, 1);
    } while (got < 0 && errno == EINTR);
    ::close(ready[0]);
    REQUIRE_MESSAGE(got == 1, "the child could not lock " << path);
}

FileLockHolder::~FileLockHolder() {
    if (!ended_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    ::close(release_);
}

void FileLockHolder::stop() {
    ::kill(pid_, SIGSTOP);
    int status = 0;
    REQUIRE(::waitpid(pid_, &status, WUNTRACED) == pid_);
    REQUIRE(WIFSTOPPED(status));
}

void FileLockHolder::resume() { ::kill(pid_, SIGCONT); }

void FileLockHolder::letGo() {
    REQUIRE(::write(release_, "g", 1) == 1);
    int status = 0;
    REQUIRE(::waitpid(pid_, &status, 0) == pid_);
    ended_ = true;
    CHECK((WIFEXITED(status) && WEXITSTATUS(status) == 0));
}

}  // namespace testsupport
