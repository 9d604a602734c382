#include "velmora/engine/plain_text.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <memory>

namespace velmora::text {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string replaceAll(const std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) return text;
    std::string out;
    std::size_t pos = 0;
    for (;;) {
        std::size_t hit = text.find(from, pos);
        if (hit == std::string::npos) break;
        out.append(text, pos, hit - pos);
        out += to;
        pos = hit + from.size();
    }
    out.append(text, pos, std::string::npos);
    return out;
}

std::vector<std::string> split(const std::string& text, const std::string& separator) {
    std::vector<std::string> pieces;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t hit = separator.empty() ? std::string::npos : text.find(separator, pos);
        std::size_t end = hit == std::string::npos ? text.size() : hit;
        if (end > pos) pieces.push_back(text.substr(pos, end - pos));
        if (hit == std::string::npos) break;
        pos = hit + separator.size();
    }
    return pieces;
}

namespace {

// Building the break rules costs more than splitting a keypad term many
// times over, so each thread keeps one iterator (an iterator is not to be
// shared between threads) together with the text it points into.
struct CharacterBreaks {
    std::unique_ptr<icu::BreakIterator> iterator;  // null when the rules cannot be loaded
    icu::UnicodeString text;
};

CharacterBreaks& characterBreaks() {
    thread_local CharacterBreaks breaks = [] {
        UErrorCode status = U_ZERO_ERROR;
        CharacterBreaks made;
        made.iterator.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status)) made.iterator.reset();
        return made;
    }();
    return breaks;
}

std::string utf8Between(const icu::UnicodeString& text, int32_t start, int32_t end) {
    std::string piece;
    text.tempSubStringBetween(start, end).toUTF8String(piece);
    return piece;
}

}  // namespace

std::vector<std::string> graphemes(const std::string& text) {
    std::vector<std::string> out;
    if (text.empty()) return out;
    CharacterBreaks& breaks = characterBreaks();
    breaks.text = icu::UnicodeString::fromUTF8(text);
    const icu::UnicodeString& u = breaks.text;
    if (!breaks.iterator) {
        // Without break rules fall back to code points, which is what the
        // grapheme split gives for the keypad's characters anyway.
        for (int32_t i = 0; i < u.length();) {
            int32_t next = u.moveIndex32(i, 1);
            out.push_back(utf8Between(u, i, next));
            i = next;
        }
        return out;
    }
    icu::BreakIterator& it = *breaks.iterator;
    it.setText(u);
    int32_t start = it.first();
    for (int32_t end = it.next(); end != icu::BreakIterator::DONE; start = end, end = it.next()) {
        out.push_back(utf8Between(u, start, end));
    }
    return out;
}

}  // namespace velmora::text
