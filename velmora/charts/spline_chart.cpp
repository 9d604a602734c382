// Trigonometric samples and the spline charts of functions and curves.
#include "velmora/charts/spline_chart.h"

#include <cmath>

#include "velmora/charts/chart_options.h"
#include "velmora/charts/library_chart_host.h"
#include "velmora/engine/math_operation.h"

namespace velmora {

using namespace platform::charts;

namespace {

struct FunctionLook {
    const char* seriesName;
    const char* title;
    const char* color;
    AAChartType chartType;
    double markerRadius;
};

FunctionLook lookOf(TrigonometricType type) {
    switch (type) {
        case TrigonometricType::sin: return {"sin(x)", "Sin", "#FF0000", AAChartType::spline, 0};
        case TrigonometricType::cos: return {"cos(x)", "Cos", "#000CFF", AAChartType::spline, 0};
        case TrigonometricType::tan: return {"tan(x)", "Tan", "#00E13A", AAChartType::scatter, 1.0};
    }
    return {"sin(x)", "Sin", "#FF0000", AAChartType::spline, 0};
}

double apply(TrigonometricType type, double x) {
    switch (type) {
        case TrigonometricType::sin: return std::sin(x);
        case TrigonometricType::cos: return std::cos(x);
        case TrigonometricType::tan: return std::tan(x);
    }
    return 0;
}

// The number of sample intervals: 4 when a quarter of the range is fine
// enough, else the first even number from 4 on whose intervals are; found
// directly rather than by counting up, and capped.
long sampleIntervals(double range, double limit) {
    const double r = std::fabs(range);
    if (r * 0.25 <= limit) return 4;
    double estimate = std::ceil(r / limit);
    if (!(estimate < static_cast<double>(SplineChartManager::maximumSampleIntervals))) {
        return SplineChartManager::maximumSampleIntervals;
    }
    long n = std::max(4L, static_cast<long>(estimate));
    if (n % 2 != 0) ++n;
    while (!(r / n <= limit) && n < SplineChartManager::maximumSampleIntervals) n += 2;
    while (n - 2 >= 4 && r / (n - 2) <= limit) n -= 2;
    return n;
}

// The range the samples cover (length plus |offset|), when it can be
// sampled: a number, and for the tangent, whose density grows with it,
// a positive one.
std::optional<double> samplingRange(const TrigonometricChartData& data) {
    if (!data.lengthOfGraph || !data.type) return std::nullopt;
    const double range = *data.lengthOfGraph + std::fabs(data.offset);
    if (!std::isfinite(range)) return std::nullopt;
    if (*data.type == TrigonometricType::tan && !(range > 0)) return std::nullopt;
    return range;
}

std::string shortName(std::string name) {
    const std::string from = "function";
    for (std::size_t at = name.find(from); at != std::string::npos; at = name.find(from, at + 4)) {
        name.replace(at, from.size(), "func");
    }
    return name;
}

}  // namespace

SplineChartView::SplineChartView() = default;

SplineChartView::SplineChartView(const platform::gfx::Rect& frame) : View(frame) {
    chartView_ = hostLibraryChart(*this, "SplineChartView");
}

std::vector<ChartPoint> SplineChartManager::trigonometricSamples(const TrigonometricChartData& data) {
    const auto sampled = samplingRange(data);
    if (!sampled) return {};
    const TrigonometricType type = *data.type;
    const double range = *sampled;
    const double density = type == TrigonometricType::tan ? range / M_PI * 200 : 32;
    const long n = sampleIntervals(range, M_PI / density);
    const double step = round(range / static_cast<double>(n), 3).value;
    const double omega = 2 * M_PI / data.periodLength;
    std::vector<ChartPoint> samples;
    samples.reserve(static_cast<std::size_t>(n) + 1);
    for (long i = 0; i <= n; ++i) {
        double x = step * static_cast<double>(i) + data.offset;
        samples.push_back({x, round(data.amplitude * apply(type, omega * x), 3).value});
    }
    return samples;
}

bool SplineChartView::draw(const TrigonometricChartData& data) {
    if (!chartView_ || !data.type) return false;
    auto samples = SplineChartManager::trigonometricSamples(data);
    if (samples.empty()) return false;
    const FunctionLook look = lookOf(*data.type);
    AAChartModel model = makeChartModel();
    model.chartType = look.chartType;
    model.title = look.title;
    model.colorsTheme = {look.color};
    model.markerRadius = look.markerRadius;
    AASeriesElement series;
    series.name = look.seriesName;
    series.data = std::move(samples);
    model.series = {std::move(series)};
    std::optional<double> yMin, yMax;
    if (*data.type == TrigonometricType::tan) {
        yMin = -2 * data.amplitude;
        yMax = 2 * data.amplitude;
    }
    chartView_->aa_drawChartWithChartOptions(
        makeChartOptions(model, "x", std::nullopt, std::nullopt, look.seriesName, yMin, yMax, true));
    return true;
}

bool SplineChartView::draw(const std::vector<std::shared_ptr<CommonSplineChartData>>& data) {
    if (!chartView_ || data.empty() || !data.front()) return false;
    AAChartModel model = makeChartModel();
    model.chartType = AAChartType::spline;
    model.title = data.front()->chartTitle;
    for (const auto& record : data) {
        if (!record) return false;
        model.colorsTheme.push_back(record->chartColorHexCode);
        AASeriesElement series;
        series.name = shortName(record->dataName);
        series.data = record->dataSet;
        model.series.push_back(std::move(series));
    }
    model.markerRadius = 0;
    chartView_->aa_drawChartWithChartOptions(
        makeChartOptions(model, "x", std::nullopt, std::nullopt, "y", std::nullopt, std::nullopt, false));
    return true;
}

std::shared_ptr<SplineChartView> SplineChartManager::makeTrigonometricChart(const TrigonometricChartData& data,
                                                                            const platform::gfx::Rect& frame) {
    if (!samplingRange(data)) return nullptr;
    auto view = std::make_shared<SplineChartView>(frame);
    view->draw(data);
    return view;
}

std::shared_ptr<SplineChartView> SplineChartManager::makeCommonSplineChart(
    const std::vector<std::shared_ptr<CommonSplineChartData>>& data, const platform::gfx::Rect& frame) {
    if (data.empty()) return nullptr;
    auto view = std::make_shared<SplineChartView>(frame);
    view->draw(data);
    return view;
}

}  // namespace velmora
