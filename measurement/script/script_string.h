#pragma once

// Script strings in UTF-16 code units.

#include <string>
#include <string_view>

namespace measurement {

// Script text is a sequence of UTF-16 code units: lengths, indices and
// positions count code units, as scripts expect.
std::u16string utf16FromUTF8(std::string_view text);
std::string utf8FromUTF16(std::u16string_view text);

// White space and line breaks (Unicode space separators, line and
// paragraph separators, U+0009 to U+000D and U+0085).
bool isWhitespaceOrNewline(char16_t c);
std::u16string_view trimWhitespaceAndNewlines(std::u16string_view text);

// The number's string form: "NaN", "Infinity", "-Infinity", "0" for both
// zeros, plain decimal notation with the shortest round-trip digits for
// 1e-6 <= |x| < 1e21 and scientific notation ("1e+21", "1.5e-7") outside.
std::u16string formatScriptNumber(double value);

// The string's number form: trimmed; empty gives 0; exactly "NaN",
// "Infinity", "-Infinity" give those; otherwise a decimal floating-point
// number that must cover the whole trimmed text, else NaN.
double parseScriptNumber(std::u16string_view text);

}  // namespace measurement
