// Tests of the chart options: quarter ticks, π/2 labels, tooltip styles and the legend.
#include <doctest/doctest.h>

#include <cmath>
#include <limits>

#include "platform/gfx/appearance.h"
#include "platform/gfx/color.h"
#include "velmora/charts/chart_options.h"

using namespace velmora;
using namespace platform::charts;
using platform::gfx::InterfaceStyle;
using platform::gfx::InterfaceStyleScope;

namespace {

const double notANumber = std::numeric_limits<double>::quiet_NaN();

std::string hex(const platform::gfx::Color& color) {
    auto c = *color.rgba();
    char buf[16];
    std::snprintf(buf, sizeof buf, "#%02x%02x%02x", int(c.red * 255), int(c.green * 255), int(c.blue * 255));
    return buf;
}

}  // namespace

TEST_CASE("axes with both bounds tick in quarters of the maximum") {
    struct Case {
        double min, max;
        std::optional<std::vector<double>> ticks;
        float minor;
    };
    for (const Case& c : {
             Case{0, 1, std::vector<double>{0, 0.25, 0.5, 0.75, 1.0}, 0.05f},
             Case{-4, 4, std::vector<double>{-4, -3, -2, -1, 0, 1, 2, 3, 4}, 0.2f},
             Case{-2.5, 2.5, std::vector<double>{-2.5, -1.875, -1.25, -0.625, 0, 0.625, 1.25, 1.875, 2.5}, 0.125f},
             Case{0.1, 1, std::vector<double>{0.1, 0.35, 0.6, 0.85}, 0.05f},
             Case{0, 0, std::nullopt, 0},              // no step: the range alone
             Case{-4, -1, std::nullopt, 0},            // a negative step never reaches the maximum
             Case{notANumber, 1, std::nullopt, 0},
             Case{0, notANumber, std::nullopt, 0},
             Case{-1e12, 1, std::nullopt, 0},          // four trillion ticks
             Case{0, 1e300, std::vector<double>{0, 0.25e300, 0.5e300, 0.75e300, 1e300}, INFINITY},
         }) {
        CAPTURE(c.min);
        CAPTURE(c.max);
        for (bool x : {true, false}) {
            AAAxis axis = x ? AAAxis(makeXAxis("x", c.min, c.max, false)) : AAAxis(makeYAxis("y", c.min, c.max));
            CHECK(axis.tickPositions.has_value() == c.ticks.has_value());
            if (c.ticks && axis.tickPositions) {
                REQUIRE(axis.tickPositions->size() == c.ticks->size());
                for (std::size_t i = 0; i < c.ticks->size(); ++i) {
                    CHECK((*axis.tickPositions)[i] == doctest::Approx((*c.ticks)[i]));
                }
                REQUIRE(std::holds_alternative<float>(axis.minorTickInterval));
                CHECK(std::get<float>(axis.minorTickInterval) == c.minor);
            } else {
                CHECK(std::get<std::string>(axis.minorTickInterval) == "auto");
            }
            CHECK((axis.min == c.min || std::isnan(c.min)));
        }
    }
    SUBCASE("without both bounds: no range, automatic minor ticks") {
        for (auto [min, max] : {std::pair<std::optional<double>, std::optional<double>>{std::nullopt, std::nullopt},
                                {0.0, std::nullopt},
                                {std::nullopt, 1.0}}) {
            AAYAxis axis = makeYAxis("y", min, max);
            CHECK_FALSE(axis.tickPositions);
            CHECK_FALSE((axis.min && axis.max));
            CHECK(std::get<std::string>(axis.minorTickInterval) == "auto");
        }
    }
}

TEST_CASE("axis look and the trigonometric x axis") {
    InterfaceStyleScope light(InterfaceStyle::light);
    const std::string gray = hex(platform::gfx::Color::systemGray());
    AAXAxis plain = makeXAxis("k", std::nullopt, std::nullopt, false);
    CHECK(plain.title->text == "k");
    CHECK(plain.lineColor == gray);
    CHECK(plain.gridLineColor == gray);
    CHECK(plain.lineWidth == 0.5);
    CHECK(plain.gridLineWidth == 0.25);
    CHECK(plain.labels->style->color == gray);
    CHECK_FALSE(plain.labels->formatterFunction);
    CHECK_FALSE(plain.tickInterval);

    AAXAxis trig = makeXAxis("x", -1.0, 1.0, true);
    CHECK(trig.tickInterval == 1.5707964f);
    CHECK_FALSE(trig.tickPositions);
    CHECK(trig.labels->style->color == gray);
    REQUIRE(trig.labels->formatter);
    CHECK(trig.labels->formatter->find("Math.round(2 * this.value / Math.PI)") != std::string::npos);
    REQUIRE(trig.labels->formatterFunction);
    CHECK(trig.labels->formatterFunction(3 * M_PI / 2) == "3π/2");
}

