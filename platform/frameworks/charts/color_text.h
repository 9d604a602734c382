#pragma once
// Colour texts as chart options carry them: "#rrggbb", "#rgb", "rgba(...)"
// and a few colour names.

#include <optional>
#include <string>

#include "platform/gfx/color.h"

namespace platform::charts {

// The colour a text names; none for a text the library cannot read.
// Knows "#rgb", "#rrggbb" (either case), "rgb(r, g, b)" and
// "rgba(r, g, b, a)" with 0...255 components, and the names black, white,
// red, green, blue, gray, grey, orange, yellow, purple and transparent.
std::optional<gfx::Color> colorFromText(const std::string& text);

}  // namespace platform::charts
