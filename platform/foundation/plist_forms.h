// What the XML and binary property-list forms share: text kept as valid
// UTF-8, dates as the format holds them, and the binary form's frame.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
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

// The binary form begins with its magic and ends with a trailer of 32 bytes.
inline constexpr std::string_view kBinaryMagic = "bplist00";
inline constexpr std::size_t kBinaryTrailerSize = 32;

// A big-endian unsigned integer of `width` bytes (1 to 8). Offsets and
// references are read by the hundred thousand: the usual widths take one
// load each.
inline std::uint64_t bigEndian(const unsigned char* bytes, unsigned width) {
    const auto swapped = [&](auto n) {
        std::memcpy(&n, bytes, sizeof n);
        if constexpr (std::endian::native == std::endian::little) {
            if constexpr (sizeof n == 2) n = __builtin_bswap16(n);
            if constexpr (sizeof n == 4) n = __builtin_bswap32(n);
            if constexpr (sizeof n == 8) n = __builtin_bswap64(n);
        }
        return static_cast<std::uint64_t>(n);
    };
    switch (width) {
        case 1: return bytes[0];
        case 2: return swapped(std::uint16_t{});
        case 4: return swapped(std::uint32_t{});
        case 8: return swapped(std::uint64_t{});
        default: {
            std::uint64_t n = 0;
            for (unsigned i = 0; i < width; ++i) n = (n << 8) | bytes[i];
            return n;
        }
    }
}

// What a binary document's trailer says: the widths of its offsets and
// references, how many objects it holds, the top one, and where the table
// of their offsets begins.
struct BinaryTrailer {
    unsigned offsetWidth = 0;
    unsigned referenceWidth = 0;
    std::uint64_t objectCount = 0;
    std::uint64_t topObject = 0;
    std::uint64_t offsetTable = 0;
    // Where the objects and the offset table end: the trailer's start.
    std::size_t end = 0;
};

// Reads the trailer of a binary document (its magic checked by the caller)
// into `trailer`; what is wrong with it, none when its widths, top object
// and offset table all lie within the document.
std::optional<std::string> readBinaryTrailer(const unsigned char* data, std::size_t size, BinaryTrailer& trailer);

}  // namespace platform::plist_forms
