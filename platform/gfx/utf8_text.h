#pragma once

#include <string>
#include <vector>

namespace platform::gfx {

// Code points of a UTF-8 text; a malformed byte counts as one U+FFFD.
std::u32string decodeUTF8(const std::string& text);
std::string encodeUTF8(const std::u32string& text);
std::vector<std::string> splitLines(const std::string& text);
std::vector<std::string> splitWords(const std::string& text);

}  // namespace platform::gfx
