// Axis ranges, round steps, given and minor ticks, and numbers as labels.
#include "platform/frameworks/charts/chart_scale.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace platform::charts {

namespace {

constexpr double maximumTicks = 200;
constexpr double maximumMinorTicks = 500;
constexpr double targetTicks = 8;
constexpr double maximumBound = 1e300;

bool finite(std::optional<double> v) { return v && std::isfinite(*v); }

// A round step (1, 2, 2.5 or 5 times a power of ten) giving about the
// target number of intervals over the span.
double niceStep(double span) {
    double rough = span / targetTicks;
    double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
    for (double factor : {1.0, 2.0, 2.5, 5.0, 10.0}) {
        if (factor * magnitude >= rough) return factor * magnitude;
    }
    return 10 * magnitude;
}

// Multiples of the step within min...max, each computed as k × step so
// that no error piles up.
std::vector<double> multiples(double min, double max, double step) {
    std::vector<double> out;
    // float steps (a tick interval is a float) land a hair off their multiples
    double slack = step * 1e-6;
    double first = std::ceil((min - slack) / step);
    double last = std::floor((max + slack) / step);
    for (double k = first; k <= last; ++k) out.push_back(k * step);
    return out;
}

bool usableStep(double step, double span, double cap) {
    return std::isfinite(step) && step > 0 && span / step <= cap;
}

void roundTicks(AxisScale& scale, bool extendMin, bool extendMax) {
    double step = niceStep(scale.max - scale.min);
    if (!usableStep(step, scale.max - scale.min, maximumTicks)) return;
    if (extendMin) scale.min = std::floor(scale.min / step) * step;
    if (extendMax) scale.max = std::ceil(scale.max / step) * step;
    scale.ticks = multiples(scale.min, scale.max, step);
}

void givenTicks(AxisScale& scale, const std::vector<double>& positions) {
    for (double p : positions) {
        if (std::isfinite(p) && p >= scale.min && p <= scale.max) scale.ticks.push_back(p);
    }
    std::sort(scale.ticks.begin(), scale.ticks.end());
}

void minorTicks(AxisScale& scale, const AATickInterval& interval) {
    double step = 0;
    if (const float* f = std::get_if<float>(&interval)) {
        step = *f;
    } else if (std::holds_alternative<std::string>(interval) && scale.ticks.size() >= 2) {
        step = (scale.ticks[1] - scale.ticks[0]) / 5;
    }
    if (!usableStep(step, scale.max - scale.min, maximumMinorTicks)) return;
    for (double v : multiples(scale.min, scale.max, step)) {
        bool major = std::any_of(scale.ticks.begin(), scale.ticks.end(),
                                 [&](double t) { return std::fabs(t - v) <= step * 1e-6; });
        if (!major) scale.minorTicks.push_back(v);
    }
}

}  // namespace

AxisScale makeAxisScale(const AAAxis& axis, std::optional<Extent> data, bool includeZero) {
    AxisScale scale;
    Extent range = data.value_or(Extent{0, 1});
    if (includeZero && !finite(axis.min) && !finite(axis.max)) {
        range.min = std::min(range.min, 0.0);
        range.max = std::max(range.max, 0.0);
    }
    std::vector<double> positions;
    if (axis.tickPositions) {
        for (double p : *axis.tickPositions) {
            if (std::isfinite(p)) positions.push_back(p);
        }
    }
    if (!positions.empty()) {
        auto [lo, hi] = std::minmax_element(positions.begin(), positions.end());
        range.min = std::min(range.min, *lo);
        range.max = std::max(range.max, *hi);
    }
    // Bounds are held where their difference cannot overflow.
    scale.min = std::clamp(finite(axis.min) ? *axis.min : range.min, -maximumBound, maximumBound);
    scale.max = std::clamp(finite(axis.max) ? *axis.max : range.max, -maximumBound, maximumBound);
    if (scale.min > scale.max) std::swap(scale.min, scale.max);
    if (!(scale.max > scale.min)) {
        double centre = scale.min;
        double half = std::fabs(centre) > 1e15 ? std::fabs(centre) * 1e-3 : 1;
        scale.min = centre - half;
        scale.max = centre + half;
    }
    if (!positions.empty()) {
        givenTicks(scale, positions);
    } else if (axis.tickInterval && usableStep(*axis.tickInterval, scale.max - scale.min, maximumTicks)) {
        scale.ticks = multiples(scale.min, scale.max, *axis.tickInterval);
    } else {
        roundTicks(scale, !finite(axis.min), !finite(axis.max));
    }
    minorTicks(scale, axis.minorTickInterval);
    return scale;
}

std::string numberLabel(double value, const std::string& thousandsSeparator) {
    if (!std::isfinite(value)) return std::isnan(value) ? "NaN" : (value > 0 ? "∞" : "-∞");
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 12);
    std::string text(buf, ec == std::errc() ? end : buf);
    if (text == "-0") return "0";
    if (text.find('e') != std::string::npos) return text;
    std::size_t digitsStart = text[0] == '-' ? 1 : 0;
    std::size_t point = text.find('.');
    std::size_t wholeEnd = point == std::string::npos ? text.size() : point;
    for (std::size_t i = wholeEnd; i > digitsStart + 3; i -= 3) text.insert(i - 3, thousandsSeparator);
    return text;
}

}  // namespace platform::charts
