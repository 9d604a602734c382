#include "velmora/screens/kuvo_color.h"

#include <functional>

#include "velmora/screens/kuvo_color_shared_state.h"

namespace velmora::KuvoColor {

using platform::gfx::Color;
using platform::gfx::InterfaceStyle;
using detail::Constant;

detail::Constants& detail::constants() {
    static auto* made = new Constants;  // outlives every static that asks
    return *made;
}

namespace {

// The constant, made by `make` at its first use and kept from then on.
const Color& constant(Constant which, const std::function<Color()>& make) {
    auto& constants = detail::constants();
    std::lock_guard lock(constants.mutex);
    auto& slot = constants.named[static_cast<std::size_t>(which)];
    if (!slot) slot = &constants.kept.emplace_back(make());
    return *slot;
}

}  // namespace

const Color& tertiaryGroupedBackground() {
    return constant(Constant::tertiaryGroupedBackground, [] { return Color::tertiarySystemGroupedBackground(); });
}
const Color& disabledText() {
    return constant(Constant::disabledText, [] { return Color::systemGray(); });
}
const Color& label() {
    return constant(Constant::label, [] { return Color::label(); });
}
const Color& darkGray() {
    return constant(Constant::darkGray, [] { return Color::white(0.1, alphaOne); });
}
const Color& lightGray() {
    return constant(Constant::lightGray, [] { return Color::white(0.9, alphaOne); });
}
const Color& systemGray() {
    return constant(Constant::systemGray, [] { return Color::systemGray(); });
}
const Color& cardShadow() {
    return constant(Constant::cardShadow, [] { return Color::label(); });
}
const Color& background() {
    return constant(Constant::background, [] { return Color::systemBackground(); });
}
const Color& neutralGray() {
    return constant(Constant::neutralGray,
                    [] { return platform::gfx::isDarkMode() ? Color::systemGray() : Color::systemGray4(); });
}
const Color& inputFieldBackground() {
    return constant(Constant::inputFieldBackground, [] { return Color::systemBackground(); });
}
const Color& disabledInputFieldBackground() {
    return constant(Constant::disabledInputFieldBackground, [] { return Color::systemFill(); });
}

Color makePaletteColor(const RGBColor& value, InterfaceStyle style) {
    RGBColor c = adjustedForDarkMode(value, 0.7, style == InterfaceStyle::dark);
    return Color::rgb(c.red, c.green, c.blue, alphaOne);
}

const Color& color(const RGBColor& paletteValue) {
    auto& constants = detail::constants();
    std::lock_guard lock(constants.mutex);
    auto key = std::make_tuple(paletteValue.red, paletteValue.green, paletteValue.blue, paletteValue.alpha);
    auto it = constants.palette.find(key);
    if (it == constants.palette.end()) {
        // the engine keeps the one value per palette colour, so chart records
        // and screens agree on the style of its first use
        const RGBColor& c = paletteColor(paletteValue);
        it = constants.palette.emplace(key, &constants.kept.emplace_back(Color::rgb(c.red, c.green, c.blue, alphaOne)))
                 .first;
    }
    return *it->second;
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
