// Chart frames, the view per record class, list charts and unit-circle restarts.
#include "velmora/charts/chart_manager.h"

#include <algorithm>
#include <cmath>

#include "velmora/charts/area_chart.h"
#include "velmora/charts/chart_table_view_cell.h"
#include "velmora/charts/distribution_function_presentation_view.h"
#include "velmora/charts/line_chart.h"
#include "velmora/charts/spline_chart.h"
#include "velmora/charts/tree_chart_manager.h"
#include "velmora/charts/unit_circle_chart_view.h"

namespace velmora {

using platform::gfx::Rect;
using platform::ui::View;

namespace {

template <class T>
bool every(const ChartList& list) {
    return std::all_of(list.begin(), list.end(), [](const auto& r) { return dynamic_cast<const T*>(r.get()); });
}

std::shared_ptr<View> distributionFunctionView(const DistributionFunctionChartData& data, const Rect& frame) {
    if (!data.isPresentationView) return LineChartManager::makeDistributionFunctionChart(data, frame);
    // written out with the last value of the first point; nothing to write without one
    if (data.dataSet.empty() || data.dataSet.front().empty()) return nullptr;
    return std::make_shared<DistributionFunctionPresentationView>(frame, data.dataSet.front().back());
}

}  // namespace

std::optional<Rect> ChartManager::chartFrame(const ChartData& record, const View& reference) {
    if (!record.frameRatio) return std::nullopt;
    const double ratio = *record.frameRatio;
    const double width = reference.frame().width();
    if (!std::isfinite(ratio) || !(ratio > 0) || !std::isfinite(width)) return std::nullopt;
    const Rect frame(0.05 * width, 0.05 * width / ratio, 0.9 * width, 0.9 * width / ratio);
    if (!std::isfinite(frame.minY()) || !std::isfinite(frame.height())) return std::nullopt;
    return frame;
}

std::shared_ptr<View> ChartManager::makeChartViews(const std::shared_ptr<ChartData>& record, const View& reference) {
    if (!record) return nullptr;
    auto frame = chartFrame(*record, reference);
    if (!frame) return nullptr;
    if (auto* line = dynamic_cast<const LineChartData*>(record.get())) {
        return LineChartManager::makeLineChart(*line, *frame);
    }
    if (auto circle = std::dynamic_pointer_cast<UnitCircleChartData>(record)) {
        auto view = std::make_shared<UnitCircleChartView>(*frame);
        view->setUnitCircleChartData(circle);
        return view;
    }
    if (auto* trigonometric = dynamic_cast<const TrigonometricChartData*>(record.get())) {
        return SplineChartManager::makeTrigonometricChart(*trigonometric, *frame);
    }
    if (auto* histogram = dynamic_cast<const HistogramChartData*>(record.get())) {
        return AreaChartManager::makeAreaChart(*histogram, *frame);
    }
    if (auto* function = dynamic_cast<const DistributionFunctionChartData*>(record.get())) {
        return distributionFunctionView(*function, *frame);
    }
    if (auto* tree = dynamic_cast<const BernoulliDistributionTreeChartData*>(record.get())) {
        return TreeChartManager::makeTreeChart(*tree, *frame);
    }
    return nullptr;
}

std::shared_ptr<View> ChartManager::makeCommonSplineCharts(const ChartList& records, const View& reference) {
    if (records.empty() || !records.front()) return nullptr;
    auto frame = chartFrame(*records.front(), reference);
    if (!frame || !every<CommonSplineChartData>(records)) return nullptr;
    std::vector<std::shared_ptr<CommonSplineChartData>> splines;
    for (const auto& record : records) splines.push_back(std::static_pointer_cast<CommonSplineChartData>(record));
    return SplineChartManager::makeCommonSplineChart(splines, *frame);
}

void ChartManager::restartUnitCircleAnimations(const ChartTableViewCell& cell) {
    const ChartList& list = cell.chartData();
    if (every<LineChartData>(list) || !every<UnitCircleChartData>(list)) return;
    const auto& views = cell.contentView()->subviews();
    if (views.empty()) return;
    if (auto circle = std::dynamic_pointer_cast<UnitCircleChartView>(views.front())) circle->startAnimation();
}

}  // namespace velmora
