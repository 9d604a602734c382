#pragma once

#include <string>

namespace platform::gfx {

// Points, sizes and rectangles in points, y growing downwards as on screen.
struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point&) const = default;
};

struct Size {
    double width = 0;
    double height = 0;
    bool operator==(const Size&) const = default;
};

struct Rect {
    Point origin;
    Size size;

    Rect() = default;
    Rect(Point o, Size s) : origin(o), size(s) {}
    Rect(double x, double y, double width, double height) : origin{x, y}, size{width, height} {}

    double minX() const;
    double minY() const;
    double maxX() const;
    double maxY() const;
    double midX() const;
    double midY() const;
    double width() const;   // absolute, as for a rectangle given with a negative size
    double height() const;
    Point center() const { return {midX(), midY()}; }

    bool isEmpty() const;    // no area
    bool contains(Point p) const;
    bool intersects(const Rect& other) const;
    Rect standardized() const;  // the same area with a non-negative size
    Rect offsetBy(double dx, double dy) const;
    Rect insetBy(double dx, double dy) const;
    Rect intersection(const Rect& other) const;  // an empty rectangle at the origin when apart
    Rect unionWith(const Rect& other) const;

    bool operator==(const Rect&) const = default;
};

struct EdgeInsets {
    double top = 0;
    double left = 0;
    double bottom = 0;
    double right = 0;
    bool operator==(const EdgeInsets&) const = default;
};

Rect inset(const Rect& rect, const EdgeInsets& insets);

// A 2-D affine transform: x' = a·x + c·y + tx, y' = b·x + d·y + ty.
struct AffineTransform {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

    static AffineTransform identity() { return {}; }
    static AffineTransform translation(double dx, double dy);
    static AffineTransform scale(double sx, double sy);
    static AffineTransform rotation(double radians);

    bool isIdentity() const { return *this == AffineTransform{}; }
    // this transform first, then other
    AffineTransform concat(const AffineTransform& other) const;
    AffineTransform translated(double dx, double dy) const;
    AffineTransform rotated(double radians) const;
    AffineTransform scaled(double sx, double sy) const;
    Point apply(Point p) const;
    // Angle of the rotation part, in radians (atan2 of b and a).
    double rotationAngle() const;

    bool operator==(const AffineTransform&) const = default;
};

// Compact numbers for dumps and descriptions: integers without a fraction,
// others with up to four decimals and no trailing zeros.
std::string formatNumber(double value);
std::string describe(const Rect& rect);    // "x y w h"
std::string describe(const Point& point);  // "x y"
std::string describe(const Size& size);    // "w h"

}  // namespace platform::gfx
