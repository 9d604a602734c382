// Test files written and read back whole.
#include "testsupport/file_text.h"

#include <fstream>
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

}  // namespace testsupport