TEST_CASE("tick labels in multiples of π/2") {
    struct Case {
        double value;
        const char* label;
    };
    const float quarterTurn = 1.5707964f;
    for (const Case& c : {Case{0, "0"}, Case{M_PI / 2, "π/2"}, Case{M_PI, "π"}, Case{3 * M_PI / 2, "3π/2"},
                          Case{2 * M_PI, "2π"}, Case{-M_PI / 2, "-π/2"}, Case{-M_PI, "-π"}, Case{-3 * M_PI / 2, "-3π/2"},
                          Case{-2 * M_PI, "-2π"}, Case{5 * M_PI / 2, "5π/2"}, Case{7 * M_PI, "7π"},
                          Case{6 * quarterTurn, "3π"}, Case{5 * quarterTurn, "5π/2"},
                          Case{0.7, "0"},                // 0.45 of π/2
                          Case{M_PI / 4, "π/2"},         // half a step rounds up
                          Case{-M_PI / 4, "0"},          // and so does minus a half
                          Case{-3 * M_PI / 4, "-π/2"},   // −1.5 rounds up to −1
                          Case{1e22 * M_PI, "1e+22π"}, Case{INFINITY, "Infinityπ/2"}, Case{-INFINITY, "-Infinityπ/2"},
                          Case{notANumber, "NaNπ/2"}}) {
        CAPTURE(c.value);
        CHECK(halfPiLabel(c.value) == c.label);
    }
}

TEST_CASE("model, crosshair, tooltip and the full options") {
    SUBCASE("model defaults") {
        InterfaceStyleScope light(InterfaceStyle::light);
        AAChartModel model = makeChartModel();
        CHECK(model.titleStyle->color == hex(platform::gfx::Color::systemGray()));
        CHECK(model.backgroundColor == "#ffffff");
        CHECK(model.stacking == AAChartStackingType::none);
        CHECK(model.tooltipEnabled == true);
        CHECK(model.dataLabelsEnabled == false);
        InterfaceStyleScope dark(InterfaceStyle::dark);
        CHECK(makeChartModel().backgroundColor == hex(platform::gfx::Color::systemBackground()));
        CHECK(makeChartModel().backgroundColor != "#ffffff");
    }
    SUBCASE("tooltip colours follow dark mode when it is built") {
        AATooltip light;
        {
            InterfaceStyleScope scope(InterfaceStyle::light);
            light = makeTooltip("k", "P(5; 0.3; X=k)");
        }
        CHECK_FALSE(light.backgroundColor);
        CHECK_FALSE(light.borderColor);
        CHECK_FALSE(light.style);
        CHECK_FALSE(light.shadow);
        CHECK(light.headerFormat == "k: {point.key}<br/>");
        CHECK(light.pointFormat == "P(5; 0.3; X=k): {point.y}<br/>");
        InterfaceStyleScope scope(InterfaceStyle::dark);
        AATooltip dark = makeTooltip("x", "y");
        CHECK(dark.backgroundColor == hex(platform::gfx::Color::systemBackground()));
        CHECK(dark.borderColor == hex(platform::gfx::Color::label()));
        CHECK(dark.borderWidth == 0.5);
        CHECK(dark.style->color == hex(platform::gfx::Color::label()));
        CHECK(dark.shadow == false);
    }
    SUBCASE("options: both crosshairs, fixed legend, texts and the tooltip of the titles") {
        InterfaceStyleScope light(InterfaceStyle::light);
        AAChartModel model = makeChartModel();
        model.chartType = AAChartType::area;
        model.title = "Histogram";
        AAOptions options = makeChartOptions(model, "k", std::nullopt, std::nullopt, "P", 0.0, 1.0, false);
        CHECK(options.chart.type == AAChartType::area);
        CHECK(options.title.text == "Histogram");
        for (const AAAxis* axis : {static_cast<const AAAxis*>(&*options.xAxis), static_cast<const AAAxis*>(&*options.yAxis)}) {
            REQUIRE(axis->crosshair);
            CHECK(axis->crosshair->dashStyle == "longDashDotDot");
            CHECK(axis->crosshair->color == hex(platform::gfx::Color::label()));
            CHECK(axis->crosshair->width == 1.5);
        }
        CHECK(options.yAxis->tickPositions->size() == 5);
        const AALegend& legend = *options.legend;
        CHECK(legend.symbolWidth == 20);
        CHECK(legend.symbolHeight == 10);
        CHECK(legend.itemDistance == 20);
        CHECK(legend.padding == 20);
        CHECK(legend.verticalAlign == AAChartVerticalAlignType::bottom);
        CHECK(legend.align == AAChartAlignType::center);
        CHECK(legend.layout == AAChartLayoutType::horizontal);
        CHECK(legend.itemStyle->color == "red");
        CHECK(legend.itemStyle->fontSize == 20);
        CHECK(legend.itemStyle->fontWeight == AAChartFontWeightType::bold);
        REQUIRE(options.plotOptions.events);
        CHECK(options.plotOptions.events->legendItemClick == "function() { return false; }");
        CHECK_FALSE(options.plotOptions.events->legendItemClickHandler(0));
        CHECK(options.lang->resetZoom == "重置缩放比例");
        CHECK(options.lang->thousandsSep == ",");
        CHECK(options.tooltip->headerFormat == "k: {point.key}<br/>");
        CHECK(options.tooltip->pointFormat == "P: {point.y}<br/>");
    }
}
