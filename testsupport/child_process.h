#pragma once

// Starting a program as a child of a test, and waiting for it within a limit.

#include <sys/types.h>

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

// The child's exit status (128 + signal when a signal ended it); a child
// still running at the limit is killed, and the status is -1.
int waitForChild(pid_t pid, double timeoutSeconds);

}  // namespace testsupport
