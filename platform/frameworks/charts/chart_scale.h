#pragma once
// An axis' range and ticks, worked out from its options and the data.

#include <optional>
#include <string>
#include <vector>

#include "platform/frameworks/charts/aa_options.h"

namespace platform::charts {

// The smallest and largest finite value along one axis.
struct Extent {
    double min = 0;
    double max = 0;
};

struct AxisScale {
    double min = 0;
    double max = 1;
    std::vector<double> ticks;       // major ticks, ascending, within min...max
    std::vector<double> minorTicks;  // between the major ones

    // Where a value lies along the axis: 0 at min, 1 at max.
    double fraction(double value) const { return (value - min) / (max - min); }
};

// The scale of an axis. Given positions, a given range or a tick interval
// win; otherwise the data's extent (0...1 without data) is widened to
// round ticks. includeZero keeps 0 in an automatic range (an area's base).
// A range without width is widened by 1 on each side. Ticks and minor
// ticks are capped in number; past the cap an axis gets round ticks.
AxisScale makeAxisScale(const AAAxis& axis, std::optional<Extent> data, bool includeZero);

// A number as an axis or tooltip shows it: at most 12 significant digits,
// no trailing zeros, the thousands separator between groups of the whole
// part ("12,345.5"); "-0" shows as "0".
std::string numberLabel(double value, const std::string& thousandsSeparator = ",");

}  // namespace platform::charts
