// PNG files of rendered pixels.
#pragma once

#include <filesystem>
#include <string>

#include "platform/render/bitmap.h"

namespace platform::render {

// The bitmap as a PNG file's bytes: 8-bit RGBA, not interlaced. An empty
// bitmap gives no bytes (a PNG cannot be empty).
std::string encodePNG(const Bitmap& bitmap);

// Writes the PNG atomically (a reader sees the old file or the whole new
// one); false with the reason when the bitmap is empty or the file cannot
// be written.
bool writePNG(const Bitmap& bitmap, const std::filesystem::path& file, std::string* why = nullptr);

}  // namespace platform::render
