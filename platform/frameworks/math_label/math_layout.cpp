#include "platform/frameworks/math_label/math_layout.h"

#include <algorithm>
#include <cmath>

#include "platform/gfx/font.h"
#include "platform/gfx/utf8_text.h"

namespace platform::math {

namespace {

enum class Style { display, text, script, scriptScript };

double scaleOf(Style s) {
    switch (s) {
        case Style::display:
        case Style::text: return 1.0;
        case Style::script: return 0.7;
        case Style::scriptScript: return 0.5;
    }
    return 1.0;
}

Style scriptOf(Style s) { return s == Style::display || s == Style::text ? Style::script : Style::scriptScript; }
Style fractionPartOf(Style s) {
    return s == Style::display ? Style::text : s == Style::text ? Style::script : Style::scriptScript;
}
bool isScript(Style s) { return s == Style::script || s == Style::scriptScript; }

// TeX's atom classes for spacing.
enum class Class { ord = 0, op = 1, bin = 2, rel = 3, open = 4, close = 5, punct = 6, inner = 7, none = 8 };

Class classOf(const MathAtom& a) {
    using K = MathAtom::Kind;
    switch (a.kind) {
        case K::binaryOp: return Class::bin;
        case K::relation: return Class::rel;
        case K::open: return Class::open;
        case K::close: return Class::close;
        case K::punctuation: return Class::punct;
        case K::fraction:
        case K::inner: return Class::inner;
        case K::text: return a.glyph.size() > 1 && std::isalpha(static_cast<unsigned char>(a.glyph[0])) &&
                                     std::islower(static_cast<unsigned char>(a.glyph[0])) && !a.superscript
                                 ? Class::op
                                 : Class::ord;
        case K::space: return Class::none;
        default: return Class::ord;
    }
}

// Spacing in mu (1/18 em) between classes; a negative entry applies only
// outside scripts.
constexpr int spacing[8][8] = {
    // ord  op  bin  rel open close punct inner
    {0, 3, -4, -5, 0, 0, 0, -3},     // ord
    {3, 3, 0, -5, 0, 0, 0, -3},      // op
    {-4, -4, 0, 0, -4, 0, 0, -4},    // bin
    {-5, -5, 0, 0, -5, 0, 0, -5},    // rel
    {0, 0, 0, 0, 0, 0, 0, 0},        // open
    {0, 3, -4, -5, 0, 0, 0, -3},     // close
    {-3, -3, 0, -3, -3, -3, -3, -3}, // punct
    {-3, 3, -4, -5, -3, 0, -3, -3},  // inner
};

double spaceBetween(Class left, Class right, Style style) {
    if (left == Class::none || right == Class::none) return 0;
    int mu = spacing[static_cast<int>(left)][static_cast<int>(right)];
    if (mu < 0) mu = isScript(style) ? 0 : -mu;
    return mu / 18.0;
}

struct Metrics {
    double width, ascent, descent;
};

// Em widths close to the sans-serif face the screens are drawn in, so a
// glyph drawn in its advance is neither squeezed nor left in a wide gap.
Metrics glyphMetrics(const std::string& glyph) {
    auto chars = gfx::decodeUTF8(glyph);
    if (chars.empty()) return {0, 0, 0};
    char32_t c = chars[0];
    if (c >= '0' && c <= '9') return {0.62, 0.73, 0.02};
    if (c >= 'a' && c <= 'z') {
        double w = (c == 'm' || c == 'w') ? 0.9 : (c == 'i' || c == 'j' || c == 'l') ? 0.3
                   : (c == 'f' || c == 't' || c == 'r')                               ? 0.42
                                                                                      : 0.6;
        bool tall = c == 'b' || c == 'd' || c == 'f' || c == 'h' || c == 'k' || c == 'l' || c == 't';
        bool deep = c == 'g' || c == 'j' || c == 'p' || c == 'q' || c == 'y' || c == 'f';
        return {w, tall ? 0.76 : 0.55, deep ? 0.21 : 0.01};
    }
    if (c >= 'A' && c <= 'Z') return {(c == 'M' || c == 'W') ? 0.92 : 0.72, 0.73, 0.0};
    if (c >= 0x0391 && c <= 0x03C9) return {0.58, c < 0x03B1 ? 0.69 : 0.45, (c == 0x03B2 || c == 0x03C1) ? 0.2 : 0.01};
    switch (c) {
        case '(': case ')': case '[': case ']': case '{': case '}': case '|': return {0.39, 0.75, 0.25};
        case ',': case ';': return {0.32, 0.12, 0.19};
        case '.': return {0.32, 0.12, 0.0};
        case ':': return {0.28, 0.43, 0.0};
        case '!': return {0.28, 0.69, 0.0};
        case '/': return {0.5, 0.75, 0.25};
        case '%': return {0.95, 0.75, 0.06};
        case '*': return {0.5, 0.75, 0.0};
        case 0x00B7: return {0.28, 0.31, 0.0};
        case 0x221E: return {1.0, 0.44, 0.01};
        case 0x2026: case 0x22EF: return {1.17, 0.12, 0.0};
        case 0x2032: return {0.28, 0.56, 0.0};
        case '^': case '~': case 0x00AF: case 0x02D9: return {0.5, 0.69, 0.0};
        default: break;
    }
    bool operatorLike = c == '+' || c == '=' || c == '<' || c == '>' || (c >= 0x2190 && c <= 0x22FF) ||
                        c == 0x00B1 || c == 0x00D7 || c == 0x00F7;
    if (operatorLike) return {0.78, 0.58, 0.08};
    return {0.6, 0.68, 0.1};
}

// How far above its baseline an accent glyph's ink begins, in em.
double accentInkBottom(const std::string& glyph) {
    if (glyph == "^") return 0.47;
    if (glyph == "~") return 0.24;
    if (glyph == "\u00AF") return 0.74;
    if (glyph == "\u02D9") return 0.6;
    if (glyph == "\u2192") return 0.14;
    return 0.5;
}

class Layout {
public:
    explicit Layout(double baseSize) : base_(baseSize) {}

