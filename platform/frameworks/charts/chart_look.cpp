// The library's default fonts, colours, marker sizes and tick labels.
#include "platform/frameworks/charts/chart_look.h"

#include "platform/frameworks/charts/chart_scale.h"
#include "platform/frameworks/charts/color_text.h"

namespace platform::charts::look {

namespace {

gfx::FontWeight weightOf(const std::optional<AAChartFontWeightType>& weight) {
    return weight == AAChartFontWeightType::bold ? gfx::FontWeight::bold : gfx::FontWeight::regular;
}

// Sizes from options are used only when they are positive and sane.
double sizeOr(const std::optional<double>& size, double fallback) {
    return size && *size > 0 && *size < 1000 ? *size : fallback;
}

}  // namespace

gfx::Font titleFont(const AAOptions& options) {
    const auto& style = options.title.style;
    return gfx::Font::system(sizeOr(style ? style->fontSize : std::nullopt, 17),
                             weightOf(style ? style->fontWeight : std::nullopt));
}

gfx::Font labelFont(const AAAxis& axis) {
    const auto& style = axis.labels ? axis.labels->style : std::nullopt;
    return gfx::Font::system(sizeOr(style ? style->fontSize : std::nullopt, 11));
}

gfx::Font axisTitleFont() { return gfx::Font::system(12); }

gfx::Font legendFont(const AAOptions& options) {
    const auto& style = options.legend ? options.legend->itemStyle : std::nullopt;
    return gfx::Font::system(sizeOr(style ? style->fontSize : std::nullopt, 12),
                             weightOf(style ? style->fontWeight : std::nullopt));
}

gfx::Font tooltipFont() { return gfx::Font::system(12); }

gfx::Color colorOr(const std::optional<std::string>& text, const gfx::Color& fallback) {
    if (!text) return fallback;
    return colorFromText(*text).value_or(fallback);
}

// Dark grey on a light page and light grey on a dark one: a chart drawn on
// the system background in the dark style keeps its untinted texts and axis
// lines readable.
gfx::Color inkColor() {
    static const gfx::Color ink = gfx::Color::dynamic(gfx::Color::rgb(0x33 / 255.0, 0x33 / 255.0, 0x33 / 255.0),
                                                      gfx::Color::rgb(0xcc / 255.0, 0xcc / 255.0, 0xcc / 255.0), "chartInk");
    return ink;
}

double markerRadius(const AAOptions& options, const AASeriesElement& series) {
    std::optional<double> radius = series.marker ? series.marker->radius : std::nullopt;
    if (!radius) radius = options.plotOptions.markerRadius;
    double r = radius && *radius >= 0 && *radius < 1000 ? *radius : defaultMarkerRadius;
    if (options.chart.type == AAChartType::scatter && r == 0) r = defaultMarkerRadius;
    return r;
}

bool labelsShown(const AAAxis& axis) { return !axis.labels || axis.labels->enabled.value_or(true); }

std::string thousandsSeparator(const AAOptions& options) {
    if (options.lang && options.lang->thousandsSep) return *options.lang->thousandsSep;
    return " ";
}

std::string tickLabel(const AAAxis& axis, double value, const AAOptions& options) {
    if (axis.labels && axis.labels->formatterFunction) return axis.labels->formatterFunction(value);
    return numberLabel(value, thousandsSeparator(options));
}

}  // namespace platform::charts::look
