#include "platform/frameworks/math_label/mt_math_ui_label.h"

#include <algorithm>
#include <cmath>

#include "platform/gfx/graphics_context.h"
#include "platform/ui/label.h"

namespace platform::math {

MTMathUILabel::MTMathUILabel() { setUserInteractionEnabled(false); }

MTMathUILabel::MTMathUILabel(const gfx::Rect& frame) : ui::View(frame) { setUserInteractionEnabled(false); }

void MTMathUILabel::setLatex(std::string latex) {
    latex_ = std::move(latex);
    ParseResult parsed = parseLatex(latex_);
    error_ = std::move(parsed.error);
    formula_ = std::move(parsed.list);
    typesetFormula();
}

void MTMathUILabel::setTextColor(const gfx::Color& color) {
    textColor_ = color;
    setNeedsDisplay();
}

void MTMathUILabel::setFontSize(double size) {
    if (!(size > 0)) return;
    fontSize_ = size;
    typesetFormula();
}

void MTMathUILabel::setLabelMode(MTMathUILabelMode mode) {
    mode_ = mode;
    typesetFormula();
}

void MTMathUILabel::setContentInsets(const gfx::EdgeInsets& insets) {
    insets_ = insets;
    resizeToFormula();
}

void MTMathUILabel::typesetFormula() {
    box_ = layoutMath(formula_, fontSize_, mode_ == MTMathUILabelMode::display);
    resizeToFormula();
}

void MTMathUILabel::resizeToFormula() {
    gfx::Rect f = frame();
    f.size = intrinsicContentSize();
    setFrame(f);
    invalidateIntrinsicContentSize();
    setNeedsDisplay();
}

gfx::Size MTMathUILabel::intrinsicContentSize() const {
    if (box_.glyphs.empty() && box_.rules.empty() && box_.width == 0) return {0, 0};
    return {std::ceil(box_.width + insets_.left + insets_.right),
            std::ceil(box_.height() + insets_.top + insets_.bottom)};
}

gfx::Size MTMathUILabel::sizeThatFits(gfx::Size) const { return intrinsicContentSize(); }

void MTMathUILabel::draw(const gfx::Rect&) {
    auto* context = gfx::GraphicsContext::current();
    if (!context || error_) return;
    gfx::Rect b = bounds();
    double available = b.width() - insets_.left - insets_.right;
    double x = insets_.left;
    if (alignment_ == MTTextAlignment::center) x += (available - box_.width) / 2;
    if (alignment_ == MTTextAlignment::right) x += available - box_.width;
    double inner = b.height() - insets_.top - insets_.bottom;
    double baseline = insets_.top + (inner - box_.height()) / 2 + box_.ascent;
    for (const auto& g : box_.glyphs) {
        // Variables lean, as in print; each glyph is centred in the advance
        // the layout gave it, so a glyph narrower than its advance leaves
        // even gaps on both sides rather than one wide gap after it.
        gfx::Font font = g.italic ? gfx::Font::named("HelveticaNeue-Italic", g.size).value_or(gfx::Font::system(g.size))
                                  : gfx::Font::system(g.size);
        // The rectangle is never narrower than the text, which would wrap it.
        const double advance = g.width > 0 ? g.width : font.widthOf(g.text);
        const double width = std::max(advance, font.widthOf(g.text));
        gfx::Rect rect(x + g.x + (advance - width) / 2, baseline + g.y - 0.8 * g.size, width, g.size);
        context->drawText(g.text, rect, font, g.color.value_or(textColor_), gfx::TextAlignment::center);
    }
    for (const auto& r : box_.rules) {
        context->setFillColor(r.color.value_or(textColor_));
        context->fill({x + r.x, baseline + r.y - r.thickness / 2, r.width, r.thickness});
    }
}

void MTMathUILabel::describe(std::vector<std::string>& notes) const {
    notes.push_back("latex=" + ui::quoted(latex_));
    if (error_) notes.push_back("error=" + ui::quoted(error_->message));
    if (fontSize_ != defaultFontSize) notes.push_back("fontSize=" + gfx::formatNumber(fontSize_));
    notes.push_back("color=" + textColor_.description());
    ui::View::describe(notes);
}

}  // namespace platform::math
