#pragma once
// The histogram drawn by the chart library as a stepped area.

#include <memory>
#include <vector>

#include "platform/frameworks/charts/aa_chart_view.h"
#include "velmora/engine/chart_data.h"

namespace velmora {

class AreaChartView : public platform::ui::View {
public:
    AreaChartView();  // as from an archive: no chart
    // Sized with its superview; a library chart view fills it, drawing
    // over the system background without scrolling, in a card shadow.
    explicit AreaChartView(const platform::gfx::Rect& frame);

    const std::shared_ptr<platform::charts::AAChartView>& chartView() const { return chartView_; }

private:
    std::shared_ptr<platform::charts::AAChartView> chartView_;
};

class AreaChartManager {
public:
    // None for a histogram without series or with a series without points.
    static std::shared_ptr<AreaChartView> makeAreaChart(const HistogramChartData& data,
                                                        const platform::gfx::Rect& frame);
    // Appends the series of one colour theme: its points between two points
    // on the axis one unit outside, stepped about each x. False (nothing
    // appended) for a theme without points.
    static bool makeAreaSeries(const HistogramChartData::ColorTheme& theme, const HistogramChartData& data,
                               std::vector<platform::charts::AASeriesElement>& elements);
};

}  // namespace velmora
