// Test files written and read back whole.
#include "testsupport/file_text.h"

#include <fstream>
#include <random>
#include <sstream>

namespace testsupport {

void writeText(const std::filesystem::path& path, const std::string& text) {
    std::error_code ignored;
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ignored);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool overwriteBytes(const std::filesystem::path& path, std::size_t offset, const std::string& bytes) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return file.good();
}

std::string seededBytes(std::uint32_t seed, std::size_t count) {
    std::mt19937 random(seed);
    std::string bytes;
    for (std::size_t i = 0; i < count; ++i) bytes += static_cast<char>(random() & 0xff);
    return bytes;
}

}  // namespace testsupport
