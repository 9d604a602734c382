#include "velmora/screens/kuvo_color.h"

#include <map>
#include <mutex>
#include <tuple>


namespace velmora::KuvoColor {

using platform::gfx::Color;
using platform::gfx::InterfaceStyle;

const Color& tertiaryGroupedBackground() {
    static const Color c = Color::tertiarySystemGroupedBackground();
    return c;
}
const Color& disabledText() {
    static const Color c = Color::systemGray();
    return c;
}
const Color& label() {
    static const Color c = Color::label();
    return c;
}
const Color& darkGray() {
    static const Color c = Color::white(0.1, alphaOne);
    return c;
}
const Color& lightGray() {
    static const Color c = Color::white(0.9, alphaOne);
    return c;
}
const Color& systemGray() {
    static const Color c = Color::systemGray();
    return c;
}
const Color& cardShadow() {
    static const Color c = Color::label();
    return c;
}
const Color& background() {
    static const Color c = Color::systemBackground();
    return c;
}
const Color& neutralGray() {
    static const Color c = platform::gfx::isDarkMode() ? Color::systemGray() : Color::systemGray4();
    return c;
}
const Color& inputFieldBackground() {
    static const Color c = Color::systemBackground();
    return c;
}
const Color& disabledInputFieldBackground() {
    static const Color c = Color::systemFill();
    return c;
}

Color makePaletteColor(const RGBColor& value, InterfaceStyle style) {
    RGBColor c = adjustedForDarkMode(value, 0.7, style == InterfaceStyle::dark);
    return Color::rgb(c.red, c.green, c.blue, alphaOne);
}

const Color& color(const RGBColor& paletteValue) {
    static std::mutex mutex;
    static std::map<std::tuple<double, double, double, double>, Color> made;
    std::lock_guard lock(mutex);
    auto key = std::make_tuple(paletteValue.red, paletteValue.green, paletteValue.blue, paletteValue.alpha);
    auto it = made.find(key);
    if (it == made.end()) {
        // the engine keeps the one value per palette colour, so chart records
        // and screens agree on the style of its first use
        const RGBColor& c = paletteColor(paletteValue);
        it = made.emplace(key, Color::rgb(c.red, c.green, c.blue, alphaOne)).first;
    }
    return it->second;
}

std::optional<Color> paletteColorForTag(int tag) {
    switch (tag) {
        case 101: return color(paletteDarkBlue);
        case 102: return color(paletteLightBlue);
        case 103: return color(paletteBlue);
        case 104: return color(paletteGreen);
        case 105: return color(paletteDarkGreen);
        default: return std::nullopt;
    }
}

}  // namespace velmora::KuvoColor
