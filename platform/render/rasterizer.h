// Recorded images drawn into pixels and written as PNG files.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/gfx/color.h"
#include "platform/gfx/image.h"
#include "platform/render/bitmap.h"

namespace platform::render {

struct RenderOptions {
    double scale = 0;                       // pixels per point; 0: the image's own scale
    std::optional<gfx::Color> background;   // painted under the image; none: transparent
};

// The largest image drawn, in pixels; larger ones are refused.
inline constexpr double kMaximumPixels = 160e6;

// The image drawn at the scale: ceil(points × scale) pixels each way, its
// drawing replayed (shapes, paths, clips, text, nested images, layer
// shadows and masks), a named image without a drawing taken from our
// symbol artwork or its bundle file. Dynamic colours resolve against the
// current interface style. None, with the reason, for an image without
// pixels or one too large.
std::optional<Bitmap> rasterize(const gfx::Image& image, const RenderOptions& options = {},
                                std::string* why = nullptr);

// rasterize, then the PNG file written atomically.
bool writePNG(const gfx::Image& image, const std::filesystem::path& file, const RenderOptions& options = {},
              std::string* why = nullptr);

// The image as PNG bytes; none when it cannot be drawn.
std::optional<std::string> pngData(const gfx::Image& image, const RenderOptions& options = {});

}  // namespace platform::render
