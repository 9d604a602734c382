#include "velmora/engine/palette.h"

#include <cmath>
#include <cstdio>

#include "platform/gfx/appearance.h"
#include "platform/gfx/color.h"
#include "velmora/engine/palette_shared_state.h"

namespace velmora {

namespace {

unsigned component(double value) {
    double scaled = std::trunc(value * 255.0);
    if (!(scaled > 0)) return 0;  // negatives and NaN
    if (scaled > 255) return 255;
    return static_cast<unsigned>(scaled);
}

}  // namespace

RGBColor adjustedForDarkMode(const RGBColor& value, double factor, bool dark) {
    if (!dark) return value;
    platform::gfx::HSBA hsba = platform::gfx::toHSBA({value.red, value.green, value.blue, value.alpha});
    double brightness = hsba.brightness * factor;
    hsba.brightness = brightness > 0 ? brightness : 0;  // NaN too
    platform::gfx::RGBA rgba = platform::gfx::toRGBA(hsba);
    return {rgba.red, rgba.green, rgba.blue, rgba.alpha};
}

detail::PaletteConstants& detail::paletteConstants() {
    static auto* constants = new PaletteConstants;  // outlives every static that asks
    return *constants;
}

const RGBColor& paletteColor(const RGBColor& value) {
    auto& constants = detail::paletteConstants();
    std::lock_guard lock(constants.mutex);
    auto key = std::make_tuple(value.red, value.green, value.blue, value.alpha);
    auto it = constants.made.find(key);
    if (it == constants.made.end()) {
        constants.kept.push_back(adjustedForDarkMode(value, 0.7, platform::gfx::isDarkMode()));
        it = constants.made.emplace(key, &constants.kept.back()).first;
    }
    return *it->second;
}

std::string hexString(const RGBColor& color) {
    unsigned rgb = component(color.red) * 65536u + component(color.green) * 256u + component(color.blue);
    char buf[16];
    std::snprintf(buf, sizeof buf, "#%06x", rgb);
    return buf;
}

}  // namespace velmora
