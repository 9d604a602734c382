#include "platform/frameworks/material/buttons.h"

#include <algorithm>
#include <utility>

#include "platform/ui/image_view.h"

namespace platform::material {

Button::Button() : Button(gfx::Rect{}) {}

Button::Button(const gfx::Rect& frame) : ui::Button(frame) {}

Button::Button(std::optional<gfx::Image> image, std::optional<gfx::Color> tintColor) : ui::Button(gfx::Rect{}) {
    if (tintColor) setTintColor(*tintColor);
    if (image) setImage(*image);
    gfx::Size size = intrinsicContentSize();
    setFrame({0, 0, std::max(size.width, 44.0), std::max(size.height, 44.0)});
}

Button::Button(const std::string& title, std::optional<gfx::Color> titleColor) : ui::Button(gfx::Rect{}) {
    ui::Button::setTitle(title, ui::controlState::normal);
    if (titleColor) ui::Button::setTitleColor(*titleColor, ui::controlState::normal);
    gfx::Size size = intrinsicContentSize();
    setFrame({0, 0, std::max(size.width + 16, 44.0), std::max(size.height, 44.0)});
}

void Button::setImage(const gfx::Image& image) {
    // The image view keeps no tint of its own: it follows the button's tint,
    // which styling may change after the image was set.
    ui::Button::setImage(image.withRenderingMode(gfx::RenderingMode::alwaysTemplate), ui::controlState::normal);
}

FABButton::FABButton() : FABButton(gfx::Rect{}) {}

FABButton::FABButton(const gfx::Rect& frame) : Button(frame) { roundCorners(); }

FABButton::FABButton(std::optional<gfx::Image> image, std::optional<gfx::Color> tintColor)
    : Button(std::move(image), std::move(tintColor)) {
    roundCorners();
}

void FABButton::setFrame(const gfx::Rect& frame) {
    Button::setFrame(frame);
    roundCorners();
}

void FABButton::setBounds(const gfx::Rect& bounds) {
    Button::setBounds(bounds);
    roundCorners();
}

void FABButton::roundCorners() {
    const gfx::Rect b = bounds();
    layer()->setCornerRadius(std::min(b.width(), b.height()) / 2);
}

void Button::describe(std::vector<std::string>& notes) const {
    if (auto iv = imageView(); iv && iv->hasOwnTintColor()) notes.push_back("imageTint=" + iv->tintColor().description());
    ui::Button::describe(notes);
}

}  // namespace platform::material
