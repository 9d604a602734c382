// Our own drawings of the platform's symbol images and the navigation icons.
#pragma once

#include <cairo.h>

#include <string>

namespace platform::render::detail {

// The artwork is drawn on a square grid of this many units.
inline constexpr double kArtworkGrid = 24;

bool hasArtwork(const std::string& imageName);
// Draws the named artwork with the current source, in grid units; false
// when there is none of that name.
bool drawArtwork(cairo_t* cr, const std::string& imageName);

}  // namespace platform::render::detail
