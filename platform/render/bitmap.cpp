// Pixels of a rendered image.
#include "platform/render/bitmap.h"

namespace platform::render {

Bitmap::Bitmap(int width, int height)
    : width_(width > 0 ? width : 0), height_(height > 0 ? height : 0),
      words_(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_), 0u) {}

Pixel Bitmap::pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return {};
    return unpremultiply(row(y)[x]);
}

Pixel unpremultiply(std::uint32_t argb) {
    auto alpha = static_cast<std::uint8_t>(argb >> 24);
    if (alpha == 0) return {};
    auto straight = [alpha](std::uint32_t premultiplied) {
        return static_cast<std::uint8_t>((premultiplied * 255 + alpha / 2) / alpha);
    };
    return {straight((argb >> 16) & 0xFF), straight((argb >> 8) & 0xFF), straight(argb & 0xFF), alpha};
}

}  // namespace platform::render
