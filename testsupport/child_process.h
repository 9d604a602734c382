#pragma once

// Starting a program as a child of a test, and waiting for it within a limit.

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// "NAME=value" entries first (so they win over inherited ones), then the
// environment this test executable started with, without the entries whose name starts with
// droppedPrefix (none dropped when it is empty).
std::vector<std::string> environmentWith(const std::vector<std::string>& added, const std::string& droppedPrefix = "");

// Starts argv[0] with the arguments and environment; its standard output
// and error go to the given descriptors (which the caller still owns).
// Fails the test when the program cannot be started.
pid_t spawnChild(const std::vector<std::string>& argv, const std::vector<std::string>& environment, int out, int err);
// The same, its standard input read from `in`.
pid_t spawnChild(const std::vector<std::string>& argv, const std::vector<std::string>& environment, int in, int out,
                 int err);

// Forks `count` children that start together: each waits until every one
// is forked, then exits with what body(its index) answers. Answers their
// process numbers, for waitForChild.
std::vector<pid_t> forkTogether(int count, const std::function<int(int)>& body);

// The child's exit status (128 + signal when a signal ended it); a child
// still running at the limit is killed, and the status is -1.
int waitForChild(pid_t pid, double timeoutSeconds);

// Another process holding an advisory lock (flock) on a file, made when
// missing: a forked child that takes the lock, says so on a pipe (which the
// constructor waits for) and keeps it until it is told to let go, stopped
// or killed. It is killed with the holder.
class FileLockHolder {
public:
    FileLockHolder(const std::string& path, bool exclusive);
    ~FileLockHolder();
    FileLockHolder(const FileLockHolder&) = delete;
    FileLockHolder& operator=(const FileLockHolder&) = delete;

    pid_t pid() const { return pid_; }
    // The child stops (as SIGSTOP does), keeping the lock; continue() goes on.
    void stop();
    void resume();
    // The child lets go of the lock and ends; returns once it has.
    void letGo();
    // The write end of the pipe whose byte makes the child let go: for a
    // test that must let go from a callback without waiting.
    int releaseDescriptor() const { return release_; }

private:
    pid_t pid_ = -1;
    int release_ = -1;
    bool ended_ = false;
};

}  // namespace testsupport
