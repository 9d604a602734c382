// Tests of trigonometric sampling and the spline charts.
#include <doctest/doctest.h>

#include <cmath>
#include <limits>

#include "velmora/charts/spline_chart.h"

using namespace velmora;
using namespace platform::charts;
using platform::gfx::Rect;

namespace {

TrigonometricChartData function(TrigonometricType type, double length, double offset = 0, double period = 2 * M_PI,
                                double amplitude = 1) {
    TrigonometricChartData data;
    data.type = type;
    data.lengthOfGraph = length;
    data.offset = offset;
    data.periodLength = period;
    data.amplitude = amplitude;
    data.frameRatio = 1.0;
    return data;
}

double round3(double v) { return std::round(v * 1000) / 1000; }

}  // namespace

TEST_CASE("trigonometric samples") {
    SUBCASE("a full sine period: 64 steps of 0.098") {
        auto samples = SplineChartManager::trigonometricSamples(function(TrigonometricType::sin, 2 * M_PI));
        REQUIRE(samples.size() == 65);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            double x = 0.098 * static_cast<double>(i);
            CHECK(samples[i][0] == doctest::Approx(x));
            CHECK(samples[i][1] == doctest::Approx(round3(std::sin(x))));
        }
    }
    SUBCASE("step counts") {
        struct Case {
            TrigonometricType type;
            double length, offset;
            std::size_t samples;
        };
        for (const Case& c : {
                 Case{TrigonometricType::sin, 0.3, 0, 5},        // a quarter of 0.3 is fine enough
                 Case{TrigonometricType::sin, M_PI / 8, 0, 5},   // a quarter is exactly π/32
                 Case{TrigonometricType::cos, 1, -1, 23},        // range 2: 2/N ≤ π/32 from N = 22
                 Case{TrigonometricType::tan, M_PI, 0, 201},     // 200 per π over π: steps of π/200
                 Case{TrigonometricType::sin, -2 * M_PI, 0, 65}, // a negative length runs left
                 Case{TrigonometricType::sin, 0, 0, 5},
             }) {
            CAPTURE(c.length);
            CHECK(SplineChartManager::trigonometricSamples(function(c.type, c.length, c.offset)).size() == c.samples);
        }
        auto left = SplineChartManager::trigonometricSamples(function(TrigonometricType::sin, -2 * M_PI));
        CHECK(left.back()[0] == doctest::Approx(-0.098 * 64));
        auto shifted = SplineChartManager::trigonometricSamples(function(TrigonometricType::cos, 1, -1));
        CHECK(shifted.front()[0] == -1);
        CHECK(shifted.front()[1] == doctest::Approx(round3(std::cos(-1))));
    }
    SUBCASE("ranges that cannot be sampled give nothing, and never loop") {
        const double notANumber = std::numeric_limits<double>::quiet_NaN();
        TrigonometricChartData noType = function(TrigonometricType::sin, 1);
        noType.type.reset();
        TrigonometricChartData noLength = function(TrigonometricType::sin, 1);
        noLength.lengthOfGraph.reset();
        for (const auto& data : {function(TrigonometricType::tan, 0), function(TrigonometricType::tan, -1),
                                 function(TrigonometricType::tan, notANumber), function(TrigonometricType::sin, notANumber),
                                 function(TrigonometricType::cos, INFINITY), function(TrigonometricType::sin, 1, INFINITY),
                                 noType, noLength}) {
            CHECK(SplineChartManager::trigonometricSamples(data).empty());
            CHECK_FALSE(SplineChartManager::makeTrigonometricChart(data, Rect(0, 0, 100, 100)));
        }
    }
    SUBCASE("wide ranges are sampled coarser, not endlessly") {
        auto samples = SplineChartManager::trigonometricSamples(function(TrigonometricType::tan, 1000));
        CHECK(samples.size() == SplineChartManager::maximumSampleIntervals + 1);
        auto period = SplineChartManager::trigonometricSamples(function(TrigonometricType::sin, 1, 0, 0));
        REQUIRE(period.size() == 13);  // range 1: 1/N ≤ π/32 from N = 12
        CHECK(std::isnan(period[0][1]));  // a period of 0 gives no numbers to draw, and no failure
    }
}

