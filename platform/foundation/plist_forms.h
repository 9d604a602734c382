// What the XML and binary property-list forms share: text kept as valid
// UTF-8, and dates as the format holds them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace platform::plist_forms {

// Property-list dates count from 2001-01-01; ours count from 1970.
inline constexpr double kReferenceDateOffset = 978307200.0;

// Whether the text is valid UTF-8 throughout.
bool isValidUTF8(std::string_view text);
// The text with every byte that does not begin a valid UTF-8 sequence
// replaced by U+FFFD, so that whatever is written reads back (the library
// writes other text as an empty string that its own reader refuses, losing
// the whole file).
std::string validUTF8(std::string_view text);
// Appends the code point as UTF-8.
void appendUTF8(std::string& out, std::uint32_t codePoint);

// A date as whole seconds and microseconds since 2001, within what the
// format holds: the seconds fit 32 bits, and the latest second keeps its
// fraction. A fraction that rounds up to a whole second carries into the
// seconds; NaN is 2001 itself.
struct DateParts {
    std::int32_t seconds = 0;
    std::int32_t microseconds = 0;
};
DateParts datePartsSince2001(const Date& date);

}  // namespace platform::plist_forms
