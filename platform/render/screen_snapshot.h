// Views and the screen drawn to PNG files, for a person to look at.
#pragma once

#include <filesystem>
#include <string>

namespace platform::ui {
class View;
}

namespace platform::render {

// The view and everything in it as the screen shows it, laid out first, at
// the scale (0: the main screen's) over the system background colour.
bool writeViewPNG(ui::View& view, const std::filesystem::path& file, double scale = 0, std::string* why = nullptr);

// The key window with whatever it presents (alerts, sheets, overlays):
// what a person would see. False, with the reason, without a key window.
bool writeScreenPNG(const std::filesystem::path& file, double scale = 0, std::string* why = nullptr);

}  // namespace platform::render
