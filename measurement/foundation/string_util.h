#pragma once

// String helpers: bit flags in text and URL arguments.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace measurement {

// True exactly when 0 <= index < length and the character at the index is
// "1" (positions in UTF-16 code units).
bool isBitEnabledAtIndex(const std::string& text, std::int64_t index);
// The text with "+" as space and percent escapes decoded; none when an
// escape is malformed or the result is not valid UTF-8.
std::optional<std::string> apm_stringByUnescapingFromURLArgument(const std::string& text);
// Splits a query on "&", skips empty parts, splits each part at its first
// "=" (a part without one has the value ""), unescapes key and value, and
// keeps the first occurrence of a repeated key. Parts that do not unescape
// are left out.
std::map<std::string, std::string> apm_dictionaryWithHttpArgumentsString(const std::string& query);

}  // namespace measurement
