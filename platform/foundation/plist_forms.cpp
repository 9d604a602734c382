// Text and dates as both property-list forms keep them.
#include "platform/foundation/plist_forms.h"

#include <algorithm>
#include <cmath>

namespace platform::plist_forms {

namespace {

// The length of the valid UTF-8 sequence at the start of the text; 0 when
// it does not start with one.
std::size_t validSequence(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    }
    if (length == 0 || text.size() < length) return 0;
    if (byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    }
    return length;
}

}  // namespace

bool isValidUTF8(std::string_view text) {
    while (!text.empty()) {
        const std::size_t length = validSequence(text);
        if (length == 0) return false;
        text.remove_prefix(length);
    }
    return true;
}

std::string validUTF8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const std::size_t length = validSequence(text);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            text.remove_prefix(1);
        } else {
            out.append(text.substr(0, length));
            text.remove_prefix(length);
        }
    }
    return out;
}

void appendUTF8(std::string& out, std::uint32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

DateParts datePartsSince2001(const Date& date) {
    constexpr double kEarliest = -2147483648.0;
    constexpr double kLatest = 2147483647.0;
    // Up to the last microsecond of the latest second.
    constexpr double kLatestFraction = 0.9999995;
    const double since2001 = date.secondsSince1970 - kReferenceDateOffset;
    const double clamped =
        std::isnan(since2001) ? 0.0 : std::clamp(since2001, kEarliest, kLatest + kLatestFraction);
    double whole = std::floor(clamped);
    long usec = std::lround((clamped - whole) * 1e6);
    if (usec >= 1000000) {
        usec = whole < kLatest ? 0 : 999999;
        whole = std::min(whole + 1, kLatest);
    }
    return {static_cast<std::int32_t>(whole), static_cast<std::int32_t>(usec)};
}

std::optional<std::string> readBinaryTrailer(const unsigned char* data, std::size_t size, BinaryTrailer& trailer) {
    if (size < kBinaryMagic.size() + kBinaryTrailerSize) return "binary property list too short";
    const unsigned char* bytes = data + size - kBinaryTrailerSize;
    trailer.offsetWidth = bytes[6];
    trailer.referenceWidth = bytes[7];
    trailer.objectCount = bigEndian(bytes + 8, 8);
    trailer.topObject = bigEndian(bytes + 16, 8);
    trailer.offsetTable = bigEndian(bytes + 24, 8);
    trailer.end = size - kBinaryTrailerSize;
    if (trailer.offsetWidth < 1 || trailer.offsetWidth > 8 || trailer.referenceWidth < 1 || trailer.referenceWidth > 8) {
        return "binary property list with invalid integer sizes";
    }
    if (trailer.topObject >= trailer.objectCount) return "binary property list without its top object";
    if (trailer.offsetTable < kBinaryMagic.size() || trailer.offsetTable > trailer.end ||
        trailer.objectCount > (trailer.end - trailer.offsetTable) / trailer.offsetWidth) {
        return "binary property list whose offset table lies outside the file";
    }
    return std::nullopt;
}

}  // namespace platform::plist_forms
