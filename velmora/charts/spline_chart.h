#pragma once
// Spline charts drawn by the chart library: sampled trigonometric
// functions, and several given curves in one chart.

#include <memory>
#include <vector>

#include "platform/frameworks/charts/aa_chart_view.h"
#include "velmora/engine/chart_data.h"

namespace velmora {

class SplineChartView : public platform::ui::View {
public:
    SplineChartView();  // as from an archive (the nib's top-level view): no chart
    // Loads the nib "SplineChartView" and hosts a library chart in it.
    explicit SplineChartView(const platform::gfx::Rect& frame);

    const std::shared_ptr<SplineChartView>& contentView() const { return contentView_; }
    void setContentView(std::shared_ptr<SplineChartView> view) { contentView_ = std::move(view); }
    const std::shared_ptr<platform::charts::AAChartView>& chartView() const { return chartView_; }

    using View::draw;
    // Each draws into the chart view; false, drawing nothing, without a
    // chart view or without anything to draw.
    bool draw(const TrigonometricChartData& trigonometricData);
    bool draw(const std::vector<std::shared_ptr<CommonSplineChartData>>& commonSplineData);

private:
    std::shared_ptr<SplineChartView> contentView_;
    std::shared_ptr<platform::charts::AAChartView> chartView_;
};

class SplineChartManager {
public:
    // The most samples one function gets: wider ranges are sampled coarser.
    static constexpr long maximumSampleIntervals = 100000;

    // None without a length, a type or samples.
    static std::shared_ptr<SplineChartView> makeTrigonometricChart(const TrigonometricChartData& data,
                                                                   const platform::gfx::Rect& frame);
    // Samples of A·f(2π/T·x) from the offset over the length plus |offset|:
    // 32 intervals per π for sine and cosine, for the tangent 200 per π
    // times the range over π, in an even number of steps rounded to three
    // decimals. Empty without a length or a type, for a range that is not
    // a number, and for a tangent whose range is not positive.
    static std::vector<ChartPoint> trigonometricSamples(const TrigonometricChartData& data);
    // One chart of every record's curve. None for an empty list.
    static std::shared_ptr<SplineChartView> makeCommonSplineChart(
        const std::vector<std::shared_ptr<CommonSplineChartData>>& data, const platform::gfx::Rect& frame);
};

}  // namespace velmora
