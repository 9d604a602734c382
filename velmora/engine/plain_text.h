#pragma once

#include <string>
#include <vector>

// Plain text helpers shared by the parser, the formatter and the step
// builders. Every replacement here is literal: no text is ever read as a
// pattern or a format.
namespace velmora::text {

bool contains(const std::string& text, const std::string& part);
bool startsWith(const std::string& text, const std::string& prefix);
bool endsWith(const std::string& text, const std::string& suffix);

// Every occurrence of `from` replaced by `to`, scanning left to right over
// the original text (replacements are not scanned again).
std::string replaceAll(const std::string& text, const std::string& from, const std::string& to);

// Pieces between separators, empty pieces dropped.
std::vector<std::string> split(const std::string& text, const std::string& separator);

// The user-perceived characters (extended grapheme clusters) of UTF-8 text.
std::vector<std::string> graphemes(const std::string& text);

}  // namespace velmora::text
