#pragma once
// Line charts drawn by the chart library: the distribution function as a
// step function with dots at its jumps, and plain lines with marked points.

#include <memory>
#include <optional>
#include <vector>

#include "platform/frameworks/charts/aa_chart_view.h"
#include "velmora/engine/chart_data.h"

namespace velmora {

class LineChartView : public platform::ui::View {
public:
    LineChartView();  // as from an archive (the nib's top-level view): no chart
    // Loads the nib "LineChartView" and hosts a library chart in it.
    explicit LineChartView(const platform::gfx::Rect& frame);

    // The nib's top-level view (an outlet the nib fills).
    const std::shared_ptr<LineChartView>& contentView() const { return contentView_; }
    void setContentView(std::shared_ptr<LineChartView> view) { contentView_ = std::move(view); }
    const std::shared_ptr<platform::charts::AAChartView>& chartView() const { return chartView_; }

    using View::draw;
    // Each draws into the chart view; false, drawing nothing, without a
    // chart view or (for the distribution function) without end points.
    bool draw(const DistributionFunctionChartData& distributionFunctionData);
    bool draw(const LineChartData& lineChartData);

private:
    std::shared_ptr<LineChartView> contentView_;
    std::shared_ptr<platform::charts::AAChartView> chartView_;
};

class LineChartManager {
public:
    // None when the function has no points or an empty first or last point.
    static std::shared_ptr<LineChartView> makeDistributionFunctionChart(const DistributionFunctionChartData& data,
                                                                        const platform::gfx::Rect& frame);
    // The points with one more on each side: at 0 left of the first jump and
    // at 1 right of the last (the other way round for a converse function).
    // None when the first or last point is missing or empty.
    static std::optional<std::vector<ChartPoint>> makeDistributionSeries(const DistributionFunctionChartData& data);
    static std::shared_ptr<LineChartView> makeLineChart(const LineChartData& data, const platform::gfx::Rect& frame);
};

}  // namespace velmora
