#pragma once

#include <memory>
#include <optional>

#include "platform/gfx/layer.h"
#include "platform/ui/label.h"
#include "platform/ui/text_field.h"

namespace platform::input {

// The input-field framework's text field: a text field drawn on a background
// layer of its own whose border shows the marking colour (neutral, or red
// or orange for a field at fault), with a floating label that shows the
// placeholder above the text once there is text.
class DTTextField : public ui::TextField {
public:
    DTTextField();
    explicit DTTextField(const gfx::Rect& frame);

    // The layer the field is drawn on: its background colour is the field's,
    // its border the marking colour.
    const std::shared_ptr<gfx::Layer>& backgroundLayer() const { return background_; }
    const gfx::Color& markingColor() const { return markingColor_; }
    void setMarkingColor(const gfx::Color& color);

    // The floating label: the placeholder, shown above the text.
    const std::shared_ptr<ui::Label>& floatingLabel() const { return floatingLabel_; }
    bool isFloatingLabelShown() const;
    const gfx::Color& floatingLabelActiveColor() const { return activeColor_; }  // while editing
    void setFloatingLabelActiveColor(const gfx::Color& color) { activeColor_ = color; refresh(); }
    const gfx::Color& floatingLabelColor() const { return labelColor_; }  // otherwise
    void setFloatingLabelColor(const gfx::Color& color) { labelColor_ = color; refresh(); }
    bool animatesFloatingLabel() const { return animates_; }
    void setAnimatesFloatingLabel(bool animates) { animates_ = animates; }
    double floatingLabelOffset() const { return offset_; }  // from the field's top edge
    void setFloatingLabelOffset(double offset) { offset_ = offset; setNeedsLayout(); }
    const gfx::Font& floatingLabelFont() const { return floatingLabel_->font(); }
    void setFloatingLabelFont(const gfx::Font& font) { floatingLabel_->setFont(font); }
    // Shows the floating label also while the field is empty.
    bool showsFloatingLabelAlways() const { return always_; }
    void setShowsFloatingLabelAlways(bool always) { always_ = always; refresh(); }

    void layoutSubviews() override;
    // The text is drawn by a view above the background layer, not here,
    // where the background would cover it.
    void draw(const gfx::Rect&) override {}
    void describe(std::vector<std::string>& notes) const override;
    bool showsSubviewInDump(const ui::View& sub) const override;

protected:
    void contentDidChange() override { refresh(); }

private:
    class TextView;

    void setUp();
    void refresh();

    std::shared_ptr<gfx::Layer> background_;
    std::shared_ptr<TextView> textView_;
    std::shared_ptr<ui::Label> floatingLabel_;
    gfx::Color markingColor_ = gfx::Color::systemGray4();
    gfx::Color activeColor_ = gfx::Color::systemBlue();
    gfx::Color labelColor_ = gfx::Color::systemGray();
    bool animates_ = true;
    double offset_ = -12;
    bool always_ = false;
};

}  // namespace platform::input
