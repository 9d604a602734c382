#include "platform/frameworks/input_field/dt_text_field.h"

#include "platform/gfx/graphics_context.h"

namespace platform::input {

// Shows the field's text over the field's background layer.
class DTTextField::TextView : public ui::View {
public:
    explicit TextView(const DTTextField& field) : field_(field) { setUserInteractionEnabled(false); }
    void draw(const gfx::Rect&) override {
        if (auto* context = gfx::GraphicsContext::current()) {
            field_.drawContent(*context, gfx::Rect(0, 0, bounds().width(), bounds().height()));
        }
    }

private:
    const DTTextField& field_;
};

DTTextField::DTTextField() { setUp(); }

DTTextField::DTTextField(const gfx::Rect& frame) : ui::TextField(frame) { setUp(); }

void DTTextField::setUp() {
    background_ = gfx::Layer::make();
    background_->setBackgroundColor(gfx::Color::systemBackground());
    background_->setBorderWidth(1);
    background_->setCornerRadius(4);
    background_->setBorderColor(markingColor_);
    layer()->insertSublayer(background_, 0);
    textView_ = std::make_shared<TextView>(*this);
    addSubview(textView_);
    floatingLabel_ = std::make_shared<ui::Label>();
    floatingLabel_->setFont(gfx::Font::system(12));
    addSubview(floatingLabel_);
    refresh();
}

void DTTextField::setMarkingColor(const gfx::Color& color) {
    markingColor_ = color;
    background_->setBorderColor(color);
}

bool DTTextField::isFloatingLabelShown() const { return !floatingLabel_->isHidden(); }

void DTTextField::refresh() {
    floatingLabel_->setText(placeholder());
    floatingLabel_->setTextColor(isEditing() ? activeColor_ : labelColor_);
    floatingLabel_->setHidden(placeholder().empty() || (!always_ && text().empty()));
}

void DTTextField::layoutSubviews() {
    ui::TextField::layoutSubviews();
    gfx::Rect b = bounds();
    background_->setFrame({0, 0, b.width(), b.height()});
    textView_->setFrame({0, 0, b.width(), b.height()});
    double h = floatingLabel_->font().lineHeight();
    floatingLabel_->setFrame({8, offset_, std::max(0.0, b.width() - 16), h});
}

bool DTTextField::showsSubviewInDump(const ui::View& sub) const {
    return &sub != floatingLabel_.get() && &sub != textView_.get();
}

void DTTextField::describe(std::vector<std::string>& notes) const {
    notes.push_back("marking=" + markingColor_.description());
    if (auto bg = background_->backgroundColor()) notes.push_back("fieldBg=" + bg->description());
    if (isFloatingLabelShown()) notes.push_back("floating=" + ui::quoted(floatingLabel_->text()));
    ui::TextField::describe(notes);
}

}  // namespace platform::input
