#pragma once

#include <optional>
#include <string>

#include "platform/gfx/color.h"

namespace platform::gfx {
class Layer;
}
namespace platform::ui {
class View;
}
namespace platform::rating {
class StarRatingView;
}

namespace velmora {

// Styling shared by the pages: colours as "#rrggbb" texts for the charts,
// views styled by their tag and by their exact class, shadows. No state; the
// operations read the current interface style each time. Views are styled
// on the main thread.
class ColorManager {
public:
    // "#rrggbb" of the colour as seen now; none for a colour without a
    // red-green-blue form (a pattern). Components outside 0…1 are held to it.
    static std::optional<std::string> hexString(const platform::gfx::Color& color);
    // In dark mode, the colour with its brightness times the factor (not
    // below 0); otherwise the very same colour.
    static platform::gfx::Color adjustedForDarkMode(const platform::gfx::Color& color, double brightness);
    // The same for a given style rather than the current one.
    static platform::gfx::Color adjustedForDarkMode(const platform::gfx::Color& color, double brightness,
                                                    platform::gfx::InterfaceStyle style);
    // Palette background by tag (101…105), alpha for tag 200, title and tint
    // colours for buttons, and in light mode the grey shadow.
    static void styleByTag(platform::ui::View& view);
    // The tag's palette colour into the stars' filled colour; in light mode
    // the grey shadow on each sublayer.
    static void styleLayersByTag(platform::rating::StarRatingView& view);
    // Styles each direct subview by its exact class, entering plain views and
    // stack views.
    static void styleViewHierarchy(platform::ui::View& view);
    static void addCardShadow(platform::gfx::Layer& layer);
    static void applyCardShadow(platform::gfx::Layer& layer);
};

}  // namespace velmora
