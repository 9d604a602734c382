// The palette green, hex texts and card shadow as the charts use them.
#include "velmora/charts/chart_style.h"

#include "platform/gfx/layer.h"
#include "velmora/engine/palette.h"

namespace velmora {

platform::gfx::Color chartPaletteGreen() {
    const RGBColor& c = paletteColor(KuvoColor::paletteGreen);
    return platform::gfx::Color::rgb(c.red, c.green, c.blue, KuvoColor::alphaOne);
}

std::string chartHexString(const platform::gfx::Color& color) {
    auto c = color.rgba();
    if (!c) return {};
    return hexString(RGBColor{c->red, c->green, c->blue, c->alpha});
}

void applyChartCardShadow(platform::gfx::Layer& layer) {
    bool dark = platform::gfx::isDarkMode();
    layer.setMasksToBounds(false);
    layer.setShadowColor(platform::gfx::Color::label());
    layer.setShadowOpacity(0.5);
    layer.setShadowOffset(dark ? platform::gfx::Size{0, 0} : platform::gfx::Size{0, 1.5});
    layer.setShadowRadius(dark ? 1.0 : 2.0);
}

}  // namespace velmora
