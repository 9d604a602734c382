// Options made from a model, and script text made fit for the chart page.
#include "platform/frameworks/charts/aa_options.h"

#include <cctype>

namespace platform::charts {

const char* chartTypeName(AAChartType type) {
    switch (type) {
        case AAChartType::area: return "area";
        case AAChartType::line: return "line";
        case AAChartType::spline: return "spline";
        case AAChartType::scatter: return "scatter";
    }
    return "line";
}

AAOptions AAOptionsConstructor::configureChartOptions(const AAChartModel& model) {
    AAOptions options;
    options.chart.type = model.chartType;
    options.chart.backgroundColor = model.backgroundColor;
    options.title.text = model.title;
    options.title.style = model.titleStyle;
    options.colors = model.colorsTheme;
    options.series = model.series;
    options.plotOptions.markerRadius = model.markerRadius;
    options.plotOptions.stacking = model.stacking;
    options.plotOptions.dataLabelsEnabled = model.dataLabelsEnabled;
    options.xAxis = AAXAxis{};
    options.yAxis = AAYAxis{};
    options.tooltip = AATooltip{};
    options.tooltip->enabled = model.tooltipEnabled;
    options.legend = AALegend{};
    return options;
}

std::string aa_toPureJSString(const std::string& script) {
    std::string out;
    bool pendingSpace = false;
    for (char c : script) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            pendingSpace = !out.empty();
            continue;
        }
        if (pendingSpace) out.push_back(' ');
        pendingSpace = false;
        out.push_back(c);
    }
    return out;
}

}  // namespace platform::charts
