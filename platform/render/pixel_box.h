// Rectangles of device pixels, for deciding what a drawing can touch.
#pragma once

#include <algorithm>
#include <cmath>

#include "platform/gfx/geometry.h"

namespace platform::render::detail {

// Pixels [x0, x1) × [y0, y1); empty when either side has no length.
struct PixelBox {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;

    int width() const { return x1 - x0; }
    int height() const { return y1 - y0; }
    bool empty() const { return x1 <= x0 || y1 <= y0; }
    PixelBox intersected(const PixelBox& o) const {
        return {std::max(x0, o.x0), std::max(y0, o.y0), std::min(x1, o.x1), std::min(y1, o.y1)};
    }
    PixelBox united(const PixelBox& o) const {
        if (empty()) return o;
        if (o.empty()) return *this;
        return {std::min(x0, o.x0), std::min(y0, o.y0), std::max(x1, o.x1), std::max(y1, o.y1)};
    }
    PixelBox outset(int by) const { return {x0 - by, y0 - by, x1 + by, y1 + by}; }
    bool intersects(const PixelBox& o) const { return !intersected(o).empty(); }
};

// The pixels a rectangle covers once transformed, one pixel more on each
// side for anti-aliasing; none for a rectangle that is not finite.
inline PixelBox boxOf(const gfx::Rect& rect, const gfx::AffineTransform& t) {
    gfx::Point corners[4] = {t.apply({rect.minX(), rect.minY()}), t.apply({rect.maxX(), rect.minY()}),
                             t.apply({rect.minX(), rect.maxY()}), t.apply({rect.maxX(), rect.maxY()})};
    double x0 = corners[0].x, y0 = corners[0].y, x1 = x0, y1 = y0;
    for (const auto& p : corners) {
        x0 = std::min(x0, p.x);
        y0 = std::min(y0, p.y);
        x1 = std::max(x1, p.x);
        y1 = std::max(y1, p.y);
    }
    static constexpr double limit = 1e8;  // far beyond any surface; keeps the casts defined
    if (!std::isfinite(x0) || !std::isfinite(y0) || !std::isfinite(x1) || !std::isfinite(y1)) return {};
    auto clamp = [](double v) { return std::clamp(v, -limit, limit); };
    return {static_cast<int>(std::floor(clamp(x0))) - 1, static_cast<int>(std::floor(clamp(y0))) - 1,
            static_cast<int>(std::ceil(clamp(x1))) + 1, static_cast<int>(std::ceil(clamp(y1))) + 1};
}

}  // namespace platform::render::detail
