// Runs, step corners, and line, spline and area paths of a series.
#include "platform/frameworks/charts/series_path.h"

#include <cmath>

namespace platform::charts {

std::vector<std::vector<gfx::Point>> seriesRuns(const std::vector<std::vector<double>>& data) {
    std::vector<std::vector<gfx::Point>> runs(1);
    for (const auto& point : data) {
        bool usable = point.size() >= 2 && std::isfinite(point[0]) && std::isfinite(point[1]);
        if (usable) {
            runs.back().push_back({point[0], point[1]});
        } else if (!runs.back().empty()) {
            runs.emplace_back();
        }
    }
    if (runs.back().empty()) runs.pop_back();
    return runs;
}

std::vector<gfx::Point> steppedPoints(const std::vector<gfx::Point>& run, const std::string& step) {
    if (run.size() < 2 || (step != "left" && step != "center" && step != "right")) return run;
    std::vector<gfx::Point> out{run.front()};
    for (std::size_t i = 1; i < run.size(); ++i) {
        const gfx::Point& a = run[i - 1];
        const gfx::Point& b = run[i];
        if (step == "left") {
            out.push_back({b.x, a.y});
        } else if (step == "center") {
            double mid = (a.x + b.x) / 2;
            out.push_back({mid, a.y});
            out.push_back({mid, b.y});
        } else {
            out.push_back({a.x, b.y});
        }
        out.push_back(b);
    }
    return out;
}

gfx::Path linePath(const std::vector<gfx::Point>& points) {
    gfx::Path path;
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (i == 0) {
            path.moveTo(points[i]);
        } else {
            path.lineTo(points[i]);
        }
    }
    return path;
}

gfx::Path splinePath(const std::vector<gfx::Point>& points) {
    if (points.size() < 3) return linePath(points);
    gfx::Path path;
    path.moveTo(points.front());
    for (std::size_t i = 0; i + 1 < points.size(); ++i) {
        const gfx::Point& p0 = points[i == 0 ? 0 : i - 1];
        const gfx::Point& p1 = points[i];
        const gfx::Point& p2 = points[i + 1];
        const gfx::Point& p3 = points[i + 2 < points.size() ? i + 2 : i + 1];
        gfx::Point c1{p1.x + (p2.x - p0.x) / 6, p1.y + (p2.y - p0.y) / 6};
        gfx::Point c2{p2.x - (p3.x - p1.x) / 6, p2.y - (p3.y - p1.y) / 6};
        path.curveTo(c1, c2, p2);
    }
    return path;
}

gfx::Path areaPath(const gfx::Path& line, const std::vector<gfx::Point>& points, double baseY) {
    if (points.empty()) return {};
    gfx::Path path = line;
    path.lineTo({points.back().x, baseY});
    path.lineTo({points.front().x, baseY});
    path.close();
    return path;
}

}  // namespace platform::charts
