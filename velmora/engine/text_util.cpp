#include "velmora/engine/text_util.h"

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

std::vector<std::string> graphemes(const std::string& text) {
    std::vector<std::string> out;
    if (text.empty()) return out;
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !it) {
        // Without break rules fall back to code points, which is what the
        // grapheme split gives for the keypad's characters anyway.
        for (int32_t i = 0; i < u.length();) {
            int32_t next = u.moveIndex32(i, 1);
            std::string piece;
            u.tempSubStringBetween(i, next).toUTF8String(piece);
            out.push_back(piece);
            i = next;
        }
        return out;
    }
    it->setText(u);
    int32_t start = it->first();
    for (int32_t end = it->next(); end != icu::BreakIterator::DONE; start = end, end = it->next()) {
        std::string piece;
        u.tempSubStringBetween(start, end).toUTF8String(piece);
        out.push_back(piece);
    }
    return out;
}

}  // namespace velmora::text
