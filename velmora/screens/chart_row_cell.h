#pragma once

#include <string>
#include <vector>

#include "platform/ui/table_view.h"
#include "velmora/engine/chart_data.h"

namespace velmora {

// A chart row of the solution page ("chartCell", from the interface file
// "ChartTableViewCell"): shows one list of chart records, sized by the host
// view's width. The charts' cell is one; until it is registered the
// placeholder below stands in.
class ChartRowCell : public platform::ui::TableViewCell {
public:
    static constexpr const char* reuseIdentifier = "chartCell";
    static constexpr const char* nibName = "ChartTableViewCell";

    using platform::ui::TableViewCell::TableViewCell;

    virtual void configure(const ChartList& chartData, platform::ui::View& hostView) = 0;
    // Starts the unit-circle animations of the row again; nothing by default.
    virtual void restartUnitCircleAnimations() {}
};

// Stands in for the chart cell: an empty row of the chart's height whose
// label names the records it was given ("HistogramChartData ...").
class PlaceholderChartCell : public ChartRowCell {
public:
    PlaceholderChartCell();

    const ChartList& chartData() const { return chartData_; }
    void configure(const ChartList& chartData, platform::ui::View& hostView) override;

private:
    ChartList chartData_;
};

// Registers the placeholder as the interface file "ChartTableViewCell".
void registerPlaceholderChartCell();

}  // namespace velmora