TEST_CASE("trigonometric charts") {
    struct Case {
        TrigonometricType type;
        const char* series;
        const char* title;
        const char* colour;
        AAChartType chartType;
        double markerRadius;
        bool yRange;
    };
    for (const Case& c : {Case{TrigonometricType::sin, "sin(x)", "Sin", "#FF0000", AAChartType::spline, 0, false},
                          Case{TrigonometricType::cos, "cos(x)", "Cos", "#000CFF", AAChartType::spline, 0, false},
                          Case{TrigonometricType::tan, "tan(x)", "Tan", "#00E13A", AAChartType::scatter, 1.0, true}}) {
        CAPTURE(c.series);
        auto data = function(c.type, 2 * M_PI, 0, 2 * M_PI, 1.5);
        auto view = SplineChartManager::makeTrigonometricChart(data, Rect(0, 0, 300, 300));
        REQUIRE(view);
        const AAOptions& options = *view->chartView()->chartOptions();
        CHECK(options.chart.type == c.chartType);
        CHECK(options.title.text == c.title);
        CHECK(options.colors == std::vector<std::string>{c.colour});
        CHECK(options.plotOptions.markerRadius == c.markerRadius);
        REQUIRE(options.series.size() == 1);
        CHECK(options.series[0].name == c.series);
        CHECK(options.series[0].data == SplineChartManager::trigonometricSamples(data));
        CHECK(options.xAxis->title->text == "x");
        CHECK(options.yAxis->title->text == c.series);
        CHECK(options.xAxis->tickInterval == 1.5707964f);
        CHECK(options.xAxis->labels->formatterFunction(M_PI) == "π");
        CHECK(options.yAxis->min.has_value() == c.yRange);
        if (c.yRange) {
            CHECK(options.yAxis->min == -3);
            CHECK(options.yAxis->max == 3);
        }
    }
}

TEST_CASE("common splines in one chart") {
    auto make = [](const char* title, const char* name, const char* colour, std::vector<ChartPoint> points) {
        auto data = std::make_shared<CommonSplineChartData>();
        data->chartTitle = title;
        data->dataName = name;
        data->chartColorHexCode = colour;
        data->dataSet = std::move(points);
        data->frameRatio = 1.0;
        return data;
    };
    auto first = make("Functions", "function f", "#111111", {{0, 0}, {1, 1}, {2, 4}});
    auto second = make("ignored", "function g(function)", "#222222", {{0, 1}, {2, 3}});
    auto view = SplineChartManager::makeCommonSplineChart({first, second}, Rect(0, 0, 300, 300));
    REQUIRE(view);
    const AAOptions& options = *view->chartView()->chartOptions();
    CHECK(options.chart.type == AAChartType::spline);
    CHECK(options.title.text == "Functions");
    CHECK(options.colors == std::vector<std::string>{"#111111", "#222222"});
    REQUIRE(options.series.size() == 2);
    CHECK(options.series[0].name == "func f");
    CHECK(options.series[1].name == "func g(func)");
    CHECK(options.series[1].data == second->dataSet);
    CHECK(options.plotOptions.markerRadius == 0);
    CHECK(options.xAxis->title->text == "x");
    CHECK(options.yAxis->title->text == "y");
    CHECK_FALSE(options.xAxis->labels->formatterFunction);
    CHECK_FALSE(SplineChartManager::makeCommonSplineChart({}, Rect(0, 0, 300, 300)));
    CHECK_FALSE(SplineChartView().draw(std::vector<std::shared_ptr<CommonSplineChartData>>{first}));
}
