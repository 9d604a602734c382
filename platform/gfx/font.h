#pragma once

#include <optional>
#include <string>

#include "platform/gfx/geometry.h"

namespace platform::gfx {

enum class FontWeight { light, regular, medium, semibold, bold, heavy, black };

// The text styles of the platform's preferred (dynamic-type) fonts.
enum class TextStyle { largeTitle, title1, title2, title3, headline, body, callout, subheadline, footnote, caption1, caption2 };

// A font by name and size. There are no glyphs here: sizes of texts are an
// estimate from per-character advance widths of the family, the same on
// every run, so layouts and tests are stable.
class Font {
public:
    // A font the platform knows by that name (the Avenir and Helvetica Neue
    // families, Helvetica, Menlo, Courier, Georgia, Arial and the system
    // font "System"); none for an unknown name or a size that is not positive.
    static std::optional<Font> named(const std::string& name, double size);
    static Font system(double size, FontWeight weight = FontWeight::regular);
    static Font boldSystem(double size);
    static Font preferred(TextStyle style);
    static bool isKnownName(const std::string& name);

    const std::string& name() const { return name_; }
    const std::string& familyName() const { return family_; }
    double pointSize() const { return size_; }
    FontWeight weight() const { return weight_; }
    Font withSize(double size) const;

    double ascender() const;
    double descender() const;  // negative, below the baseline
    double lineHeight() const;
    double capHeight() const;

    // One line of text, in points.
    double widthOf(const std::string& text) const;
    Size measure(const std::string& text) const;
    // The text broken into lines at spaces to fit width; lines = 0 means any.
    Size measure(const std::string& text, double width, int lines) const;

    std::string description() const;  // "Avenir-Book 14"
    bool operator==(const Font&) const = default;

private:
    Font(std::string name, std::string family, double size, FontWeight weight, double widthFactor, double lineFactor);

    std::string name_;
    std::string family_;
    double size_ = 17;
    FontWeight weight_ = FontWeight::regular;
    double widthFactor_ = 1;
    double lineFactor_ = 1.2;
};

}  // namespace platform::gfx
