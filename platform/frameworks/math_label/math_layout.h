#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/frameworks/math_label/math_list.h"
#include "platform/gfx/color.h"

namespace platform::math {

// The typeset formula: glyphs and rules placed around a baseline. x grows to
// the right from the box's left edge; y grows downwards from the baseline
// (so a raised glyph has a negative y).
struct GlyphRun {
    std::string text;
    double x = 0;
    double y = 0;     // baseline
    double size = 0;  // font size
    bool italic = false;
    std::optional<gfx::Color> color;
    double width = 0;  // the advance the layout gave the glyph; it is drawn centred in it
};

struct RuleLine {
    double x = 0;
    double y = 0;  // centre of the line
    double width = 0;
    double thickness = 0;
    std::optional<gfx::Color> color;
};

struct MathBox {
    double width = 0;
    double ascent = 0;
    double descent = 0;
    std::vector<GlyphRun> glyphs;
    std::vector<RuleLine> rules;

    double height() const { return ascent + descent; }
};

// Lays a formula out at a font size, in display style (a fraction's parts at
// full size) or text style (a fraction's parts at script size). Metrics are
// a small box model of our own: per-glyph widths and heights in em, TeX's
// spacing between atom classes, fractions about the math axis, scripts
// raised and lowered at 70 % and 50 % size, delimiters grown to their content.
MathBox layoutMath(const MathList& list, double fontSize, bool displayStyle);

}  // namespace platform::math