    MathBox list(const MathList& atoms, Style style, const std::optional<gfx::Color>& color) {
        MathBox box;
        Class previous = Class::none;
        for (std::size_t i = 0; i < atoms.size(); ++i) {
            const MathAtom& atom = atoms[i];
            Class cls = classOf(atom);
            // a binary operator with no left operand is a sign
            if (cls == Class::bin && (previous == Class::none || previous == Class::bin || previous == Class::rel ||
                                      previous == Class::open || previous == Class::punct || previous == Class::op)) {
                cls = Class::ord;
            }
            if (cls == Class::bin && (i + 1 == atoms.size() || classOf(atoms[i + 1]) == Class::rel ||
                                      classOf(atoms[i + 1]) == Class::close || classOf(atoms[i + 1]) == Class::punct)) {
                cls = Class::ord;
            }
            double size = base_ * scaleOf(style);
            box.width += spaceBetween(previous, cls, style) * size;
            MathBox piece = scripted(atom, style, color);
            append(box, piece, box.width, 0);
            box.width += piece.width;
            if (cls != Class::none) previous = cls;
        }
        return box;
    }

private:
    static void append(MathBox& into, const MathBox& piece, double x, double y) {
        for (GlyphRun g : piece.glyphs) {
            g.x += x;
            g.y += y;
            into.glyphs.push_back(std::move(g));
        }
        for (RuleLine r : piece.rules) {
            r.x += x;
            r.y += y;
            into.rules.push_back(r);
        }
        into.ascent = std::max(into.ascent, piece.ascent - y);
        into.descent = std::max(into.descent, piece.descent + y);
    }

    MathBox glyph(const std::string& text, Style style, const std::optional<gfx::Color>& color, bool italic) {
        double size = base_ * scaleOf(style);
        Metrics m = glyphMetrics(text);
        MathBox box{m.width * size, m.ascent * size, m.descent * size, {}, {}};
        box.glyphs.push_back({text, 0, 0, size, italic, color, box.width});
        return box;
    }

    MathBox roman(const std::string& text, Style style, const std::optional<gfx::Color>& color) {
        double size = base_ * scaleOf(style);
        MathBox box{gfx::Font::system(size).widthOf(text), 0.72 * size, 0.21 * size, {}, {}};
        box.glyphs.push_back({text, 0, 0, size, false, color, box.width});
        return box;
    }

    MathBox delimiter(const std::string& text, double height, double axis, double size,
                      const std::optional<gfx::Color>& color) {
        if (text.empty()) return MathBox{0.12 * size, 0, 0, {}, {}};
        double h = std::max(height, size);
        MathBox box{0.39 * size + 0.08 * (h - size), axis + h / 2, h / 2 - axis, {}, {}};
        // the glyph grows with the content: drawn at a size of the full height
        box.glyphs.push_back({text, 0, h / 2 - axis - 0.25 * h, h, false, color, box.width});
        return box;
    }

