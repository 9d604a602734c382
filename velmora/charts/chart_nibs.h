#pragma once
// The interface files of the chart views and the chart cell.

namespace velmora {

// Registers "LineChartView", "SplineChartView", "UnitCircleChartView",
// "DistributionFunctionPresentationView" and "ChartTableViewCell" where
// they are not registered yet. The views call it before loading theirs.
void registerChartNibs();

}  // namespace velmora
