#pragma once

// Whole files written and read back by the tests, byte for byte.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace testsupport {

// Replaces the file with the text, making its folder first when missing.
void writeText(const std::filesystem::path& path, const std::string& text);

// The file's bytes; empty when it cannot be read.
std::string readText(const std::filesystem::path& path);

// Writes the bytes over the file's own from `offset` on, as damage does;
// false when the file cannot be written.
bool overwriteBytes(const std::filesystem::path& path, std::size_t offset, const std::string& bytes);

// `count` bytes drawn at random from the seed: the same for the same seed.
std::string seededBytes(std::uint32_t seed, std::size_t count);

}  // namespace testsupport
