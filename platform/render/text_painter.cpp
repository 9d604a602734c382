// Text of recorded drawings, set with pango.
#include "platform/render/text_painter.h"

#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <unordered_map>

namespace platform::render::detail {

namespace {

bool containsAny(const std::string& text, std::initializer_list<const char*> parts) {
    return std::any_of(parts.begin(), parts.end(), [&](const char* part) { return text.find(part) != std::string::npos; });
}

PangoWeight weightOf(gfx::FontWeight weight) {
    switch (weight) {
        case gfx::FontWeight::light: return PANGO_WEIGHT_LIGHT;
        case gfx::FontWeight::regular: return PANGO_WEIGHT_NORMAL;
        case gfx::FontWeight::medium: return PANGO_WEIGHT_MEDIUM;
        case gfx::FontWeight::semibold: return PANGO_WEIGHT_SEMIBOLD;
        case gfx::FontWeight::bold: return PANGO_WEIGHT_BOLD;
        case gfx::FontWeight::heavy: return PANGO_WEIGHT_HEAVY;
        case gfx::FontWeight::black: return PANGO_WEIGHT_ULTRAHEAVY;
    }
    return PANGO_WEIGHT_NORMAL;
}

PangoAlignment alignmentOf(gfx::TextAlignment alignment) {
    switch (alignment) {
        case gfx::TextAlignment::center: return PANGO_ALIGN_CENTER;
        case gfx::TextAlignment::right: return PANGO_ALIGN_RIGHT;
        default: return PANGO_ALIGN_LEFT;
    }
}

}  // namespace

std::string fallbackFamily(const gfx::Font& font) {
    const std::string& family = font.familyName();
    if (family == "Menlo" || family == "Courier") return "DejaVu Sans Mono";
    if (family == "Georgia" || family == "Times New Roman") return "DejaVu Serif";
    return "DejaVu Sans";
}

TextPainter::TextPainter() {
    context_ = pango_font_map_create_context(pango_cairo_font_map_get_default());
    // Unhinted outlines scale evenly with the matrix, so the same text has
    // the same shape at every position and scale.
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    pango_cairo_context_set_font_options(context_, options);
    cairo_font_options_destroy(options);
}

TextPainter::~TextPainter() {
    for (auto& entry : fonts_) pango_font_description_free(entry.second);
    g_object_unref(context_);
}

PangoFontDescription* TextPainter::describe(const gfx::Font& font) {
    std::string key = font.name() + "/" + std::to_string(static_cast<int>(font.weight())) + "/" +
                      std::to_string(font.pointSize());
    auto found = fonts_.find(key);
    if (found != fonts_.end()) return found->second;
    PangoFontDescription* description = pango_font_description_new();
    pango_font_description_set_family(description, fallbackFamily(font).c_str());
    pango_font_description_set_weight(description, weightOf(font.weight()));
    if (containsAny(font.name(), {"Oblique", "Italic"})) pango_font_description_set_style(description, PANGO_STYLE_OBLIQUE);
    // Sizes are in the drawing's units, as the platform's points are.
    pango_font_description_set_absolute_size(description, font.pointSize() * PANGO_SCALE);
    fonts_.emplace(key, description);
    return description;
}

// How a text is set in its rectangle: on one line narrowed to the
// rectangle, or wrapped at the width; wrapped text the recorded layout gave
// room for is narrowed until it fits the height, as a line is narrowed to
// the width, and only text that was given too little room ends in an
// ellipsis.
struct TextPainter::Setting {
    PangoLayout* layout = nullptr;
    bool wraps = false;
    double squeeze = 1;
    bool cutShort = false;
};

namespace {

// The least narrowing tried: below it letters run into each other.
constexpr double kLeastSqueeze = 0.5;

double layoutHeight(PangoLayout* layout) {
    PangoRectangle ink, logical;
    pango_layout_get_extents(layout, &ink, &logical);
    return static_cast<double>(logical.height) / PANGO_SCALE;
}

// Text the recorded layout laid out on one line stays on one line.
bool wraps(const gfx::DrawOp& op, const gfx::Font& font) {
    return op.text.find('\n') != std::string::npos || font.widthOf(op.text) > op.rect.standardized().width() + 0.5;
}

gfx::Font fontOf(const gfx::DrawOp& op) { return op.font ? *op.font : gfx::Font::system(17); }

void wrapAt(PangoLayout* layout, double width) {
    pango_layout_set_width(layout, static_cast<int>(width * PANGO_SCALE));
}

}  // namespace

TextPainter::Setting TextPainter::set(const gfx::DrawOp& op) {
    const gfx::Font font = fontOf(op);
    gfx::Rect r = op.rect.standardized();
    Setting setting;
    setting.layout = pango_layout_new(context_);
    PangoLayout* layout = setting.layout;
    pango_layout_set_font_description(layout, describe(font));
    pango_layout_set_text(layout, op.text.c_str(), static_cast<int>(op.text.size()));
    setting.wraps = wraps(op, font);
    if (!setting.wraps || !(r.width() > 0)) return setting;
    wrapAt(layout, r.width());
    pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
    pango_layout_set_alignment(layout, alignmentOf(op.alignment));
    if (!(r.height() > 0)) return setting;
    const double room = r.height() + 0.5;
    if (layoutHeight(layout) > room && font.measure(op.text, r.width(), 0).height <= room) {
        // The widest narrowing that fits, to a hundredth.
        double fits = kLeastSqueeze, tooWide = 1;
        wrapAt(layout, r.width() / fits);
        if (layoutHeight(layout) <= room) {
            while (tooWide - fits > 0.01) {
                const double middle = (fits + tooWide) / 2;
                wrapAt(layout, r.width() / middle);
                (layoutHeight(layout) <= room ? fits : tooWide) = middle;
            }
            setting.squeeze = fits;
        }
        wrapAt(layout, r.width() / setting.squeeze);
    }
    setting.cutShort = layoutHeight(layout) > room;
    if (setting.cutShort) {
        pango_layout_set_height(layout, static_cast<int>(r.height() * PANGO_SCALE));
        pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
    }
    return setting;
}

bool TextPainter::cutShort(const gfx::DrawOp& op) {
    // Only wrapped text in a rectangle of some height can be cut short.
    if (op.kind != gfx::DrawOp::Kind::text || op.text.empty() || !(op.rect.standardized().height() > 0) ||
        !wraps(op, fontOf(op))) {
        return false;
    }
    Setting setting = set(op);
    g_object_unref(setting.layout);
    return setting.cutShort;
}

// Where a set text's layout goes: its origin and how much it is narrowed.
struct TextPainter::Placement {
    double x = 0, y = 0, squeeze = 1;
    PangoRectangle ink{}, logical{};
};

TextPainter::Placement TextPainter::place(const gfx::DrawOp& op, const Setting& setting) {
    gfx::Rect r = op.rect.standardized();
    Placement placement;
    pango_layout_get_extents(setting.layout, &placement.ink, &placement.logical);
    const auto& logical = placement.logical;
    double width = static_cast<double>(logical.width) / PANGO_SCALE;
    double height = static_cast<double>(logical.height) / PANGO_SCALE;
    double squeeze = setting.squeeze;
    if (!setting.wraps && width > r.width() && r.width() > 0) squeeze = r.width() / width;
    double x = r.minX();
    if (!setting.wraps || !(r.width() > 0)) {
        x -= static_cast<double>(logical.x) / PANGO_SCALE * squeeze;
        if (op.alignment == gfx::TextAlignment::center) x += (r.width() - width * squeeze) / 2;
        if (op.alignment == gfx::TextAlignment::right) x += r.width() - width * squeeze;
    }
    placement.x = x;
    placement.y = r.minY() + (r.height() - height) / 2 - static_cast<double>(logical.y) / PANGO_SCALE;
    placement.squeeze = squeeze;
    return placement;
}

gfx::Rect TextPainter::ink(const gfx::DrawOp& op) {
    if (op.kind != gfx::DrawOp::Kind::text || op.text.empty()) return {};
    Setting setting = set(op);
    const Placement at = place(op, setting);
    g_object_unref(setting.layout);
    if (at.ink.width <= 0 || at.ink.height <= 0) return {};
    const double scale = PANGO_SCALE;
    return {at.x + at.ink.x / scale * at.squeeze, at.y + at.ink.y / scale, at.ink.width / scale * at.squeeze,
            at.ink.height / scale};
}

void TextPainter::paint(cairo_t* cr, const gfx::DrawOp& op, const gfx::RGBA& colour, double alpha) {
    if (op.text.empty()) return;
    pango_cairo_update_context(cr, context_);
    Setting setting = set(op);
    PangoLayout* layout = setting.layout;
    const Placement at = place(op, setting);

    cairo_save(cr);
    cairo_translate(cr, at.x, at.y);
    cairo_scale(cr, at.squeeze, 1);
    cairo_move_to(cr, 0, 0);
    cairo_set_source_rgba(cr, std::clamp(colour.red, 0.0, 1.0), std::clamp(colour.green, 0.0, 1.0),
                          std::clamp(colour.blue, 0.0, 1.0), std::clamp(colour.alpha * alpha, 0.0, 1.0));
    // The layout stays as set for the unsqueezed matrix: laid out again
    // for the squeezed one, its glyphs would narrow but not their advances.
    pango_cairo_show_layout(cr, layout);
    cairo_restore(cr);
    g_object_unref(layout);
}

}  // namespace platform::render::detail

