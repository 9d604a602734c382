#pragma once
// The shapes of a series: its runs of points, their step corners, and the
// line, spline and area paths through them.

#include <string>
#include <vector>

#include "platform/gfx/path.h"

namespace platform::charts {

// The series' points in order, cut into runs wherever a point is not a
// pair of finite numbers (such a point is a gap in the line).
std::vector<std::vector<gfx::Point>> seriesRuns(const std::vector<std::vector<double>>& data);

// The corners a stepped line passes through: "left" holds each value until
// the next x, "center" changes halfway between the two x, "right" changes
// at the earlier x. Any other step (or none) leaves the points as they are.
std::vector<gfx::Point> steppedPoints(const std::vector<gfx::Point>& run, const std::string& step);

// Straight segments through the points.
gfx::Path linePath(const std::vector<gfx::Point>& points);
// A smooth curve through the points: cubic pieces whose tangents follow
// the neighbouring points (Catmull-Rom).
gfx::Path splinePath(const std::vector<gfx::Point>& points);
// The line closed down to the base line y = baseY: the filled part of an
// area series.
gfx::Path areaPath(const gfx::Path& line, const std::vector<gfx::Point>& points, double baseY);

}  // namespace platform::charts
