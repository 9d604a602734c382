#include "platform/gfx/geometry.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace platform::gfx {

double Rect::minX() const { return std::min(origin.x, origin.x + size.width); }
double Rect::minY() const { return std::min(origin.y, origin.y + size.height); }
double Rect::maxX() const { return std::max(origin.x, origin.x + size.width); }
double Rect::maxY() const { return std::max(origin.y, origin.y + size.height); }
double Rect::midX() const { return origin.x + size.width / 2; }
double Rect::midY() const { return origin.y + size.height / 2; }
double Rect::width() const { return std::fabs(size.width); }
double Rect::height() const { return std::fabs(size.height); }

bool Rect::isEmpty() const { return size.width == 0 || size.height == 0; }

bool Rect::contains(Point p) const {
    return p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY();
}

bool Rect::intersects(const Rect& other) const { return !intersection(other).isEmpty(); }

Rect Rect::standardized() const { return {minX(), minY(), width(), height()}; }

Rect Rect::offsetBy(double dx, double dy) const { return {origin.x + dx, origin.y + dy, size.width, size.height}; }

Rect Rect::insetBy(double dx, double dy) const {
    Rect r = standardized();
    double w = r.size.width - 2 * dx;
    double h = r.size.height - 2 * dy;
    if (w < 0 || h < 0) return {};
    return {r.origin.x + dx, r.origin.y + dy, w, h};
}

Rect Rect::intersection(const Rect& other) const {
    double x0 = std::max(minX(), other.minX());
    double y0 = std::max(minY(), other.minY());
    double x1 = std::min(maxX(), other.maxX());
    double y1 = std::min(maxY(), other.maxY());
    if (x1 <= x0 || y1 <= y0) return {};
    return {x0, y0, x1 - x0, y1 - y0};
}

Rect Rect::unionWith(const Rect& other) const {
    if (isEmpty()) return other.standardized();
    if (other.isEmpty()) return standardized();
    double x0 = std::min(minX(), other.minX());
    double y0 = std::min(minY(), other.minY());
    return {x0, y0, std::max(maxX(), other.maxX()) - x0, std::max(maxY(), other.maxY()) - y0};
}

Rect inset(const Rect& rect, const EdgeInsets& insets) {
    return {rect.origin.x + insets.left, rect.origin.y + insets.top,
            std::max(0.0, rect.size.width - insets.left - insets.right),
            std::max(0.0, rect.size.height - insets.top - insets.bottom)};
}

AffineTransform AffineTransform::translation(double dx, double dy) { return {1, 0, 0, 1, dx, dy}; }
AffineTransform AffineTransform::scale(double sx, double sy) { return {sx, 0, 0, sy, 0, 0}; }
AffineTransform AffineTransform::rotation(double radians) {
    double c = std::cos(radians), s = std::sin(radians);
    return {c, s, -s, c, 0, 0};
}

AffineTransform AffineTransform::concat(const AffineTransform& o) const {
    return {a * o.a + b * o.c,           a * o.b + b * o.d,
            c * o.a + d * o.c,           c * o.b + d * o.d,
            tx * o.a + ty * o.c + o.tx,  tx * o.b + ty * o.d + o.ty};
}

// The new operation applies first, in the transform's own space, as a
// graphics context does with its current transform.
AffineTransform AffineTransform::translated(double dx, double dy) const { return translation(dx, dy).concat(*this); }
AffineTransform AffineTransform::rotated(double radians) const { return rotation(radians).concat(*this); }
AffineTransform AffineTransform::scaled(double sx, double sy) const { return scale(sx, sy).concat(*this); }

Point AffineTransform::apply(Point p) const { return {a * p.x + c * p.y + tx, b * p.x + d * p.y + ty}; }

double AffineTransform::rotationAngle() const { return std::atan2(b, a); }

std::string formatNumber(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buffer[64];
    if (std::fabs(value) >= 1e12) {
        std::snprintf(buffer, sizeof buffer, "%g", value);
        return buffer;
    }
    double rounded = std::round(value * 10000) / 10000;
    if (rounded == 0) rounded = 0;  // no "-0"
    std::snprintf(buffer, sizeof buffer, "%.4f", rounded);
    std::string text = buffer;
    while (!text.empty() && text.back() == '0') text.pop_back();
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

std::string describe(const Rect& r) {
    return formatNumber(r.origin.x) + " " + formatNumber(r.origin.y) + " " + formatNumber(r.size.width) + " " +
           formatNumber(r.size.height);
}

std::string describe(const Point& p) { return formatNumber(p.x) + " " + formatNumber(p.y); }

std::string describe(const Size& s) { return formatNumber(s.width) + " " + formatNumber(s.height); }

}  // namespace platform::gfx
