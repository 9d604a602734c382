#include "platform/gfx/font.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "platform/gfx/utf8_text.h"

namespace platform::gfx {

namespace {

struct FontEntry {
    const char* name;
    const char* family;
    FontWeight weight;
    double widthFactor;  // relative to the average advance of the table below
    double lineFactor;   // line height per point of size
};

constexpr std::array<FontEntry, 27> knownFonts{{
    {"System", "System", FontWeight::regular, 1.0, 1.19},
    {"Avenir-Light", "Avenir", FontWeight::light, 0.98, 1.37},
    {"Avenir-Book", "Avenir", FontWeight::regular, 1.0, 1.37},
    {"Avenir-Roman", "Avenir", FontWeight::regular, 1.01, 1.37},
    {"Avenir-Medium", "Avenir", FontWeight::medium, 1.03, 1.37},
    {"Avenir-Heavy", "Avenir", FontWeight::heavy, 1.07, 1.37},
    {"Avenir-Black", "Avenir", FontWeight::black, 1.1, 1.37},
    {"Avenir-BookOblique", "Avenir", FontWeight::regular, 1.0, 1.37},
    {"Avenir-MediumOblique", "Avenir", FontWeight::medium, 1.03, 1.37},
    {"Avenir-HeavyOblique", "Avenir", FontWeight::heavy, 1.07, 1.37},
    {"HelveticaNeue", "Helvetica Neue", FontWeight::regular, 1.02, 1.22},
    {"HelveticaNeue-Light", "Helvetica Neue", FontWeight::light, 0.99, 1.22},
    {"HelveticaNeue-Medium", "Helvetica Neue", FontWeight::medium, 1.04, 1.22},
    {"HelveticaNeue-Bold", "Helvetica Neue", FontWeight::bold, 1.08, 1.22},
    {"HelveticaNeue-Italic", "Helvetica Neue", FontWeight::regular, 1.02, 1.22},
    {"Helvetica", "Helvetica", FontWeight::regular, 1.02, 1.15},
    {"Helvetica-Bold", "Helvetica", FontWeight::bold, 1.08, 1.15},
    {"Arial", "Arial", FontWeight::regular, 1.02, 1.15},
    {"Arial-BoldMT", "Arial", FontWeight::bold, 1.08, 1.15},
    {"Menlo-Regular", "Menlo", FontWeight::regular, 1.12, 1.16},
    {"Menlo-Bold", "Menlo", FontWeight::bold, 1.12, 1.16},
    {"Courier", "Courier", FontWeight::regular, 1.12, 1.13},
    {"Courier-Bold", "Courier", FontWeight::bold, 1.12, 1.13},
    {"Georgia", "Georgia", FontWeight::regular, 1.05, 1.14},
    {"Georgia-Bold", "Georgia", FontWeight::bold, 1.12, 1.14},
    {"TimesNewRomanPSMT", "Times New Roman", FontWeight::regular, 0.93, 1.15},
    {"TimesNewRomanPS-BoldMT", "Times New Roman", FontWeight::bold, 0.99, 1.15},
}};

const FontEntry* findFont(const std::string& name) {
    for (const auto& entry : knownFonts) {
        if (name == entry.name) return &entry;
    }
    return nullptr;
}

// Advance of one code point, as a fraction of the point size.
double advance(char32_t c) {
    if (c == ' ') return 0.28;
    if (c < 0x80) {
        switch (c) {
            case 'i': case 'l': case 'j': case '.': case ',': case '\'': case '!': case '|': case ':': case ';':
                return 0.26;
            case 'f': case 't': case 'r': case '(': case ')': case '[': case ']': case '-': case '/':
                return 0.36;
            case 'm': case 'w': case 'M': case 'W': case '%': case '@':
                return 0.86;
            default: break;
        }
        if (c >= '0' && c <= '9') return 0.56;
        if (c >= 'A' && c <= 'Z') return 0.66;
        return 0.52;
    }
    if (c >= 0x2E80) return 1.0;  // ideographs and full-width forms
    return 0.6;
}

double weightFactor(FontWeight weight) {
    switch (weight) {
        case FontWeight::light: return 0.98;
        case FontWeight::regular: return 1.0;
        case FontWeight::medium: return 1.03;
        case FontWeight::semibold: return 1.05;
        case FontWeight::bold: return 1.08;
        case FontWeight::heavy: return 1.08;
        case FontWeight::black: return 1.1;
    }
    return 1.0;
}

}  // namespace

Font::Font(std::string name, std::string family, double size, FontWeight weight, double widthFactor, double lineFactor)
    : name_(std::move(name)), family_(std::move(family)), size_(size), weight_(weight), widthFactor_(widthFactor),
      lineFactor_(lineFactor) {}

std::optional<Font> Font::named(const std::string& name, double size) {
    const FontEntry* entry = findFont(name);
    if (!entry || !(size > 0)) return std::nullopt;
    if (entry->family == std::string("System")) return system(size);
    return Font(entry->name, entry->family, size, entry->weight, entry->widthFactor, entry->lineFactor);
}

bool Font::isKnownName(const std::string& name) { return findFont(name) != nullptr; }

Font Font::system(double size, FontWeight weight) {
    if (!(size > 0)) size = 17;
    return Font("System", "System", size, weight, weightFactor(weight), 1.19);
}

Font Font::boldSystem(double size) { return system(size, FontWeight::bold); }

Font Font::preferred(TextStyle style) {
    switch (style) {
        case TextStyle::largeTitle: return system(34);
        case TextStyle::title1: return system(28);
        case TextStyle::title2: return system(22);
        case TextStyle::title3: return system(20);
        case TextStyle::headline: return system(17, FontWeight::semibold);
        case TextStyle::body: return system(17);
        case TextStyle::callout: return system(16);
        case TextStyle::subheadline: return system(15);
        case TextStyle::footnote: return system(13);
        case TextStyle::caption1: return system(12);
        case TextStyle::caption2: return system(11);
    }
    return system(17);
}

Font Font::withSize(double size) const {
    Font f = *this;
    if (size > 0) f.size_ = size;
    return f;
}

double Font::ascender() const { return size_ * lineFactor_ * 0.78; }
double Font::descender() const { return -size_ * lineFactor_ * 0.22; }
double Font::lineHeight() const { return size_ * lineFactor_; }
double Font::capHeight() const { return size_ * 0.7; }

double Font::widthOf(const std::string& text) const {
    double sum = 0;
    for (char32_t c : decodeUTF8(text)) sum += advance(c);
    return sum * size_ * widthFactor_;
}

Size Font::measure(const std::string& text) const {
    if (text.empty()) return {0, 0};
    double width = 0;
    int lines = 0;
    for (const auto& line : splitLines(text)) {
        width = std::max(width, widthOf(line));
        ++lines;
    }
    return {std::ceil(width), std::ceil(lines * lineHeight())};
}

Size Font::measure(const std::string& text, double width, int maxLines) const {
    if (text.empty()) return {0, 0};
    if (!(width > 0)) return measure(text);
    std::vector<std::string> lines;
    for (const auto& paragraph : splitLines(text)) {
        std::string current;
        for (const auto& word : splitWords(paragraph)) {
            std::string candidate = current.empty() ? word : current + " " + word;
            if (!current.empty() && widthOf(candidate) > width) {
                lines.push_back(current);
                current = word;
            } else {
                current = candidate;
            }
        }
        lines.push_back(current);
    }
    if (maxLines > 0 && static_cast<int>(lines.size()) > maxLines) lines.resize(static_cast<std::size_t>(maxLines));
    double widest = 0;
    for (const auto& line : lines) widest = std::max(widest, std::min(width, widthOf(line)));
    return {std::ceil(widest), std::ceil(static_cast<double>(lines.size()) * lineHeight())};
}

std::string Font::description() const { return name_ + " " + formatNumber(size_); }

}  // namespace platform::gfx
