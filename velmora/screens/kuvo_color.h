#pragma once

#include "platform/gfx/color.h"
#include "velmora/engine/palette.h"

// The application's colours as platform colours. The palette's values are
// the engine's (velmora/engine/palette.h); here they become platform
// colours, darkened in dark mode. Every constant is made once, at its first
// use, from any thread, and then kept: the palette's dark-mode adjustment and
// the choice of neutralGray follow the interface style of that first use.
namespace velmora::KuvoColor {

const platform::gfx::Color& tertiaryGroupedBackground();  // system tertiary grouped background
const platform::gfx::Color& disabledText();               // system grey
const platform::gfx::Color& label();                      // system label colour
const platform::gfx::Color& darkGray();                   // white 0.1
const platform::gfx::Color& lightGray();                  // white 0.9
const platform::gfx::Color& systemGray();                 // system grey
const platform::gfx::Color& cardShadow();                 // system label colour
const platform::gfx::Color& background();                 // system background
const platform::gfx::Color& neutralGray();                // system grey if dark at first use, else system grey 4
const platform::gfx::Color& inputFieldBackground();       // system background
const platform::gfx::Color& disabledInputFieldBackground();  // system fill

// A palette value as a platform colour (alpha alphaOne), adjusted for dark
// mode with the factor 0.7: color(KuvoColor::paletteDarkBlue).
const platform::gfx::Color& color(const RGBColor& paletteValue);
// The palette colour of a view tag: 101 dark blue, 102 light blue, 103 blue,
// 104 green, 105 dark green; none for other tags.
std::optional<platform::gfx::Color> paletteColorForTag(int tag);

// The pure rule behind the constants: the palette value as seen in a style.
platform::gfx::Color makePaletteColor(const RGBColor& value, platform::gfx::InterfaceStyle style);

}  // namespace velmora::KuvoColor

// Error constants live here too, in a namespace of their own (empty).
namespace velmora::KuvoError {}
