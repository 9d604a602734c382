#pragma once
// The chart library's model of one chart: type, title, colours and series.

#include <optional>
#include <string>
#include <vector>

namespace platform::charts {

// The kinds of series the library draws.
enum class AAChartType { area, line, spline, scatter };

// How series stack on each other; the first case draws each on its own.
enum class AAChartStackingType { none, normal, percent };

enum class AAChartFontWeightType { thin, regular, bold };

// Text style: colour as a colour text ("#rrggbb", "red", "rgba(...)").
struct AAStyle {
    std::optional<std::string> color;
    std::optional<double> fontSize;
    std::optional<AAChartFontWeightType> fontWeight;
};

// The dots drawn at a series' points; a radius of 0 draws none.
struct AAMarker {
    std::optional<double> radius;
    std::optional<double> lineWidth;  // outline; 0 draws none
};

// One series: its points ([x, y] each), name and look. step is "left" (the
// value holds until the next point), "center" (it changes halfway) or
// "right" (it changes at the point before); none draws straight segments.
struct AASeriesElement {
    std::string name;
    std::vector<std::vector<double>> data;
    std::optional<std::string> color;
    std::optional<std::string> step;
    std::optional<AAMarker> marker;
    bool visible = true;
};

// The chart as the application describes it; unset options keep the
// library's defaults.
struct AAChartModel {
    AAChartType chartType = AAChartType::line;
    std::string title;
    std::optional<AAStyle> titleStyle;
    std::optional<std::string> backgroundColor;
    std::vector<std::string> colorsTheme;
    std::vector<AASeriesElement> series;
    std::optional<double> markerRadius;
    std::optional<AAChartStackingType> stacking;
    std::optional<bool> tooltipEnabled;
    std::optional<bool> dataLabelsEnabled;
};

const char* chartTypeName(AAChartType type);  // "area", "line", "spline", "scatter"

}  // namespace platform::charts
