// Escaping text from outside before it reaches the terminal.
#include "platform/foundation/printable_text.h"

namespace platform {

namespace {

void appendHex(std::string& out, unsigned char byte) {
    constexpr const char* kDigits = "0123456789abcdef";
    out += "\\x";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0xf];
}

// The length of the well-formed UTF-8 sequence of two bytes or more that
// starts at `at` (no overlong form, no surrogate, nothing above U+10FFFF);
// 0 when there is none.
std::size_t sequenceLength(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xbf;  // the range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0) low = 0xa0;
        if (lead == 0xed) high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0) low = 0x90;
        if (lead == 0xf4) high = 0x8f;
    } else {
        return 0;
    }
    if (at + length > text.size() || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
    }
    return length;
}

// U+0080 to U+009F: terminals may take them for controls (U+009B starts a
// sequence as ESC [ does).
bool isC1Control(std::string_view text, std::size_t at) {
    return static_cast<unsigned char>(text[at]) == 0xc2 && static_cast<unsigned char>(text[at + 1]) <= 0x9f;
}

std::string escape(std::string_view text, bool wholeText) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80) {
            const std::size_t length = sequenceLength(text, i);
            const bool shown = length > 0 && !isC1Control(text, i);
            for (const std::size_t end = i + (length > 0 ? length : 1); i < end; ++i) {
                if (shown) {
                    out += text[i];
                } else {
                    appendHex(out, static_cast<unsigned char>(text[i]));
                }
            }
            continue;
        }
        ++i;
        if (byte == '\n' && !wholeText) {
            out += '\n';
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\t' && wholeText) {
            out += "\\t";
        } else if (byte == '\\' && wholeText) {
            out += "\\\\";
        } else if (byte < 0x20 || byte == 0x7f) {
            appendHex(out, byte);
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out;
}

}  // namespace

std::string printable(std::string_view text) { return escape(text, true); }

std::string printableBlock(std::string_view block) { return escape(block, false); }

}  // namespace platform
