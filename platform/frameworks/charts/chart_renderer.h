#pragma once
// Lays a chart's options out in a size and draws them: title, grid, axes
// with ticks and labels, series, markers, legend, and the crosshair and
// tooltip of a touched point.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/frameworks/charts/aa_options.h"
#include "platform/frameworks/charts/chart_scale.h"
#include "platform/gfx/graphics_context.h"

namespace platform::charts {

// A touched point: a series and a point of it, by index.
struct ChartSelection {
    std::size_t series = 0;
    std::size_t point = 0;
};

struct LegendItem {
    std::size_t series = 0;
    gfx::Rect bounds;  // symbol and text together: what a click hits
    gfx::Rect symbol;
    gfx::Point textOrigin;
};

// Where everything goes in a chart of a given size.
struct ChartGeometry {
    gfx::Rect plotArea;  // empty when the size leaves no room to plot
    AxisScale xScale;
    AxisScale yScale;
    std::optional<gfx::Rect> titleFrame;
    std::vector<LegendItem> legend;

    // A data point in view coordinates (y grows downwards).
    gfx::Point toView(gfx::Point data) const;
};

ChartGeometry layoutChart(const AAOptions& options, gfx::Size size);

// The colour of series i: its own, else the option colours in turn, else
// the library's palette; as a text.
std::string seriesColorText(const AAOptions& options, std::size_t index);

// The tooltip's lines for a point (formats filled in, tags removed); empty
// when there is no such point or the tooltip is switched off.
std::vector<std::string> tooltipLines(const AAOptions& options, const ChartSelection& selection);

void renderChart(const AAOptions& options, const ChartGeometry& geometry, const std::optional<ChartSelection>& selection,
                 gfx::GraphicsContext& context);

}  // namespace platform::charts
