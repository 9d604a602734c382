#pragma once

#include <optional>
#include <string>

#include "platform/ui/control.h"

namespace platform::material {

enum class ThemingStyle { automatic = 0, none = 1 };

// The framework's button base: a platform button whose image is drawn as a
// template in the button's tint colour.
class Button : public ui::Button {
public:
    Button();
    explicit Button(const gfx::Rect& frame);
    // With an image and its tint colour.
    Button(std::optional<gfx::Image> image, std::optional<gfx::Color> tintColor);
    // With a title and its colour.
    Button(const std::string& title, std::optional<gfx::Color> titleColor);

    ThemingStyle themingStyle() const { return theming_; }
    void setThemingStyle(ThemingStyle style) { theming_ = style; }
    // Sets the normal-state image, drawn as a template in the tint colour.
    void setImage(const gfx::Image& image);
    using ui::Button::setImage;

    void describe(std::vector<std::string>& notes) const override;

private:
    ThemingStyle theming_ = ThemingStyle::automatic;
};

// A flat button with a title (storyboard keys, dialog actions).
class FlatButton : public Button {
public:
    using Button::Button;
};

// A button that shows an icon (toolbar buttons).
class IconButton : public Button {
public:
    using Button::Button;
};

// A round floating action button: its corners are cut at half its shorter
// side whatever size it is given, so a square one is a disc.
class FABButton : public Button {
public:
    FABButton();
    explicit FABButton(const gfx::Rect& frame);
    FABButton(std::optional<gfx::Image> image, std::optional<gfx::Color> tintColor);

    void setFrame(const gfx::Rect& frame) override;
    void setBounds(const gfx::Rect& bounds) override;

private:
    void roundCorners();
};

// A raised button with a shadow.
class RaisedButton : public Button {
public:
    using Button::Button;
};

}  // namespace platform::material
