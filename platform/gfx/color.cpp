#include "platform/gfx/color.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/gfx/geometry.h"

namespace platform::gfx {

Color Color::rgb(double red, double green, double blue, double alpha) {
    Color c;
    c.components_ = {red, green, blue, alpha};
    return c;
}

Color Color::white(double white, double alpha) { return rgb(white, white, white, alpha); }

Color Color::hsb(double hue, double saturation, double brightness, double alpha) {
    RGBA c = toRGBA({hue, saturation, brightness, alpha});
    return rgb(c.red, c.green, c.blue, c.alpha);
}

Color Color::dynamic(const Color& light, const Color& dark, std::string name) {
    Color c;
    c.kind_ = Kind::dynamic;
    c.variants_ = std::make_shared<const std::pair<Color, Color>>(light.resolved(InterfaceStyle::light),
                                                                  dark.resolved(InterfaceStyle::dark));
    c.name_ = std::move(name);
    return c;
}

Color Color::pattern(std::string imageName) {
    Color c;
    c.kind_ = Kind::pattern;
    c.components_ = {0, 0, 0, 1};
    c.name_ = std::move(imageName);
    return c;
}

namespace {
Color named(Color c, std::string name) {
    return Color::dynamic(c, c, std::move(name));
}
Color named(Color light, Color dark, std::string name) {
    return Color::dynamic(light, dark, std::move(name));
}
}  // namespace

Color Color::clear() { return rgb(0, 0, 0, 0); }
Color Color::black() { return rgb(0, 0, 0, 1); }
Color Color::white() { return rgb(1, 1, 1, 1); }
Color Color::red() { return rgb(1, 0, 0, 1); }

// Our own values for the named colours: plausible greys and tints with a
// light and a dark variant.
Color Color::label() { return named(black(), white(), "label"); }
Color Color::secondaryLabel() {
    return named(rgb(0.24, 0.24, 0.26, 0.6), rgb(0.92, 0.92, 0.96, 0.6), "secondaryLabel");
}
Color Color::systemBackground() { return named(white(), black(), "systemBackground"); }
Color Color::secondarySystemBackground() {
    return named(rgb(0.95, 0.95, 0.97), rgb(0.11, 0.11, 0.12), "secondarySystemBackground");
}
Color Color::tertiarySystemGroupedBackground() {
    return named(rgb(0.95, 0.95, 0.97), rgb(0.17, 0.17, 0.18), "tertiarySystemGroupedBackground");
}
Color Color::systemFill() { return named(rgb(0.47, 0.47, 0.5, 0.2), rgb(0.47, 0.47, 0.5, 0.36), "systemFill"); }
Color Color::systemGray() { return named(rgb(0.56, 0.56, 0.58), "systemGray"); }
Color Color::systemGray4() { return named(rgb(0.82, 0.82, 0.84), rgb(0.23, 0.23, 0.24), "systemGray4"); }
Color Color::systemRed() { return named(rgb(1.0, 0.23, 0.19), rgb(1.0, 0.27, 0.23), "systemRed"); }
Color Color::systemOrange() { return named(rgb(1.0, 0.58, 0.0), rgb(1.0, 0.62, 0.04), "systemOrange"); }
Color Color::systemGreen() { return named(rgb(0.2, 0.78, 0.35), rgb(0.19, 0.82, 0.35), "systemGreen"); }
Color Color::systemBlue() { return named(rgb(0.0, 0.48, 1.0), rgb(0.04, 0.52, 1.0), "systemBlue"); }

Color Color::resolved(InterfaceStyle style) const {
    if (kind_ != Kind::dynamic) return *this;
    return style == InterfaceStyle::dark ? variants_->second : variants_->first;
}

std::optional<RGBA> Color::rgba(InterfaceStyle style) const {
    Color plain = resolved(style);
    if (plain.kind_ == Kind::pattern) return std::nullopt;
    return plain.components_;
}

std::optional<RGBA> Color::rgba() const { return rgba(interfaceStyle()); }

std::optional<HSBA> Color::hsba() const {
    auto c = rgba();
    if (!c) return std::nullopt;
    return toHSBA(*c);
}

std::optional<double> Color::alpha() const {
    Color plain = resolved();
    if (plain.kind_ == Kind::pattern) return 1.0;
    return plain.components_.alpha;
}

Color Color::withAlphaComponent(double alpha) const {
    if (kind_ == Kind::dynamic) {
        return dynamic(variants_->first.withAlphaComponent(alpha), variants_->second.withAlphaComponent(alpha));
    }
    Color c = *this;
    c.components_.alpha = alpha;
    if (kind_ == Kind::rgb) c.name_.clear();
    return c;
}

std::string Color::description() const {
    if (kind_ == Kind::pattern) return "pattern(" + name_ + ")";
    if (kind_ == Kind::dynamic && !name_.empty()) return name_;
    RGBA c = *rgba();
    auto byte = [](double v) {
        if (!(v > 0)) return 0;
        if (v >= 1) return 255;
        return static_cast<int>(v * 255 + 0.5);
    };
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "#%02x%02x%02x", byte(c.red), byte(c.green), byte(c.blue));
    std::string text = buffer;
    if (c.alpha != 1) text += "," + formatNumber(c.alpha);
    return text;
}

bool operator==(const Color& a, const Color& b) {
    if (a.kind_ != b.kind_ || a.name_ != b.name_) return false;
    if (a.kind_ == Color::Kind::dynamic) return *a.variants_ == *b.variants_;
    return a.components_ == b.components_;
}

HSBA toHSBA(const RGBA& c) {
    double maxValue = std::max({c.red, c.green, c.blue});
    double minValue = std::min({c.red, c.green, c.blue});
    double delta = maxValue - minValue;
    HSBA out{0, 0, maxValue, c.alpha};
    if (maxValue > 0) out.saturation = delta / maxValue;
    if (delta > 0) {
        double h;
        if (maxValue == c.red) {
            h = (c.green - c.blue) / delta;
        } else if (maxValue == c.green) {
            h = 2 + (c.blue - c.red) / delta;
        } else {
            h = 4 + (c.red - c.green) / delta;
        }
        h /= 6;
        if (h < 0) h += 1;
        out.hue = h;
    }
    return out;
}

RGBA toRGBA(const HSBA& c) {
    double h = std::isfinite(c.hue) ? c.hue - std::floor(c.hue) : 0.0;  // hue wraps around
    double s = std::clamp(c.saturation, 0.0, 1.0);
    double v = c.brightness;
    if (s == 0) return {v, v, v, c.alpha};
    double sector = h * 6;
    int i = static_cast<int>(std::floor(sector)) % 6;
    double f = sector - std::floor(sector);
    double p = v * (1 - s), q = v * (1 - s * f), t = v * (1 - s * (1 - f));
    switch (i) {
        case 0: return {v, t, p, c.alpha};
        case 1: return {q, v, p, c.alpha};
        case 2: return {p, v, t, c.alpha};
        case 3: return {p, q, v, c.alpha};
        case 4: return {t, p, v, c.alpha};
        default: return {v, p, q, c.alpha};
    }
}

}  // namespace platform::gfx
