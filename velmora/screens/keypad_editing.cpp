// The keypad's text rules: insertion at the cursor, the minus toggle, deletion.
#include "velmora/screens/keypad_editing.h"

#include <algorithm>

#include "platform/gfx/utf8_text.h"

namespace velmora {

namespace {

using platform::gfx::decodeUTF8;
using platform::gfx::encodeUTF8;

// The selection held to the text, start not after end.
std::pair<std::size_t, std::size_t> clampedRange(const std::u32string& chars, int start, int end) {
    auto limit = static_cast<int>(chars.size());
    int s = std::clamp(start, 0, limit);
    int e = std::clamp(end, 0, limit);
    if (e < s) std::swap(s, e);
    return {static_cast<std::size_t>(s), static_cast<std::size_t>(e)};
}

KeypadEdit toggleSign(std::u32string chars, std::size_t cursor) {
    auto ahead = std::count(chars.begin(), chars.begin() + static_cast<std::ptrdiff_t>(cursor), U'-');
    if (std::find(chars.begin(), chars.end(), U'-') == chars.end()) {
        chars.insert(chars.begin(), U'-');
        return {encodeUTF8(chars), static_cast<int>(cursor) + 1};
    }
    std::erase(chars, U'-');
    return {encodeUTF8(chars), static_cast<int>(cursor) - static_cast<int>(ahead)};
}

}  // namespace

KeypadEdit keypadInsertion(const std::string& text, int selectionStart, int selectionEnd, const std::string& key) {
    auto chars = decodeUTF8(text);
    auto [start, end] = clampedRange(chars, selectionStart, selectionEnd);
    chars.erase(start, end - start);
    if (key == "-") return toggleSign(std::move(chars), start);
    auto inserted = decodeUTF8(key);
    chars.insert(start, inserted);
    return {encodeUTF8(chars), static_cast<int>(start + inserted.size())};
}

std::optional<KeypadEdit> keypadDeletion(const std::string& text, int selectionStart, int selectionEnd) {
    auto chars = decodeUTF8(text);
    if (chars.empty()) return std::nullopt;
    auto [start, end] = clampedRange(chars, selectionStart, selectionEnd);
    if (start == end) {
        if (start == 0) return std::nullopt;
        chars.erase(start - 1, 1);
        return KeypadEdit{encodeUTF8(chars), static_cast<int>(start) - 1};
    }
    chars.erase(start, end - start);
    return KeypadEdit{encodeUTF8(chars), static_cast<int>(start)};
}

}  // namespace velmora
