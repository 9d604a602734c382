// Views and the screen drawn to PNG files, for a person to look at.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace platform::ui {
class View;
}

namespace platform::render {

// The size of a written picture, in pixels.
struct PixelSize {
    int width = 0, height = 0;
    bool operator==(const PixelSize&) const = default;
};

// The view and everything in it as the screen shows it, laid out first, at
// the scale (0: the main screen's) over the system background colour. The
// picture's size; none, with the reason, when nothing could be written.
std::optional<PixelSize> writeViewPNG(ui::View& view, const std::filesystem::path& file, double scale = 0,
                                      std::string* why = nullptr);

// The key window with whatever it presents (alerts, sheets, overlays):
// what a person would see. None, with the reason, without a key window.
std::optional<PixelSize> writeScreenPNG(const std::filesystem::path& file, double scale = 0,
                                        std::string* why = nullptr);

}  // namespace platform::render
