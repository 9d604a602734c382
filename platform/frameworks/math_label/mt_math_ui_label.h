#pragma once

#include <optional>
#include <string>

#include "platform/frameworks/math_label/math_layout.h"
#include "platform/frameworks/math_label/math_list.h"
#include "platform/ui/view.h"

namespace platform::math {

enum class MTMathUILabelMode { display = 0, text = 1 };
enum class MTTextAlignment { left = 0, center = 1, right = 2 };

// A label that typesets LaTeX (math mode). It keeps the text, colour and
// font size it was given, parses the text (a malformed one leaves an error
// and shows nothing), and sizes itself to the typeset formula: after each
// change of the text, font size, mode or insets its bounds take the
// formula's size (plus insets), its origin kept. Drawing records each glyph
// as text at its place, rules as filled rectangles.
class MTMathUILabel : public ui::View {
public:
    static constexpr double defaultFontSize = 20;

    MTMathUILabel();
    explicit MTMathUILabel(const gfx::Rect& frame);

    const std::string& latex() const { return latex_; }
    void setLatex(std::string latex);
    const std::optional<MathParseError>& error() const { return error_; }
    const gfx::Color& textColor() const { return textColor_; }
    void setTextColor(const gfx::Color& color);
    double fontSize() const { return fontSize_; }
    void setFontSize(double size);
    MTMathUILabelMode labelMode() const { return mode_; }
    void setLabelMode(MTMathUILabelMode mode);
    MTTextAlignment textAlignment() const { return alignment_; }
    void setTextAlignment(MTTextAlignment alignment) { alignment_ = alignment; }
    const gfx::EdgeInsets& contentInsets() const { return insets_; }
    void setContentInsets(const gfx::EdgeInsets& insets);

    // The typeset formula (empty for an empty or malformed text).
    const MathBox& typeset() const { return box_; }

    gfx::Size intrinsicContentSize() const override;
    gfx::Size sizeThatFits(gfx::Size size) const override;
    void draw(const gfx::Rect& rect) override;
    void describe(std::vector<std::string>& notes) const override;

private:
    // Sets the parsed formula at the current size and mode, then resizes.
    void typesetFormula();
    // Takes the formula's size plus the insets, the origin kept.
    void resizeToFormula();

    std::string latex_;
    std::optional<MathParseError> error_;
    MathList formula_;  // empty when the text is empty or malformed
    gfx::Color textColor_ = gfx::Color::black();
    double fontSize_ = defaultFontSize;
    MTMathUILabelMode mode_ = MTMathUILabelMode::display;
    MTTextAlignment alignment_ = MTTextAlignment::left;
    gfx::EdgeInsets insets_;
    MathBox box_;
};

}  // namespace platform::math
