#include "velmora/engine/palette.h"

#include <cmath>
#include <cstdio>

namespace velmora {

namespace {

unsigned component(double value) {
    double scaled = std::trunc(value * 255.0);
    if (!(scaled > 0)) return 0;  // negatives and NaN
    if (scaled > 255) return 255;
    return static_cast<unsigned>(scaled);
}

}  // namespace

std::string hexString(const RGBColor& color) {
    unsigned rgb = component(color.red) * 65536u + component(color.green) * 256u + component(color.blue);
    char buf[16];
    std::snprintf(buf, sizeof buf, "#%06x", rgb);
    return buf;
}

}  // namespace velmora
