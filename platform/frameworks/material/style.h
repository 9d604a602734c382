#pragma once

#include <optional>
#include <string>

#include "platform/gfx/color.h"
#include "platform/gfx/geometry.h"
#include "platform/gfx/image.h"

namespace platform::ui {
class Label;
class View;
}  // namespace platform::ui

// The navigation framework's stand-in: containers (drawer, toolbar, tabs),
// buttons, icons, its colour palette and view extras.
namespace platform::material {

// The framework's icons: template images of 24 points, named after the icon.
struct Icon {
    static gfx::Image menu();
    static gfx::Image edit();
    static gfx::Image clear();
    static gfx::Image check();
    static gfx::Image arrowBack();
    static gfx::Image share();
    static gfx::Image add();
    static gfx::Image close();
    // By name ("arrowBack", "check", ...); none for an unknown name.
    static std::optional<gfx::Image> named(const std::string& name);
};

// The framework's colour palette: families with lighter and darker shades.
namespace palette {
struct Family {
    gfx::Color lighten5, lighten4, lighten3, lighten2, lighten1, base, darken1, darken2, darken3, darken4;
};
const Family& blueGrey();
const Family& grey();
const Family& blue();
const Family& green();
const Family& red();
}  // namespace palette

// Shadow depths of views.
enum class DepthPreset { none = 0, depth1 = 1, depth2 = 2, depth3 = 3, depth4 = 4, depth5 = 5 };
void setDepthPreset(ui::View& view, DepthPreset depth);  // sets the layer's shadow
DepthPreset depthPreset(const ui::View& view);

// A label's font size (the font's name kept).
double fontSize(const ui::Label& label);
void setFontSize(ui::Label& label, double size);

// The motion library's centre of a rectangle.
gfx::Point center(const gfx::Rect& rect);

}  // namespace platform::material
