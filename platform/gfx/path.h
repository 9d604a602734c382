#pragma once

#include <string>
#include <vector>

#include "platform/gfx/geometry.h"

namespace platform::gfx {

// A vector path: a list of drawing elements, kept as given so that tests can
// read back what was drawn.
class Path {
public:
    struct Element {
        enum class Kind { move, line, quadCurve, curve, arc, close, rect, ellipse, roundedRect };
        Kind kind = Kind::move;
        std::vector<Point> points;    // end point last; control points first
        Rect rect;                    // rect, ellipse, roundedRect
        Point center;                 // arc
        double radius = 0;            // arc radius, rounded corner radius
        double startAngle = 0;        // arc, radians
        double endAngle = 0;
        bool clockwise = false;       // in the y-down screen sense of the platform
        bool operator==(const Element&) const = default;
    };

    static Path rect(const Rect& r);
    static Path ellipse(const Rect& r);
    static Path roundedRect(const Rect& r, double cornerRadius);
    static Path arc(Point center, double radius, double startAngle, double endAngle, bool clockwise);
    static Path line(Point from, Point to);

    Path& moveTo(Point p);
    Path& lineTo(Point p);
    Path& quadCurveTo(Point control, Point end);
    Path& curveTo(Point control1, Point control2, Point end);
    Path& addArc(Point center, double radius, double startAngle, double endAngle, bool clockwise);
    Path& addRect(const Rect& r);
    Path& addEllipse(const Rect& r);
    Path& addRoundedRect(const Rect& r, double cornerRadius);
    Path& addPath(const Path& other);
    Path& close();

    const std::vector<Element>& elements() const { return elements_; }
    bool isEmpty() const { return elements_.empty(); }
    Point currentPoint() const { return current_; }
    // The smallest rectangle holding every point the path passes through
    // (control points excluded; arcs sampled).
    Rect boundingBox() const;
    Path transformed(const AffineTransform& t) const;  // arcs become sampled lines
    std::string description() const;

    bool operator==(const Path&) const = default;

private:
    std::vector<Element> elements_;
    Point current_;
};

}  // namespace platform::gfx
