#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/gfx/appearance.h"

namespace platform::gfx {

struct RGBA {
    double red = 0, green = 0, blue = 0, alpha = 1;
    bool operator==(const RGBA&) const = default;
};

struct HSBA {
    double hue = 0, saturation = 0, brightness = 0, alpha = 1;
    bool operator==(const HSBA&) const = default;
};

// A colour value: plain red-green-blue (components may lie outside 0…1, as
// extended-range colours do), dynamic (one variant for the light and one for
// the dark appearance, resolved against the current interface style when
// read), or a pattern of an image, which has no red-green-blue form.
class Color {
public:
    enum class Kind { rgb, dynamic, pattern };

    Color() = default;  // clear: black with alpha 0
    static Color rgb(double red, double green, double blue, double alpha = 1.0);
    static Color white(double white, double alpha = 1.0);
    static Color hsb(double hue, double saturation, double brightness, double alpha = 1.0);
    static Color dynamic(const Color& light, const Color& dark, std::string name = {});
    static Color pattern(std::string imageName);

    // The platform's named colours; dynamic where the platform's are.
    static Color clear();
    static Color black();
    static Color white();
    static Color red();
    static Color label();
    static Color secondaryLabel();
    static Color systemBackground();
    static Color secondarySystemBackground();
    static Color tertiarySystemGroupedBackground();
    static Color systemFill();
    static Color systemGray();
    static Color systemGray4();
    static Color systemRed();
    static Color systemOrange();
    static Color systemGreen();
    static Color systemBlue();

    Kind kind() const { return kind_; }
    const std::string& name() const { return name_; }  // a named colour's name, a pattern's image

    // The components as seen in the current interface style (or the given
    // one); none for a pattern.
    std::optional<RGBA> rgba() const;
    std::optional<RGBA> rgba(InterfaceStyle style) const;
    std::optional<HSBA> hsba() const;
    std::optional<double> alpha() const;

    Color resolved(InterfaceStyle style) const;  // the plain variant for a style
    Color resolved() const { return resolved(interfaceStyle()); }
    Color withAlphaComponent(double alpha) const;

    // "#rrggbb" with ",a" when not opaque, or the colour's name; for dumps.
    std::string description() const;

    friend bool operator==(const Color& a, const Color& b);

private:
    Kind kind_ = Kind::rgb;
    RGBA components_{0, 0, 0, 0};
    std::shared_ptr<const std::pair<Color, Color>> variants_;
    std::string name_;
};

HSBA toHSBA(const RGBA& rgba);
RGBA toRGBA(const HSBA& hsba);

}  // namespace platform::gfx
