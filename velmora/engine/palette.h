#pragma once

#include <string>

// The palette values the engine puts into its chart records. Screens build
// their platform colours (and dark-mode variants) from the same values.
namespace velmora {

struct RGBColor {
    double red = 0;
    double green = 0;
    double blue = 0;
    double alpha = 1;
};

namespace KuvoColor {
inline constexpr double alphaOne = 1.0;
inline constexpr RGBColor paletteDarkBlue{0.0, 0.26, 0.79, alphaOne};
inline constexpr RGBColor paletteLightBlue{0.56, 0.61, 1.0, alphaOne};
inline constexpr RGBColor paletteBlue{0.33, 0.43, 1.0, alphaOne};
inline constexpr RGBColor paletteGreen{0.0, 0.9, 0.46, alphaOne};
inline constexpr RGBColor paletteDarkGreen{0.0, 0.7, 0.28, alphaOne};
}  // namespace KuvoColor

// The rule of the palette in dark mode: the same hue, saturation and alpha
// with the brightness times the factor (not below 0); in light mode the
// value unchanged.
RGBColor adjustedForDarkMode(const RGBColor& value, double factor, bool dark);

// A palette value as the application shows it (darkened by 0.7 in dark
// mode). Each value is made once, at its first use from any thread, and
// kept: it follows the interface style of that first use, for the chart
// records and the screens alike.
const RGBColor& paletteColor(const RGBColor& value);

// "#rrggbb": each component times 255, truncated toward zero and held to
// 0...255, so extended-range colours still give six digits.
std::string hexString(const RGBColor& color);

}  // namespace velmora
