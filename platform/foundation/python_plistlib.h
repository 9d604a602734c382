// Python's plistlib as a reader of our property lists, for the tests.
#pragma once

#include <optional>
#include <string>

namespace platform::testing {

// The document as plistlib reads it and writes it again in the binary form;
// none when /usr/bin/python3 with plistlib is not installed or could not
// read it.
std::optional<std::string> throughPythonPlistlib(const std::string& bytes);

// Said where a test skips its plistlib check.
inline constexpr const char* kNoPythonPlistlib = "skipped: /usr/bin/python3 with plistlib is not installed";

// Whether /usr/bin/python3 can import plistlib.
bool pythonPlistlibInstalled();

}  // namespace platform::testing
