// The shared chart look: model, axes, crosshair, tooltip, legend and texts.
#include "velmora/charts/chart_options.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/gfx/appearance.h"
#include "platform/gfx/color.h"
#include "velmora/charts/chart_style.h"

namespace velmora {

using namespace platform::charts;
using platform::gfx::Color;

namespace {

constexpr double maximumQuarterTicks = 1000;

std::string gray() { return chartHexString(Color::systemGray()); }

// A double as a float without the undefined conversion of values beyond
// the float range: those become an infinity.
float toFloat(double value) {
    if (std::isnan(value)) return std::numeric_limits<float>::quiet_NaN();
    if (std::fabs(value) > std::numeric_limits<float>::max()) {
        return value > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
    }
    return static_cast<float>(value);
}

AAAxis makeAxis(const std::string& title, std::optional<double> minimum, std::optional<double> maximum) {
    AAAxis axis;
    axis.lineColor = gray();
    axis.lineWidth = 0.5;
    axis.gridLineColor = gray();
    axis.gridLineWidth = 0.25;
    axis.title = AATitle{title, std::nullopt};
    axis.minorTickInterval = std::string("auto");
    if (minimum && maximum) {
        axis.min = minimum;
        axis.max = maximum;
        if (auto positions = quarterTickPositions(*minimum, *maximum)) {
            axis.tickPositions = std::move(positions);
            axis.minorTickInterval = toFloat(*maximum * 0.25 / 5);
        }
    }
    axis.labels = AALabels{};
    axis.labels->style = AAStyle{gray(), std::nullopt, std::nullopt};
    return axis;
}

// A whole number as the chart page's script writes it.
std::string scriptNumber(double value) {
    if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
    char buf[400];
    if (std::fabs(value) < 1e21) {
        std::snprintf(buf, sizeof buf, "%.0f", value);
        return buf;
    }
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    return ec == std::errc() ? std::string(buf, end) : std::string();
}

// The script's rounding: the nearest whole number, halves upwards.
double roundHalfUp(double value) {
    double down = std::floor(value);
    return value - down >= 0.5 ? down + 1 : down;
}

}  // namespace

AAChartModel makeChartModel() {
    AAChartModel model;
    model.titleStyle = AAStyle{gray(), std::nullopt, std::nullopt};
    model.backgroundColor = chartHexString(Color::systemBackground());
    model.stacking = AAChartStackingType::none;
    model.tooltipEnabled = true;
    model.dataLabelsEnabled = false;
    return model;
}

std::optional<std::vector<double>> quarterTickPositions(double minimum, double maximum) {
    double step = maximum * 0.25;
    if (!std::isfinite(step) || !(step > 0) || !std::isfinite(minimum)) return std::nullopt;
    double count = (maximum - minimum) / step;
    if (!(count <= maximumQuarterTicks)) return std::nullopt;
    std::vector<double> positions;
    // the slack keeps the maximum itself when the steps land a hair past it
    for (double i = 0; minimum + i * step <= maximum + step * 1e-9; ++i) positions.push_back(minimum + i * step);
    return positions;
}

AAXAxis makeXAxis(const std::string& title, std::optional<double> minimum, std::optional<double> maximum,
                  bool trigonometric) {
    AAXAxis axis;
    static_cast<AAAxis&>(axis) = makeAxis(title, trigonometric ? std::nullopt : minimum,
                                          trigonometric ? std::nullopt : maximum);
    if (trigonometric) {
        axis.minorTickInterval = {};
        axis.labels->formatter = halfPiLabelFormatter();
        axis.labels->formatterFunction = halfPiLabel;
        axis.tickInterval = toFloat(M_PI / 2);
    }
    return axis;
}

AAYAxis makeYAxis(const std::string& title, std::optional<double> minimum, std::optional<double> maximum) {
    AAYAxis axis;
    static_cast<AAAxis&>(axis) = makeAxis(title, minimum, maximum);
    return axis;
}

AACrosshair makeCrosshair() { return AACrosshair{"longDashDotDot", chartHexString(Color::label()), 1.5}; }

AATooltip makeTooltip(const std::string& headerText, const std::string& pointText) {
    AATooltip tooltip;
    if (platform::gfx::isDarkMode()) {
        tooltip.backgroundColor = chartHexString(Color::systemBackground());
        tooltip.borderColor = chartHexString(Color::label());
        tooltip.borderWidth = 0.5;
        tooltip.style = AAStyle{chartHexString(Color::label()), std::nullopt, std::nullopt};
        tooltip.shadow = false;
    }
    tooltip.headerFormat = headerText + ": {point.key}<br/>";
    tooltip.pointFormat = pointText + ": {point.y}<br/>";
    return tooltip;
}

AAOptions makeChartOptions(const AAChartModel& model, const std::string& xTitle, std::optional<double> xMinimum,
                           std::optional<double> xMaximum, const std::string& yTitle, std::optional<double> yMinimum,
                           std::optional<double> yMaximum, bool trigonometric) {
    AAOptions options = AAOptionsConstructor::configureChartOptions(model);
    options.xAxis = makeXAxis(xTitle, xMinimum, xMaximum, trigonometric);
    options.yAxis = makeYAxis(yTitle, yMinimum, yMaximum);
    options.xAxis->crosshair = makeCrosshair();
    options.yAxis->crosshair = makeCrosshair();
    AALegend legend;
    legend.symbolWidth = 20;
    legend.symbolHeight = 10;
    legend.itemDistance = 20;
    legend.padding = 20;
    legend.verticalAlign = AAChartVerticalAlignType::bottom;
    legend.align = AAChartAlignType::center;
    legend.layout = AAChartLayoutType::horizontal;
    legend.itemStyle = AAItemStyle{"red", 20, AAChartFontWeightType::bold};
    options.legend = legend;
    // a click on a legend entry must never hide the only series of a chart
    options.plotOptions.events = AASeriesEvents{
        aa_toPureJSString("            function() {\n              return false;\n            }"),
        [](std::size_t) { return false; }};
    options.lang = AALang{"重置缩放比例", ","};
    options.tooltip = makeTooltip(xTitle, yTitle);
    return options;
}

const std::string& halfPiLabelFormatter() {
    static const std::string script =
        "function () {\n"
        "    var halfMultiple = Math.round(2 * this.value / Math.PI);\n"
        "\n"
        "    switch (halfMultiple) {\n"
        "        case 0:\n"
        "            return '0';\n"
        "        case 1:\n"
        "            return 'π/2';\n"
        "        case -1:\n"
        "            return '-π/2';\n"
        "        case 2:\n"
        "            return 'π';\n"
        "        case -2:\n"
        "            return '-π';\n"
        "        default:\n"
        "            if (halfMultiple % 2 === 0) {\n"
        "                return (halfMultiple / 2) + 'π';\n"
        "            } else {\n"
        "                return halfMultiple + 'π/2';\n"
        "            }\n"
        "    }\n"
        "}";
    return script;
}

std::string halfPiLabel(double tickValue) {
    double h = roundHalfUp(2 * tickValue / M_PI);
    if (std::isnan(h)) return "NaNπ/2";
    if (h == 0) return "0";
    if (h == 1) return "π/2";
    if (h == -1) return "-π/2";
    if (h == 2) return "π";
    if (h == -2) return "-π";
    if (std::fmod(h, 2) == 0) return scriptNumber(h / 2) + "π";
    return scriptNumber(h) + "π/2";
}

}  // namespace velmora
