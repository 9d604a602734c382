// Script strings: UTF-16 text, number forms and parsing.
#include "measurement/script/script_string.h"

#include <unicode/uchar.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

namespace measurement {

std::u16string utf16FromUTF8(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    std::int32_t i = 0;
    while (i < length) {
        // Names and most texts are ASCII: one unit each, no decoding.
        if (bytes[i] < 0x80) {
            out.push_back(static_cast<char16_t>(bytes[i++]));
            continue;
        }
        UChar32 c;
        U8_NEXT_OR_FFFD(bytes, i, length, c);
        if (U_IS_BMP(c)) {
            out.push_back(static_cast<char16_t>(c));
        } else {
            out.push_back(static_cast<char16_t>(U16_LEAD(c)));
            out.push_back(static_cast<char16_t>(U16_TRAIL(c)));
        }
    }
    return out;
}

std::string utf8FromUTF16(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto length = static_cast<std::int32_t>(text.size());
    std::int32_t i = 0;
    while (i < length) {
        if (text[i] < 0x80) {
            out.push_back(static_cast<char>(text[i++]));
            continue;
        }
        UChar32 c;
        U16_NEXT_OR_FFFD(text.data(), i, length, c);
        char buffer[4];
        std::int32_t n = 0;
        U8_APPEND_UNSAFE(reinterpret_cast<std::uint8_t*>(buffer), n, c);
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

bool isWhitespaceOrNewline(char16_t c) {
    if ((c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85) return true;
    if (c < 0x80) return false;
    const auto type = u_charType(c);
    return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

std::u16string_view trimWhitespaceAndNewlines(std::u16string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isWhitespaceOrNewline(text[begin])) ++begin;
    while (end > begin && isWhitespaceOrNewline(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

namespace {

std::u16string widen(std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// Shortest round-trip digits and the decimal exponent of the leading digit.
void shortestDigits(double magnitude, std::string& digits, int& exponent) {
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
    std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    const auto e = text.find('e');
    digits.clear();
    for (char c : text.substr(0, e)) {
        if (c != '.') digits.push_back(c);
    }
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(), exponent);
}

}  // namespace

std::u16string formatScriptNumber(double value) {
    if (std::isnan(value)) return u"NaN";
    if (std::isinf(value)) return value > 0 ? u"Infinity" : u"-Infinity";
    if (value == 0) return u"0";
    std::string digits;
    int exponent = 0;
    shortestDigits(std::fabs(value), digits, exponent);
    std::string out = value < 0 ? "-" : "";
    const auto count = static_cast<int>(digits.size());
    const double magnitude = std::fabs(value);
    if (magnitude >= 1e-6 && magnitude < 1e21) {
        if (exponent < 0) {
            out += "0.";
            out.append(static_cast<std::size_t>(-exponent - 1), '0');
            out += digits;
        } else if (exponent + 1 >= count) {
            out += digits;
            out.append(static_cast<std::size_t>(exponent + 1 - count), '0');
        } else {
            out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
            out += '.';
            out.append(digits, static_cast<std::size_t>(exponent + 1), std::string::npos);
        }
    } else {
        out += digits[0];
        if (count > 1) {
            out += '.';
            out.append(digits, 1, std::string::npos);
        }
        out += exponent < 0 ? "e-" : "e+";
        out += std::to_string(exponent < 0 ? -exponent : exponent);
    }
    return widen(out);
}

namespace {

bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Length of the decimal number at the start of the text, 0 when there is none.
std::size_t scanDecimal(std::u16string_view text) {
    std::size_t i = 0;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) ++i;
    std::size_t mantissaDigits = 0;
    while (i < text.size() && isDigit(text[i])) ++i, ++mantissaDigits;
    if (i < text.size() && text[i] == u'.') {
        ++i;
        while (i < text.size() && isDigit(text[i])) ++i, ++mantissaDigits;
    }
    if (mantissaDigits == 0) return 0;
    if (i < text.size() && (text[i] == u'e' || text[i] == u'E')) {
        std::size_t j = i + 1;
        if (j < text.size() && (text[j] == u'+' || text[j] == u'-')) ++j;
        const std::size_t digitsStart = j;
        while (j < text.size() && isDigit(text[j])) ++j;
        if (j > digitsStart) i = j;
    }
    return i;
}

}  // namespace

double parseScriptNumber(std::u16string_view text) {
    const auto trimmed = trimWhitespaceAndNewlines(text);
    if (trimmed.empty()) return 0;
    if (trimmed == u"NaN") return std::numeric_limits<double>::quiet_NaN();
    if (trimmed == u"Infinity") return std::numeric_limits<double>::infinity();
    if (trimmed == u"-Infinity") return -std::numeric_limits<double>::infinity();
    const std::size_t length = scanDecimal(trimmed);
    if (length == 0 || length != trimmed.size()) return std::numeric_limits<double>::quiet_NaN();
    std::string ascii;
    ascii.reserve(length);
    std::size_t start = 0;
    bool negative = false;
    if (trimmed[0] == u'+' || trimmed[0] == u'-') {
        negative = trimmed[0] == u'-';
        start = 1;
    }
    for (std::size_t i = start; i < length; ++i) ascii.push_back(static_cast<char>(trimmed[i]));
    double value = 0;
    auto result = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
        // from_chars leaves the value alone on overflow and underflow: a
        // negative exponent underflows to 0, anything else overflows.
        const auto marker = ascii.find_first_of("eE");
        const bool tiny = marker != std::string::npos && ascii[marker + 1] == '-';
        value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    }
    return negative ? -value : value;
}

}  // namespace measurement
