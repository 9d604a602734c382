#pragma once
// The chart library's view: takes a chart's options and draws them.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/frameworks/charts/aa_options.h"
#include "platform/frameworks/charts/chart_renderer.h"
#include "platform/ui/view.h"

namespace platform::charts {

// Draws the options it was last given into its bounds, every time it is
// drawn, over its own background unless that is made clear; keeps the
// options for callers to read back. Touching a point shows the crosshair
// and the tooltip; a click on a legend entry shows or hides its series
// unless the series events' handler says no.
class AAChartView : public ui::View {
public:
    AAChartView();
    explicit AAChartView(const gfx::Rect& frame);

    // The chart scrolls inside the view when enabled (kept; the chart here
    // always fits the view).
    bool scrollEnabled() const { return scrollEnabled_; }
    void setScrollEnabled(bool enabled) { scrollEnabled_ = enabled; }
    // With a clear background the view draws no background of its own; the
    // chart's background colour is drawn either way.
    bool isClearBackgroundColor() const { return clearBackground_; }
    void setIsClearBackgroundColor(bool clear);

    void aa_drawChartWithChartOptions(const AAOptions& options);
    const std::optional<AAOptions>& chartOptions() const { return options_; }
    std::size_t drawChartCount() const { return drawChartCount_; }

    // The layout of the current options in the current bounds.
    ChartGeometry geometry() const;

    // A user's touch on a point of a series; false (nothing shown) when
    // there is no such point.
    bool touchPoint(std::size_t series, std::size_t point);
    void clearTouch() { selection_.reset(); }
    const std::optional<ChartSelection>& touchedPoint() const { return selection_; }
    // A user's click on the legend entry of a series.
    void clickLegendItem(std::size_t series);

    void draw(const gfx::Rect& rect) override;
    void describe(std::vector<std::string>& notes) const override;

private:
    std::optional<AAOptions> options_;
    std::optional<ChartSelection> selection_;
    std::size_t drawChartCount_ = 0;
    bool scrollEnabled_ = true;
    bool clearBackground_ = false;
};

}  // namespace platform::charts
