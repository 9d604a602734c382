#include "platform/ui/label.h"

namespace platform::ui {

AttributedString::AttributedString(std::string text, TextAttributes attributes) {
    runs_.push_back({std::move(text), std::move(attributes)});
}

void AttributedString::append(const AttributedString& other) {
    runs_.insert(runs_.end(), other.runs_.begin(), other.runs_.end());
}

std::string AttributedString::string() const {
    std::string out;
    for (const auto& run : runs_) out += run.text;
    return out;
}

Label::Label() { setUserInteractionEnabled(false); }

Label::Label(const Rect& frame) : View(frame) { setUserInteractionEnabled(false); }

void Label::setText(std::string text) {
    text_ = std::move(text);
    attributed_.reset();
    setNeedsLayout();
    setNeedsDisplay();
}

void Label::setAttributedText(std::optional<AttributedString> text) {
    attributed_ = std::move(text);
    text_ = attributed_ ? attributed_->string() : std::string();
    setNeedsLayout();
    setNeedsDisplay();
}

void Label::setFont(const Font& font) {
    font_ = font;
    setNeedsLayout();
}

Size Label::intrinsicContentSize() const {
    if (!attributed_) return font_.measure(text_);
    double width = 0, height = 0;
    for (const auto& run : attributed_->runs()) {
        Size s = run.attributes.font.value_or(font_).measure(run.text);
        width += s.width;
        height = std::max(height, s.height);
    }
    return {width, height};
}

Size Label::sizeThatFits(Size size) const {
    if (attributed_) return intrinsicContentSize();
    return font_.measure(text_, size.width > 0 ? size.width : 0, lines_);
}

void Label::draw(const Rect&) {
    auto* context = gfx::GraphicsContext::current();
    if (!context || text_.empty()) return;
    Rect b = bounds();
    if (!attributed_) {
        context->drawText(text_, Rect(0, 0, b.width(), b.height()), font_, textColor_, alignment_);
        return;
    }
    double x = 0;
    for (const auto& run : attributed_->runs()) {
        Font f = run.attributes.font.value_or(font_);
        double w = f.widthOf(run.text);
        context->drawText(run.text, Rect(x, 0, w, b.height()), f, run.attributes.foregroundColor.value_or(textColor_),
                          alignment_);
        x += w;
    }
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

void Label::describe(std::vector<std::string>& notes) const {
    notes.push_back("text=" + quoted(text_));
    if (attributed_) {
        if (auto f = attributed_->runs().empty() ? std::nullopt : attributed_->runs().front().attributes.font) {
            notes.push_back("font=" + f->description());
        }
    } else {
        notes.push_back("font=" + font_.description());
    }
    if (!enabled_) notes.push_back("disabled");
    View::describe(notes);
}

}  // namespace platform::ui
