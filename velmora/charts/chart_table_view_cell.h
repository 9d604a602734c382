#pragma once
// One row of the solution page's charts: the chart view of its list.

#include <optional>

#include "platform/gfx/image.h"
#include "platform/ui/storyboard.h"
#include "platform/ui/table_view.h"
#include "velmora/engine/chart_data.h"

namespace velmora {

// The solution page registers nib() under cellIdentifier ("chartCell"), configures each
// dequeued cell with its row's list and its root view, and makes the row
// rowHeight() high.
class ChartTableViewCell : public platform::ui::TableViewCell {
public:
    static constexpr const char* cellIdentifier = "chartCell";

    ChartTableViewCell();

    // The chart list last shown.
    const ChartList& chartData() const { return chartData_; }
    // Shows the list's chart, sized by the host view's width, in place of
    // whatever the cell showed before: the view of a one-record list, else
    // (or when that record has none) the common-spline chart of the list.
    void configure(const ChartList& chartData, const platform::ui::View& hostView);

    // The row drawn as large as its whole chart: a chart that scrolls (the
    // probability tree) grows by as much as its content passes its view,
    // and is drawn from its content's top-left corner, as a shared image
    // shows it; the row is left as it was.
    std::optional<platform::gfx::Image> imageOfWholeChart();

    // The interface file "ChartTableViewCell".
    static platform::ui::Nib nib();
    // A row as wide as the table and as high as that width over the first
    // record's frame ratio; none when that ratio is missing or not positive.
    static std::optional<double> rowHeight(const ChartList& chartData, double tableWidth);

private:
    ChartList chartData_;
};

}  // namespace velmora
