#include "platform/frameworks/material/style.h"

#include <array>
#include <utility>

#include "platform/ui/label.h"
#include "platform/ui/view.h"

namespace platform::material {

namespace {

gfx::Image icon(const std::string& name) {
    return gfx::Image(gfx::Size{24, 24}, gfx::displayScale(), {}, "ic_" + name).withRenderingMode(
        gfx::RenderingMode::alwaysTemplate);
}

constexpr std::array<const char*, 8> iconNames{"menu", "edit", "clear", "check", "arrowBack", "share", "add", "close"};

gfx::Color hex(unsigned value) {
    return gfx::Color::rgb(((value >> 16) & 0xFF) / 255.0, ((value >> 8) & 0xFF) / 255.0, (value & 0xFF) / 255.0);
}

gfx::Color mix(const gfx::Color& c, double target, double amount) {
    gfx::RGBA v = *c.rgba(gfx::InterfaceStyle::light);
    auto m = [&](double x) { return x + (target - x) * amount; };
    return gfx::Color::rgb(m(v.red), m(v.green), m(v.blue));
}

palette::Family family(unsigned baseValue) {
    gfx::Color base = hex(baseValue);
    return {mix(base, 1, 0.88), mix(base, 1, 0.7), mix(base, 1, 0.52), mix(base, 1, 0.34), mix(base, 1, 0.16), base,
            mix(base, 0, 0.1),  mix(base, 0, 0.22), mix(base, 0, 0.36), mix(base, 0, 0.52)};
}

const char* depthKey = "material.depthPreset";

}  // namespace

gfx::Image Icon::menu() { return icon("menu"); }
gfx::Image Icon::edit() { return icon("edit"); }
gfx::Image Icon::clear() { return icon("clear"); }
gfx::Image Icon::check() { return icon("check"); }
gfx::Image Icon::arrowBack() { return icon("arrowBack"); }
gfx::Image Icon::share() { return icon("share"); }
gfx::Image Icon::add() { return icon("add"); }
gfx::Image Icon::close() { return icon("close"); }

std::optional<gfx::Image> Icon::named(const std::string& name) {
    for (const char* known : iconNames) {
        if (name == known) return icon(name);
    }
    return std::nullopt;
}

// Each family is made from its base colour: lighter shades mix it with
// white, darker ones with black.
const palette::Family& palette::blueGrey() {
    static const Family f = family(0x5f7d8c);
    return f;
}

const palette::Family& palette::grey() {
    static const Family f = family(0x9e9e9e);
    return f;
}

const palette::Family& palette::blue() {
    static const Family f = family(0x2196f2);
    return f;
}

const palette::Family& palette::green() {
    static const Family f = family(0x4caf50);
    return f;
}

const palette::Family& palette::red() {
    static const Family f = family(0xf44336);
    return f;
}

void setDepthPreset(ui::View& view, DepthPreset depth) {
    view.setAssociatedObject(depthKey, depth);
    auto& layer = *view.layer();
    int level = static_cast<int>(depth);
    if (level == 0) {
        layer.setShadowOpacity(0);
        layer.setShadowRadius(0);
        layer.setShadowOffset({0, 0});
        return;
    }
    layer.setShadowColor(gfx::Color::black());
    layer.setShadowOpacity(0.3);
    layer.setShadowOffset({0, static_cast<double>(level)});
    layer.setShadowRadius(static_cast<double>(level));
}

DepthPreset depthPreset(const ui::View& view) {
    if (const std::any* stored = view.associatedObject(depthKey)) {
        if (const auto* d = std::any_cast<DepthPreset>(stored)) return *d;
    }
    return DepthPreset::none;
}

double fontSize(const ui::Label& label) { return label.font().pointSize(); }

void setFontSize(ui::Label& label, double size) { label.setFont(label.font().withSize(size)); }

gfx::Point center(const gfx::Rect& rect) { return {rect.midX(), rect.midY()}; }

}  // namespace platform::material
