#pragma once
// The library's own defaults shared by layout and drawing: fonts, colours,
// marker sizes, tick labels.

#include <string>

#include "platform/frameworks/charts/aa_options.h"
#include "platform/gfx/color.h"
#include "platform/gfx/font.h"

namespace platform::charts::look {

constexpr double margin = 10;
constexpr double tickLength = 5;
constexpr double minorTickLength = 3;
constexpr double seriesLineWidth = 2;
constexpr double areaFillAlpha = 0.75;
constexpr double defaultMarkerRadius = 4;

gfx::Font titleFont(const AAOptions& options);
gfx::Font labelFont(const AAAxis& axis);
gfx::Font axisTitleFont();
gfx::Font legendFont(const AAOptions& options);
gfx::Font tooltipFont();

// The colour a text names, or the fallback when it is absent or unreadable.
gfx::Color colorOr(const std::optional<std::string>& text, const gfx::Color& fallback);
gfx::Color inkColor();  // the library's grey for texts and lines, dark or light as the style asks

// The marker radius of a series: its own, else the chart's, else the
// library's; scatter series always show theirs.
double markerRadius(const AAOptions& options, const AASeriesElement& series);

bool labelsShown(const AAAxis& axis);
// The text of a tick: the labels' native formatter, else the number.
std::string tickLabel(const AAAxis& axis, double value, const AAOptions& options);
std::string thousandsSeparator(const AAOptions& options);

}  // namespace platform::charts::look
