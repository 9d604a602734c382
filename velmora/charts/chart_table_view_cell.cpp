// The chart row of the solution page.
#include "velmora/charts/chart_table_view_cell.h"

#include <cmath>

#include "velmora/charts/chart_manager.h"
#include "velmora/charts/chart_nibs.h"

namespace velmora {

ChartTableViewCell::ChartTableViewCell()
    : TableViewCell(platform::ui::TableViewCellStyle::defaultStyle, cellIdentifier) {}

void ChartTableViewCell::configure(const ChartList& chartData, const platform::ui::View& hostView) {
    chartData_ = chartData;
    const auto content = contentView();
    auto old = content->subviews();  // removing changes the list
    for (const auto& view : old) view->removeFromSuperview();
    std::shared_ptr<platform::ui::View> chart;
    if (chartData.size() == 1) chart = ChartManager::makeChartViews(chartData.front(), hostView);
    if (!chart) chart = ChartManager::makeCommonSplineCharts(chartData, hostView);
    if (chart) content->addSubview(chart);
}

platform::ui::Nib ChartTableViewCell::nib() {
    registerChartNibs();
    return *platform::ui::Nib::named("ChartTableViewCell");
}

std::optional<double> ChartTableViewCell::rowHeight(const ChartList& chartData, double tableWidth) {
    if (chartData.empty() || !chartData.front() || !chartData.front()->frameRatio) return std::nullopt;
    const double ratio = *chartData.front()->frameRatio;
    if (!std::isfinite(ratio) || !(ratio > 0)) return std::nullopt;
    const double height = tableWidth / ratio;
    if (!std::isfinite(height)) return std::nullopt;
    return height;
}

}  // namespace velmora
