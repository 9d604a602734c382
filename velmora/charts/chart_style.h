#pragma once
// The application's look as the charts need it: the palette green, colours
// as "#rrggbb" texts for the chart library, and the card shadow.

#include <string>

#include "platform/gfx/color.h"

namespace platform::gfx {
class Layer;
}

namespace velmora {

// The palette green (the engine's value, darkened when it was first made
// in dark mode), as a platform colour.
platform::gfx::Color chartPaletteGreen();

// "#rrggbb" of a colour as seen in the current interface style; empty for
// a colour without a red-green-blue form.
std::string chartHexString(const platform::gfx::Color& color);

// The application's card shadow: the label colour at opacity 0.5, offset
// (0, 1.5) and radius 2 in light mode, (0, 0) and 1 in dark mode.
void applyChartCardShadow(platform::gfx::Layer& layer);

}  // namespace velmora
