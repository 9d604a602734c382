#include "platform/gfx/path.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace platform::gfx {

namespace {

Point arcPoint(Point c, double r, double angle) { return {c.x + r * std::cos(angle), c.y + r * std::sin(angle)}; }

// Points along an arc, in drawing order. The platform measures angles
// clockwise on screen (y down) for increasing values; "clockwise" drawing
// goes from start to end through increasing angles.
std::vector<Point> sampleArc(const Path::Element& e) {
    const double twoPi = 2 * std::numbers::pi;
    double start = std::isfinite(e.startAngle) ? e.startAngle : 0;
    double delta = e.endAngle - e.startAngle;
    double sweep = std::isfinite(delta) ? std::fmod(delta, twoPi) : 0;
    if (e.clockwise && sweep < 0) sweep += twoPi;
    if (!e.clockwise && sweep > 0) sweep -= twoPi;
    if (std::isfinite(delta) && std::fabs(delta) >= twoPi) sweep = e.clockwise ? twoPi : -twoPi;
    int steps = std::max(2, static_cast<int>(std::ceil(std::fabs(sweep) / (std::numbers::pi / 32))));
    std::vector<Point> points;
    for (int i = 0; i <= steps; ++i) points.push_back(arcPoint(e.center, e.radius, start + sweep * i / steps));
    return points;
}

std::vector<Point> outline(const Path::Element& e) {
    switch (e.kind) {
        case Path::Element::Kind::arc: return sampleArc(e);
        case Path::Element::Kind::rect:
        case Path::Element::Kind::ellipse:
        case Path::Element::Kind::roundedRect:
            return {e.rect.origin, {e.rect.maxX(), e.rect.maxY()}};
        case Path::Element::Kind::close: return {};
        default: return e.points.empty() ? std::vector<Point>{} : std::vector<Point>{e.points.back()};
    }
}

}  // namespace

Path Path::rect(const Rect& r) { return Path().addRect(r); }
Path Path::ellipse(const Rect& r) { return Path().addEllipse(r); }
Path Path::roundedRect(const Rect& r, double cornerRadius) { return Path().addRoundedRect(r, cornerRadius); }
Path Path::arc(Point center, double radius, double startAngle, double endAngle, bool clockwise) {
    return Path().addArc(center, radius, startAngle, endAngle, clockwise);
}
Path Path::line(Point from, Point to) { return Path().moveTo(from).lineTo(to); }

Path& Path::moveTo(Point p) {
    elements_.push_back({Element::Kind::move, {p}, {}, {}, 0, 0, 0, false});
    current_ = p;
    return *this;
}

Path& Path::lineTo(Point p) {
    elements_.push_back({Element::Kind::line, {p}, {}, {}, 0, 0, 0, false});
    current_ = p;
    return *this;
}

Path& Path::quadCurveTo(Point control, Point end) {
    elements_.push_back({Element::Kind::quadCurve, {control, end}, {}, {}, 0, 0, 0, false});
    current_ = end;
    return *this;
}

Path& Path::curveTo(Point control1, Point control2, Point end) {
    elements_.push_back({Element::Kind::curve, {control1, control2, end}, {}, {}, 0, 0, 0, false});
    current_ = end;
    return *this;
}

Path& Path::addArc(Point center, double radius, double startAngle, double endAngle, bool clockwise) {
    Element e{Element::Kind::arc, {}, {}, center, radius, startAngle, endAngle, clockwise};
    elements_.push_back(e);
    current_ = arcPoint(center, radius, endAngle);
    return *this;
}

Path& Path::addRect(const Rect& r) {
    elements_.push_back({Element::Kind::rect, {}, r.standardized(), {}, 0, 0, 0, false});
    current_ = r.origin;
    return *this;
}

Path& Path::addEllipse(const Rect& r) {
    elements_.push_back({Element::Kind::ellipse, {}, r.standardized(), {}, 0, 0, 0, false});
    current_ = {r.maxX(), r.midY()};
    return *this;
}

Path& Path::addRoundedRect(const Rect& r, double cornerRadius) {
    elements_.push_back({Element::Kind::roundedRect, {}, r.standardized(), {}, cornerRadius, 0, 0, false});
    current_ = r.origin;
    return *this;
}

Path& Path::addPath(const Path& other) {
    elements_.insert(elements_.end(), other.elements_.begin(), other.elements_.end());
    if (!other.elements_.empty()) current_ = other.current_;
    return *this;
}

Path& Path::close() {
    elements_.push_back({Element::Kind::close, {}, {}, {}, 0, 0, 0, false});
    return *this;
}

Rect Path::boundingBox() const {
    double x0 = std::numeric_limits<double>::infinity(), y0 = x0;
    double x1 = -x0, y1 = -x0;
    for (const auto& e : elements_) {
        for (Point p : outline(e)) {
            x0 = std::min(x0, p.x);
            y0 = std::min(y0, p.y);
            x1 = std::max(x1, p.x);
            y1 = std::max(y1, p.y);
        }
    }
    if (x0 > x1) return {};
    return {x0, y0, x1 - x0, y1 - y0};
}

Path Path::transformed(const AffineTransform& t) const {
    Path out;
    for (const auto& e : elements_) {
        switch (e.kind) {
            case Element::Kind::arc: {
                auto points = sampleArc(e);
                for (std::size_t i = 0; i < points.size(); ++i) {
                    Point p = t.apply(points[i]);
                    if (i == 0 && out.elements_.empty()) {
                        out.moveTo(p);
                    } else {
                        out.lineTo(p);
                    }
                }
                break;
            }
            case Element::Kind::rect:
            case Element::Kind::ellipse:
            case Element::Kind::roundedRect: {
                Element copy = e;
                Point a = t.apply(e.rect.origin), b = t.apply({e.rect.maxX(), e.rect.maxY()});
                copy.rect = Rect(a, Size{b.x - a.x, b.y - a.y}).standardized();
                out.elements_.push_back(copy);
                break;
            }
            default: {
                Element copy = e;
                for (auto& p : copy.points) p = t.apply(p);
                out.elements_.push_back(copy);
                if (!copy.points.empty()) out.current_ = copy.points.back();
            }
        }
    }
    return out;
}

std::string Path::description() const {
    std::string text;
    auto add = [&](const std::string& part) {
        if (!text.empty()) text += " ";
        text += part;
    };
    for (const auto& e : elements_) {
        switch (e.kind) {
            case Element::Kind::move: add("M " + describe(e.points.back())); break;
            case Element::Kind::line: add("L " + describe(e.points.back())); break;
            case Element::Kind::quadCurve: add("Q " + describe(e.points[0]) + " " + describe(e.points[1])); break;
            case Element::Kind::curve:
                add("C " + describe(e.points[0]) + " " + describe(e.points[1]) + " " + describe(e.points[2]));
                break;
            case Element::Kind::arc:
                add("A " + describe(e.center) + " r" + formatNumber(e.radius) + " " + formatNumber(e.startAngle) + ".." +
                    formatNumber(e.endAngle) + (e.clockwise ? " cw" : " ccw"));
                break;
            case Element::Kind::close: add("Z"); break;
            case Element::Kind::rect: add("R " + describe(e.rect)); break;
            case Element::Kind::ellipse: add("E " + describe(e.rect)); break;
            case Element::Kind::roundedRect: add("RR " + describe(e.rect) + " r" + formatNumber(e.radius)); break;
        }
    }
    return text;
}

}  // namespace platform::gfx
