#pragma once

// UTF-8 text measured in UTF-16 code units, as the platform counts.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace measurement {

// Text is UTF-8; lengths and positions are counted in UTF-16 code units, as
// the platform counts them.
std::size_t APMUTF16Length(const std::string& text);
// The longest prefix of at most maxUnits UTF-16 code units that does not
// split a character.
std::string APMTruncatedToUTF16Length(const std::string& text, std::size_t maxUnits);
// The UTF-16 code unit at the index; none outside the text or for text that
// is not valid UTF-8.
std::optional<char16_t> APMUTF16UnitAt(const std::string& text, std::size_t index);
// Checked where the bytes lie: no copy is made.
bool APMIsValidUTF8(std::string_view text);

}  // namespace measurement
