// The distribution function and plain lines as library line charts.
#include "velmora/charts/line_chart.h"

#include <cmath>

#include "velmora/charts/chart_options.h"
#include "velmora/charts/library_chart_host.h"

namespace velmora {

using namespace platform::charts;

LineChartView::LineChartView() = default;

LineChartView::LineChartView(const platform::gfx::Rect& frame) : View(frame) {
    chartView_ = hostLibraryChart(*this, "LineChartView");
}

std::optional<std::vector<ChartPoint>> LineChartManager::makeDistributionSeries(
    const DistributionFunctionChartData& data) {
    if (data.dataSet.empty() || data.dataSet.front().empty() || data.dataSet.back().empty()) return std::nullopt;
    const double start = data.isConverse ? 1 : 0;
    const double end = data.isConverse ? 0 : 1;
    std::vector<ChartPoint> series{{data.dataSet.front()[0] - 1, start}};
    series.insert(series.end(), data.dataSet.begin(), data.dataSet.end());
    series.push_back({data.dataSet.back()[0] + 1, end});
    return series;
}

bool LineChartView::draw(const DistributionFunctionChartData& data) {
    auto padded = LineChartManager::makeDistributionSeries(data);
    if (!chartView_ || !padded) return false;
    AAChartModel model = makeChartModel();
    model.chartType = AAChartType::line;
    model.title = data.chartTitle;
    model.colorsTheme = {data.chartColorHexCode};
    AASeriesElement jumps;  // the dots at the jumps
    jumps.name = data.dataName;
    jumps.data = data.dataSet;
    jumps.step = "left";
    jumps.marker = AAMarker{5.0, std::nullopt};
    AASeriesElement steps;
    steps.name = data.dataName;
    steps.data = std::move(*padded);
    steps.step = "left";
    model.series = {std::move(jumps), std::move(steps)};
    model.markerRadius = 0;
    chartView_->aa_drawChartWithChartOptions(makeChartOptions(model, data.xAxisName, std::nullopt, std::nullopt,
                                                              data.dataName, std::nullopt, std::nullopt, false));
    return true;
}

bool LineChartView::draw(const LineChartData& data) {
    if (!chartView_) return false;
    AAChartModel model = makeChartModel();
    model.chartType = AAChartType::line;
    model.title = data.chartTitle;
    model.colorsTheme = {data.chartColorHexCode};
    model.markerRadius = 0;
    AASeriesElement line;
    line.name = data.dataName;
    line.data = {data.startPoint, data.endPoint};
    AASeriesElement marked;
    marked.name = data.dataName;
    marked.data = data.markedPoints;
    marked.marker = AAMarker{5.0, 0.0};
    model.series = {std::move(line), std::move(marked)};
    const double limit = std::fabs(data.axisLimit);
    chartView_->aa_drawChartWithChartOptions(makeChartOptions(model, "x", -limit, limit, data.dataName, -limit, limit,
                                                              false));
    return true;
}

std::shared_ptr<LineChartView> LineChartManager::makeDistributionFunctionChart(const DistributionFunctionChartData& data,
                                                                               const platform::gfx::Rect& frame) {
    if (!makeDistributionSeries(data)) return nullptr;
    auto view = std::make_shared<LineChartView>(frame);
    view->draw(data);
    return view;
}

std::shared_ptr<LineChartView> LineChartManager::makeLineChart(const LineChartData& data,
                                                               const platform::gfx::Rect& frame) {
    auto view = std::make_shared<LineChartView>(frame);
    view->draw(data);
    return view;
}

}  // namespace velmora
