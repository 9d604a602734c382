#pragma once
// The chart library's full options: axes, crosshair, tooltip, legend,
// series events and texts, made from a model and then refined.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/frameworks/charts/aa_chart_model.h"

namespace platform::charts {

struct AATitle {
    std::string text;
    std::optional<AAStyle> style;
};

// Tick labels. A formatter is script text for the chart page: it is kept,
// not run. What draws the labels is formatterFunction, the native twin the
// caller supplies with it; without one, labels show the tick's number.
struct AALabels {
    std::optional<bool> enabled;
    std::optional<std::string> formatter;
    std::function<std::string(double)> formatterFunction;
    std::optional<AAStyle> style;
};

// The lines that follow a touched point along an axis.
struct AACrosshair {
    std::optional<std::string> dashStyle;  // "solid", "dash", "longDashDotDot", ...
    std::optional<std::string> color;
    std::optional<double> width;
};

// "auto" or a distance between minor ticks.
using AATickInterval = std::variant<std::monostate, float, std::string>;

struct AAAxis {
    std::optional<AATitle> title;
    std::optional<std::string> lineColor;
    std::optional<double> lineWidth;
    std::optional<std::string> gridLineColor;
    std::optional<double> gridLineWidth;
    std::optional<double> min;
    std::optional<double> max;
    std::optional<std::vector<double>> tickPositions;
    std::optional<float> tickInterval;
    AATickInterval minorTickInterval;
    std::optional<AALabels> labels;
    std::optional<AACrosshair> crosshair;
};
struct AAXAxis : AAAxis {};
struct AAYAxis : AAAxis {};

// The box shown over a touched point. In the formats, "{point.key}" stands
// for the point's x and "{point.y}" for its y; "<br/>" breaks the line.
struct AATooltip {
    std::optional<bool> enabled;
    std::optional<std::string> backgroundColor;
    std::optional<std::string> borderColor;
    std::optional<double> borderWidth;
    std::optional<AAStyle> style;
    std::optional<bool> shadow;
    std::optional<std::string> headerFormat;
    std::optional<std::string> pointFormat;
};

enum class AAChartLayoutType { horizontal, vertical };
enum class AAChartAlignType { left, center, right };
enum class AAChartVerticalAlignType { top, middle, bottom };

struct AAItemStyle {
    std::optional<std::string> color;
    std::optional<double> fontSize;
    std::optional<AAChartFontWeightType> fontWeight;
};

struct AALegend {
    std::optional<bool> enabled;
    std::optional<double> symbolWidth;
    std::optional<double> symbolHeight;
    std::optional<double> itemDistance;
    std::optional<double> padding;
    std::optional<AAChartVerticalAlignType> verticalAlign;
    std::optional<AAChartAlignType> align;
    std::optional<AAChartLayoutType> layout;
    std::optional<AAItemStyle> itemStyle;
};

// A click on a legend entry. legendItemClick is script text, kept and not
// run; legendItemClickHandler is its native twin: it gets the series index
// and answers whether the library goes on to show or hide the series.
struct AASeriesEvents {
    std::optional<std::string> legendItemClick;
    std::function<bool(std::size_t)> legendItemClickHandler;
};

struct AAPlotOptions {
    std::optional<double> markerRadius;
    std::optional<AAChartStackingType> stacking;
    std::optional<bool> dataLabelsEnabled;
    std::optional<AASeriesEvents> events;
};

struct AALang {
    std::optional<std::string> resetZoom;
    std::optional<std::string> thousandsSep;
};

struct AAChart {
    AAChartType type = AAChartType::line;
    std::optional<std::string> backgroundColor;
};

struct AAOptions {
    AAChart chart;
    AATitle title;
    std::vector<std::string> colors;
    std::vector<AASeriesElement> series;
    AAPlotOptions plotOptions;
    std::optional<AAXAxis> xAxis;
    std::optional<AAYAxis> yAxis;
    std::optional<AATooltip> tooltip;
    std::optional<AALegend> legend;
    std::optional<AALang> lang;
};

class AAOptionsConstructor {
public:
    // The options of a model: its type, background, title, colours, series,
    // marker radius, stacking, data labels and tooltip switch.
    static AAOptions configureChartOptions(const AAChartModel& model);
};

// Script text made fit for the chart page: every run of white space (line
// breaks included) becomes one space, and the ends are trimmed.
std::string aa_toPureJSString(const std::string& script);

}  // namespace platform::charts
