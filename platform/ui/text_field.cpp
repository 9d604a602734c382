#include "platform/ui/text_field.h"

#include <algorithm>

#include "platform/gfx/utf8_text.h"
#include "platform/ui/label.h"
#include "platform/ui/window.h"

namespace platform::ui {

TextField::TextField() = default;

TextField::TextField(const Rect& frame) : Control(frame) {}

int TextField::length() const { return static_cast<int>(gfx::decodeUTF8(text_).size()); }

void TextField::setText(std::string text) {
    text_ = std::move(text);
    if (editing_) selection_ = {{length()}, {length()}};
    setNeedsDisplay();
    contentDidChange();
}

void TextField::setPlaceholder(std::string placeholder) {
    placeholder_ = std::move(placeholder);
    setNeedsDisplay();
    contentDidChange();
}

std::optional<TextPosition> TextField::position(TextPosition from, int offset) const {
    long target = static_cast<long>(from.offset) + offset;
    if (target < 0 || target > length()) return std::nullopt;
    return TextPosition{static_cast<int>(target)};
}

std::optional<TextRange> TextField::textRange(TextPosition from, TextPosition to) const {
    int n = length();
    if (from.offset < 0 || to.offset < 0 || from.offset > n || to.offset > n) return std::nullopt;
    if (from.offset > to.offset) std::swap(from, to);
    return TextRange{from, to};
}

std::string TextField::textIn(const TextRange& range) const {
    auto chars = gfx::decodeUTF8(text_);
    auto n = static_cast<int>(chars.size());
    int s = std::clamp(range.start.offset, 0, n), e = std::clamp(range.end.offset, 0, n);
    if (e <= s) return {};
    return gfx::encodeUTF8(chars.substr(static_cast<std::size_t>(s), static_cast<std::size_t>(e - s)));
}

std::optional<TextRange> TextField::selectedTextRange() const {
    if (!editing_) return std::nullopt;
    return selection_;
}

void TextField::setSelectedTextRange(std::optional<TextRange> range) {
    if (!editing_ || !range) return;
    if (auto valid = textRange(range->start, range->end)) selection_ = *valid;
}

void TextField::edit(int start, int end, const std::string& replacement) {
    auto chars = gfx::decodeUTF8(text_);
    auto n = static_cast<int>(chars.size());
    start = std::clamp(start, 0, n);
    end = std::clamp(end, start, n);
    auto inserted = gfx::decodeUTF8(replacement);
    chars.replace(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start), inserted);
    text_ = gfx::encodeUTF8(chars);
    int caret = start + static_cast<int>(inserted.size());
    selection_ = {{caret}, {caret}};
    setNeedsDisplay();
    contentDidChange();
    sendActions(controlEvent::editingChanged);
}

void TextField::replace(const TextRange& range, const std::string& text) {
    auto valid = textRange(range.start, range.end);
    if (!valid) return;
    edit(valid->start.offset, valid->end.offset, text);
}

bool TextField::insertText(const std::string& text) {
    if (!editing_) return false;
    int s = selection_.start.offset, e = selection_.end.offset;
    if (auto d = delegate(); d && !d->textFieldShouldChangeCharacters(*this, s, e - s, text)) return false;
    edit(s, e, text);
    return true;
}

bool TextField::deleteBackward() {
    if (!editing_) return false;
    int s = selection_.start.offset, e = selection_.end.offset;
    if (s == e) {
        if (s == 0) return false;
        --s;
    }
    if (auto d = delegate(); d && !d->textFieldShouldChangeCharacters(*this, s, e - s, "")) return false;
    edit(s, e, "");
    return true;
}

bool TextField::pressReturn() {
    if (!editing_) return false;
    auto d = delegate();
    bool result = d ? d->textFieldShouldReturn(*this) : true;
    sendActions(controlEvent::editingDidEndOnExit);
    return result;
}

bool TextField::canBecomeFirstResponder() const { return isEnabled() && isUserInteractionEnabled(); }

bool TextField::becomeFirstResponder() {
    if (isFirstResponder()) return true;
    if (!canBecomeFirstResponder() || !window()) return false;
    auto keep = sharedAs<TextField>();
    if (auto d = delegate(); d && !d->textFieldShouldBeginEditing(*this)) return false;
    if (!Control::becomeFirstResponder()) return false;
    editing_ = true;
    selection_ = {{length()}, {length()}};
    contentDidChange();
    if (auto d = delegate()) d->textFieldDidBeginEditing(*this);
    sendActions(controlEvent::editingDidBegin);
    return true;
}

bool TextField::resignFirstResponder() {
    if (!editing_) return Control::resignFirstResponder();
    auto keep = sharedAs<TextField>();
    if (auto d = delegate(); d && !d->textFieldShouldEndEditing(*this)) return false;
    Control::resignFirstResponder();
    editing_ = false;
    contentDidChange();
    if (auto d = delegate()) d->textFieldDidEndEditing(*this);
    sendActions(controlEvent::editingDidEnd);
    return true;
}

Size TextField::intrinsicContentSize() const {
    Size s = font_.measure(text_.empty() ? placeholder_ : text_);
    return {s.width + 8, std::max(s.height, font_.lineHeight()) + 8};
}

void TextField::draw(const Rect&) {
    if (auto* context = gfx::GraphicsContext::current()) drawContent(*context, Rect(0, 0, bounds().width(), bounds().height()));
}

void TextField::drawContent(gfx::GraphicsContext& context, const Rect& area) const {
    if (!text_.empty()) {
        std::string shown = secure_ ? std::string(static_cast<std::size_t>(length()), '*') : text_;
        context.drawText(shown, area, font_, textColor_, alignment_);
    } else if (!placeholder_.empty()) {
        context.drawText(placeholder_, area, font_, Color::systemGray(), alignment_);
    }
}

void TextField::describe(std::vector<std::string>& notes) const {
    notes.push_back("text=" + quoted(text_));
    if (text_.empty() && !placeholder_.empty()) notes.push_back("placeholder=" + quoted(placeholder_));
    if (editing_) {
        notes.push_back("editing");
        notes.push_back("selection=" + std::to_string(selection_.start.offset) + ".." +
                        std::to_string(selection_.end.offset));
    }
    if (inputView_) notes.push_back("inputView");
    Control::describe(notes);
}

}  // namespace platform::ui
