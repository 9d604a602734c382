#pragma once
// The one look of every library-drawn chart: model defaults, axes,
// crosshair, tooltip, legend and texts. Stateless builders that read the
// interface style and the system colours each time they run.

#include <optional>
#include <string>
#include <vector>

#include "platform/frameworks/charts/aa_options.h"

namespace velmora {

// A model with the gray title, the system background and the fixed
// defaults (no stacking, tooltip on, no data labels).
platform::charts::AAChartModel makeChartModel();

// An axis with gray line (0.5) and grid (0.25) and the title. With both
// bounds the axis spans them with ticks a quarter of the maximum apart;
// a trigonometric x axis labels multiples of π/2.
platform::charts::AAXAxis makeXAxis(const std::string& title, std::optional<double> minimum,
                                    std::optional<double> maximum, bool trigonometric);
platform::charts::AAYAxis makeYAxis(const std::string& title, std::optional<double> minimum,
                                    std::optional<double> maximum);

platform::charts::AACrosshair makeCrosshair();

// In dark mode the tooltip takes the system background and label colours;
// in light mode the library's own. The header reads "<t>: <x>", the point
// line "<u>: <y>".
platform::charts::AATooltip makeTooltip(const std::string& headerText, const std::string& pointText);

platform::charts::AAOptions makeChartOptions(const platform::charts::AAChartModel& model, const std::string& xTitle,
                                             std::optional<double> xMinimum, std::optional<double> xMaximum,
                                             const std::string& yTitle, std::optional<double> yMinimum,
                                             std::optional<double> yMaximum, bool trigonometric);

// The tick positions of an axis with both bounds: minimum + i × step up to
// and including the maximum, the step a quarter of the maximum. None when
// that step is not a positive number or would give more than 1000 ticks.
std::optional<std::vector<double>> quarterTickPositions(double minimum, double maximum);

// The x labels' script for the chart page, and its native twin that draws
// them: the tick rounded to the nearest multiple h of π/2 (halves upwards,
// as the script's rounding does) written as 0, π/2, -π/2, π, -π, then
// (h/2)π for even h and hπ/2 for odd h.
const std::string& halfPiLabelFormatter();
std::string halfPiLabel(double tickValue);

}  // namespace velmora
