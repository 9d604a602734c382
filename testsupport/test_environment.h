#pragma once

// The environment a test executable started with, as its main recorded it:
// what a child run of the executable reads its settings from, and what the
// child processes of a test inherit.

#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// Called once by the test main, before any test runs.
void recordEnvironment(const char* const* environment);

// "NAME=value" entries, in the order the executable was given them.
const std::vector<std::string>& environmentAtStart();
// The value of one variable at the start; none when it was not set.
std::optional<std::string> variableAtStart(const std::string& name);

}  // namespace testsupport
