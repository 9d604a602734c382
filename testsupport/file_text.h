#pragma once

// Whole files written and read back by the tests, byte for byte.

#include <filesystem>
#include <string>

namespace testsupport {

// Replaces the file with the text, making its folder first when missing.
void writeText(const std::filesystem::path& path, const std::string& text);

// The file's bytes; empty when it cannot be read.
std::string readText(const std::filesystem::path& path);

}  // namespace testsupport
