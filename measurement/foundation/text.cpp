// UTF-8 text measured and cut in UTF-16 code units.
#include "measurement/foundation/text.h"

#include <vector>

namespace measurement {

namespace {

// Decodes the character at `pos`; false for malformed UTF-8 (overlong forms,
// surrogates and values beyond U+10FFFF included).
bool decode(std::string_view text, std::size_t pos, char32_t* codePoint, std::size_t* length) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(pos);
    std::size_t n;
    char32_t value;
    if (lead < 0x80) {
        n = 1;
        value = lead;
    } else if ((lead & 0xe0) == 0xc0) {
        n = 2;
        value = lead & 0x1f;
    } else if ((lead & 0xf0) == 0xe0) {
        n = 3;
        value = lead & 0x0f;
    } else if ((lead & 0xf8) == 0xf0) {
        n = 4;
        value = lead & 0x07;
    } else {
        return false;
    }
    if (pos + n > text.size()) return false;
    for (std::size_t i = 1; i < n; ++i) {
        if ((byte(pos + i) & 0xc0) != 0x80) return false;
        value = (value << 6) | (byte(pos + i) & 0x3f);
    }
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[n] || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff)) return false;
    *codePoint = value;
    *length = n;
    return true;
}

// Length of the sequence that starts with this byte, for text that may be
// malformed: a stray byte counts as one unit, so that every text advances.
std::size_t sequenceLength(const std::string& text, std::size_t pos) {
    char32_t codePoint;
    std::size_t length;
    return decode(text, pos, &codePoint, &length) ? length : 1;
}

std::size_t unitsOf(std::size_t sequence) { return sequence == 4 ? 2 : 1; }

}  // namespace

std::size_t APMUTF16Length(const std::string& text) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = sequenceLength(text, i);
        units += unitsOf(length);
        i += length;
    }
    return units;
}

std::string APMTruncatedToUTF16Length(const std::string& text, std::size_t maxUnits) {
    std::size_t units = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t length = sequenceLength(text, i);
        if (units + unitsOf(length) > maxUnits) break;
        units += unitsOf(length);
        i += length;
    }
    return text.substr(0, i);
}

std::optional<char16_t> APMUTF16UnitAt(const std::string& text, std::size_t index) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < text.size();) {
        char32_t codePoint;
        std::size_t length;
        if (!decode(text, i, &codePoint, &length)) return std::nullopt;
        if (codePoint < 0x10000) {
            if (units == index) return static_cast<char16_t>(codePoint);
            ++units;
        } else {
            char32_t v = codePoint - 0x10000;
            if (units == index) return static_cast<char16_t>(0xd800 + (v >> 10));
            if (units + 1 == index) return static_cast<char16_t>(0xdc00 + (v & 0x3ff));
            units += 2;
        }
        i += length;
    }
    return std::nullopt;
}

bool APMIsValidUTF8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        char32_t codePoint;
        std::size_t length;
        if (!decode(text, i, &codePoint, &length)) return false;
        i += length;
    }
    return true;
}

}  // namespace measurement
