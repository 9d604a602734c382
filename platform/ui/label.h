#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/ui/view.h"

namespace platform::ui {

// Text with runs of attributes (font and colour).
struct TextAttributes {
    std::optional<Font> font;
    std::optional<Color> foregroundColor;
    bool operator==(const TextAttributes&) const = default;
};

class AttributedString {
public:
    struct Run {
        std::string text;
        TextAttributes attributes;
        bool operator==(const Run&) const = default;
    };

    AttributedString() = default;
    explicit AttributedString(std::string text, TextAttributes attributes = {});
    void append(const AttributedString& other);
    std::string string() const;
    const std::vector<Run>& runs() const { return runs_; }
    bool operator==(const AttributedString&) const = default;

private:
    std::vector<Run> runs_;
};

enum class LineBreakMode { byWordWrapping = 0, byCharWrapping = 1, byClipping = 2, byTruncatingHead = 3,
                           byTruncatingTail = 4, byTruncatingMiddle = 5 };

// One or more lines of text. Sizes come from the font's estimate.
class Label : public View {
public:
    Label();
    explicit Label(const Rect& frame);

    const std::string& text() const { return text_; }
    void setText(std::string text);
    const std::optional<AttributedString>& attributedText() const { return attributed_; }
    void setAttributedText(std::optional<AttributedString> text);
    const Font& font() const { return font_; }
    void setFont(const Font& font);
    const Color& textColor() const { return textColor_; }
    void setTextColor(const Color& color) { textColor_ = color; }
    TextAlignment textAlignment() const { return alignment_; }
    void setTextAlignment(TextAlignment alignment) { alignment_ = alignment; }
    int numberOfLines() const { return lines_; }
    void setNumberOfLines(int lines) { lines_ = lines; }
    LineBreakMode lineBreakMode() const { return lineBreak_; }
    void setLineBreakMode(LineBreakMode mode) { lineBreak_ = mode; }
    bool adjustsFontSizeToFitWidth() const { return adjustsFont_; }
    void setAdjustsFontSizeToFitWidth(bool adjusts) { adjustsFont_ = adjusts; }
    double minimumScaleFactor() const { return minimumScale_; }
    void setMinimumScaleFactor(double factor) { minimumScale_ = factor; }
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled) { enabled_ = enabled; }

    Size intrinsicContentSize() const override;
    Size sizeThatFits(Size size) const override;
    void draw(const Rect& rect) override;
    void describe(std::vector<std::string>& notes) const override;

private:
    std::string text_;
    std::optional<AttributedString> attributed_;
    Font font_ = Font::system(17);
    Color textColor_ = Color::label();
    TextAlignment alignment_ = TextAlignment::natural;
    int lines_ = 1;
    LineBreakMode lineBreak_ = LineBreakMode::byTruncatingTail;
    bool adjustsFont_ = false;
    double minimumScale_ = 0;
    bool enabled_ = true;
};

// Quotes a text for dumps: newlines and quotes escaped.
std::string quoted(const std::string& text);

}  // namespace platform::ui
