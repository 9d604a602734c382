#include "velmora/engine/palette.h"

#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>
#include <tuple>

#include "platform/gfx/appearance.h"
#include "platform/gfx/color.h"

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

const RGBColor& paletteColor(const RGBColor& value) {
    static std::mutex mutex;
    static std::map<std::tuple<double, double, double, double>, RGBColor> made;
    std::lock_guard lock(mutex);
    auto key = std::make_tuple(value.red, value.green, value.blue, value.alpha);
    auto it = made.find(key);
    if (it == made.end()) it = made.emplace(key, adjustedForDarkMode(value, 0.7, platform::gfx::isDarkMode())).first;
    return it->second;
}

std::string hexString(const RGBColor& color) {
    unsigned rgb = component(color.red) * 65536u + component(color.green) * 256u + component(color.blue);
    char buf[16];
    std::snprintf(buf, sizeof buf, "#%06x", rgb);
    return buf;
}

}  // namespace velmora
