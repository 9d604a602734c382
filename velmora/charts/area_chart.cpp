// The histogram as a stepped area chart.
#include "velmora/charts/area_chart.h"

#include <cmath>

#include "velmora/charts/chart_options.h"
#include "velmora/charts/chart_style.h"

namespace velmora {

using namespace platform::charts;
namespace autoresizing = platform::ui::autoresizing;

AreaChartView::AreaChartView() = default;

AreaChartView::AreaChartView(const platform::gfx::Rect& frame) : View(frame) {
    setAutoresizingMask(autoresizing::flexibleWidth | autoresizing::flexibleHeight);
    chartView_ = std::make_shared<AAChartView>(platform::gfx::Rect(0, 0, frame.width(), frame.height()));
    chartView_->setScrollEnabled(false);
    chartView_->setIsClearBackgroundColor(true);
    setBackgroundColor(platform::gfx::Color::systemBackground());
    applyChartCardShadow(*chartView_->layer());
    addSubview(chartView_);
}

bool AreaChartManager::makeAreaSeries(const HistogramChartData::ColorTheme& theme, const HistogramChartData& data,
                                      std::vector<AASeriesElement>& elements) {
    std::optional<double> xmin, xmax;
    for (const auto& point : theme.dataValues) {
        double x = point.empty() ? 0 : point[0];  // a point without values stands at 0
        if (!std::isfinite(x)) continue;
        xmin = xmin ? std::min(*xmin, x) : x;
        xmax = xmax ? std::max(*xmax, x) : x;
    }
    if (!xmin) return false;
    AASeriesElement element;
    element.name = data.dataName;
    element.data.push_back({*xmin - 1, 0});
    element.data.insert(element.data.end(), theme.dataValues.begin(), theme.dataValues.end());
    element.data.push_back({*xmax + 1, 0});
    element.step = "center";
    element.color = theme.hexColor;
    elements.push_back(std::move(element));
    return true;
}

std::shared_ptr<AreaChartView> AreaChartManager::makeAreaChart(const HistogramChartData& data,
                                                               const platform::gfx::Rect& frame) {
    std::vector<AASeriesElement> elements;
    for (const auto& theme : data.dataSetWithColorTheme) {
        if (!makeAreaSeries(theme, data, elements)) return nullptr;
    }
    if (elements.empty()) return nullptr;
    auto view = std::make_shared<AreaChartView>(frame);
    AAChartModel model = makeChartModel();
    model.chartType = AAChartType::area;
    model.title = data.chartTitle;
    model.series = std::move(elements);
    model.markerRadius = 0;
    view->chartView()->aa_drawChartWithChartOptions(
        makeChartOptions(model, data.xAxisName, std::nullopt, std::nullopt, data.dataName, std::nullopt, std::nullopt,
                         false));
    return view;
}

}  // namespace velmora
