#pragma once
// Decides which view draws a chart list and how large it is.

#include <memory>
#include <optional>

#include "platform/ui/view.h"
#include "velmora/engine/chart_data.h"

namespace velmora {

class ChartTableViewCell;

class ChartManager {
public:
    // The chart's frame in a row as wide as the reference view: 5 % of the
    // width in from the left and 5 % of the row's height (width over the
    // frame ratio) down, 90 % of both in size. None for a record without a
    // frame ratio, or one that is not a positive number.
    static std::optional<platform::gfx::Rect> chartFrame(const ChartData& record,
                                                         const platform::ui::View& reference);
    // The view for one record, by its class: line, unit circle,
    // trigonometric, histogram, distribution function (written out when it
    // is a presentation, else drawn), probability tree; none for any other.
    static std::shared_ptr<platform::ui::View> makeChartViews(const std::shared_ptr<ChartData>& record,
                                                              const platform::ui::View& reference);
    // One spline chart of a list made only of common-spline records; none
    // for an empty list or one that holds anything else.
    static std::shared_ptr<platform::ui::View> makeCommonSplineCharts(const ChartList& records,
                                                                      const platform::ui::View& reference);
    // Starts the cell's unit circle again when the cell shows only unit
    // circles and its first view is one.
    static void restartUnitCircleAnimations(const ChartTableViewCell& cell);
};

}  // namespace velmora
