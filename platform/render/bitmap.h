// Pixels of a rendered image.
#pragma once

#include <cstdint>
#include <vector>

namespace platform::render {

// One pixel as straight (not premultiplied) 8-bit red, green, blue, alpha.
struct Pixel {
    std::uint8_t red = 0, green = 0, blue = 0, alpha = 0;
    bool operator==(const Pixel&) const = default;
};

// A rectangle of pixels, transparent when made. Rows are stored top first,
// each pixel a premultiplied 32-bit ARGB word in native byte order (the
// layout the drawing library writes), so rows can be handed to it directly.
class Bitmap {
public:
    Bitmap() = default;
    Bitmap(int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }
    bool empty() const { return width_ <= 0 || height_ <= 0; }

    // Outside the bitmap: a transparent pixel.
    Pixel pixel(int x, int y) const;
    std::uint32_t* row(int y) { return words_.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width_); }
    const std::uint32_t* row(int y) const {
        return words_.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width_);
    }

private:
    int width_ = 0;
    int height_ = 0;
    std::vector<std::uint32_t> words_;
};

// The straight colour of a premultiplied ARGB word.
Pixel unpremultiply(std::uint32_t argb);

}  // namespace platform::render