    MathBox nucleus(const MathAtom& atom, Style style, const std::optional<gfx::Color>& color) {
        using K = MathAtom::Kind;
        double size = base_ * scaleOf(style);
        switch (atom.kind) {
            case K::space: return MathBox{atom.spaceEm * size, 0, 0, {}, {}};
            case K::group: return atom.first ? list(*atom.first, style, color) : MathBox{};
            case K::color: return atom.first ? list(*atom.first, style, atom.color) : MathBox{};
            case K::text: return roman(atom.glyph, style, color);
            case K::variable: return glyph(atom.glyph, style, color, true);
            case K::fraction: return fraction(atom, style, color);
            case K::inner: {
                MathBox inner = atom.first ? list(*atom.first, style, color) : MathBox{};
                return fenced(inner, atom, size, color);
            }
            case K::accent: {
                MathBox inner = atom.first ? list(*atom.first, style, color) : MathBox{};
                MathBox box = inner;
                double mark = 0.5 * size;
                // The mark's ink starts a little above the content, wherever
                // the glyph carries it above its own baseline.
                box.glyphs.push_back({atom.glyph, std::max(0.0, (inner.width - mark) / 2),
                                      -(inner.ascent + (0.08 - accentInkBottom(atom.glyph)) * size), size, false,
                                      color, mark});
                box.ascent = inner.ascent + 0.36 * size;
                box.width = std::max(inner.width, mark);
                return box;
            }
            case K::radical: {
                MathBox radicand = atom.first ? list(*atom.first, style, color) : MathBox{};
                MathBox box;
                double x = 0;
                if (atom.second) {
                    MathBox degree = list(*atom.second, Style::scriptScript, color);
                    append(box, degree, 0, -(radicand.ascent * 0.6));
                    x = std::max(0.0, degree.width - 0.3 * size);
                }
                MathBox sign = glyph("\u221A", style, color, false);
                sign.ascent = radicand.ascent + 0.16 * size;
                sign.descent = radicand.descent + 0.05 * size;
                append(box, sign, x, 0);
                x += 0.8 * size;
                append(box, radicand, x, 0);
                box.rules.push_back({x, -(radicand.ascent + 0.12 * size), radicand.width, 0.04 * size, color});
                box.ascent = std::max(box.ascent, radicand.ascent + 0.16 * size);
                box.width = x + radicand.width + 0.05 * size;
                return box;
            }
            default: return glyph(atom.glyph, style, color, false);
        }
    }

    MathBox fraction(const MathAtom& atom, Style style, const std::optional<gfx::Color>& color) {
        double size = base_ * scaleOf(style);
        double axis = 0.25 * size, rule = atom.hasRule ? 0.04 * size : 0;
        double gap = (style == Style::display ? 3 : 1) * 0.04 * size;
        Style part = fractionPartOf(style);
        MathBox num = atom.first ? list(*atom.first, part, color) : MathBox{};
        MathBox den = atom.second ? list(*atom.second, part, color) : MathBox{};
        double pad = 0.12 * size;
        double width = std::max(num.width, den.width) + 2 * pad;
        double numBaseline = axis + rule / 2 + gap + num.descent;  // above the baseline
        double denBaseline = -(axis - rule / 2 - gap - den.ascent);  // below it
        MathBox box;
        append(box, num, (width - num.width) / 2, -numBaseline);
        append(box, den, (width - den.width) / 2, denBaseline);
        if (atom.hasRule) box.rules.push_back({pad / 2, -axis, width - pad, rule, color});
        box.width = width;
        if (atom.leftDelimiter.empty() && atom.rightDelimiter.empty()) return box;
        return fenced(box, atom, size, color);
    }

    // A box between the atom's delimiters, grown to reach as far above and
    // below the math axis as the box does.
    MathBox fenced(const MathBox& inner, const MathAtom& atom, double size, const std::optional<gfx::Color>& color) {
        double axis = 0.25 * size;
        double height = std::max(2 * std::max(inner.ascent - axis, inner.descent + axis), size);
        MathBox box;
        MathBox left = delimiter(atom.leftDelimiter, height, axis, size, color);
        MathBox right = delimiter(atom.rightDelimiter, height, axis, size, color);
        append(box, left, 0, 0);
        append(box, inner, left.width, 0);
        append(box, right, left.width + inner.width, 0);
        box.width = left.width + inner.width + right.width;
        return box;
    }

    MathBox scripted(const MathAtom& atom, Style style, const std::optional<gfx::Color>& color) {
        MathBox box = nucleus(atom, style, color);
        if (!atom.superscript && !atom.subscript) return box;
        double size = base_ * scaleOf(style);
        Style small = scriptOf(style);
        double x = box.width;
        double extra = 0;
        std::optional<MathBox> sup, sub;
        double supShift = 0, subShift = 0;
        if (atom.superscript) {
            sup = list(*atom.superscript, small, color);
            supShift = std::max(0.363 * size, box.ascent - 0.25 * size);
        }
        if (atom.subscript) {
            sub = list(*atom.subscript, small, color);
            subShift = std::max(0.15 * size, box.descent + 0.05 * size);
        }
        if (sup && sub) {
            double clearance = (supShift - sup->descent) - (sub->ascent - subShift);
            if (clearance < 0.1 * size) subShift += 0.1 * size - clearance;
        }
        if (sup) {
            append(box, *sup, x, -supShift);
            extra = std::max(extra, sup->width);
        }
        if (sub) {
            append(box, *sub, x, subShift);
            extra = std::max(extra, sub->width);
        }
        box.width = x + extra + 0.05 * size;
        return box;
    }

    double base_;
};

}  // namespace

MathBox layoutMath(const MathList& list, double fontSize, bool displayStyle) {
    if (!(fontSize > 0)) return {};
    Layout layout(fontSize);
    return layout.list(list, displayStyle ? Style::display : Style::text, std::nullopt);
}

}  // namespace platform::math