namespace platform::render {

namespace {

// Texts are measured apart from any drawing, one painter a thread.
detail::TextPainter& measuringPainter() {
    static thread_local detail::TextPainter painter;
    return painter;
}

// What setting a text yields, whatever the corner its rectangle stands at:
// the ink from that corner, and whether it is cut short; each learnt once.
struct TextMeasure {
    std::optional<gfx::Rect> ink;
    std::optional<bool> cutShort;
};

// The most measures a thread keeps: far more than the texts of any screen
// (a formula's glyph is a text), little memory; past it all are let go.
constexpr std::size_t kMostMeasuresKept = 1 << 14;

std::unordered_map<std::string, TextMeasure>& keptMeasures() {
    static thread_local std::unordered_map<std::string, TextMeasure> kept;
    return kept;
}

// Everything a text's setting depends on: the text, the font (a font's
// metrics follow from its name, weight and size), the rectangle's size and
// the alignment.
std::string measureKey(const gfx::DrawOp& op) {
    const gfx::Rect r = op.rect.standardized();
    std::string key = op.text;
    key += '\0';
    if (op.font) key += op.font->name();
    key += '\0';
    const double numbers[] = {op.font ? op.font->pointSize() : 0.0, r.width(), r.height()};
    const int kinds[] = {op.font ? static_cast<int>(op.font->weight()) : -1, static_cast<int>(op.alignment)};
    key.append(reinterpret_cast<const char*>(numbers), sizeof numbers);
    key.append(reinterpret_cast<const char*>(kinds), sizeof kinds);
    return key;
}

TextMeasure& measureOf(const gfx::DrawOp& op) {
    auto& kept = keptMeasures();
    if (kept.size() >= kMostMeasuresKept) kept.clear();
    return kept[measureKey(op)];
}

}  // namespace

bool textCutShort(const gfx::DrawOp& op) {
    if (op.kind != gfx::DrawOp::Kind::text) return false;
    auto& measure = measureOf(op);
    if (!measure.cutShort) measure.cutShort = measuringPainter().cutShort(op);
    return *measure.cutShort;
}

gfx::Rect textInk(const gfx::DrawOp& op) {
    if (op.kind != gfx::DrawOp::Kind::text) return {};
    const gfx::Rect r = op.rect.standardized();
    auto& measure = measureOf(op);
    if (!measure.ink) {
        const gfx::Rect ink = measuringPainter().ink(op);
        measure.ink = ink.isEmpty() ? gfx::Rect{} : gfx::Rect{ink.minX() - r.minX(), ink.minY() - r.minY(), ink.width(),
                                                               ink.height()};
    }
    if (measure.ink->isEmpty()) return {};
    return {r.minX() + measure.ink->minX(), r.minY() + measure.ink->minY(), measure.ink->width(), measure.ink->height()};
}

}  // namespace platform::render
