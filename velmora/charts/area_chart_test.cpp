// Tests of the histogram chart: its recorded series and the bars it draws.
#include <doctest/doctest.h>

#include "velmora/charts/area_chart.h"
#include "velmora/charts/chart_test_support.h"

using namespace velmora;
using namespace velmora::testing;
using namespace platform::charts;
using platform::gfx::DrawOp;
using platform::gfx::Point;
using platform::gfx::Rect;

namespace {

std::vector<Point> endPoints(const platform::gfx::Path& path) {
    std::vector<Point> out;
    for (const auto& e : path.elements()) {
        if (!e.points.empty()) out.push_back(e.points.back());
    }
    return out;
}

}  // namespace

TEST_CASE("the histogram of k=2, n=5, p=0.3 as a stepped area") {
    auto data = record<HistogramChartData>(bernoulliCharts("2", "5", "0.3"), 0);
    auto view = AreaChartManager::makeAreaChart(*data, Rect(20, 20, 360, 360));
    REQUIRE(view);
    SUBCASE("the recorded options") {
        const AAOptions& options = *view->chartView()->chartOptions();
        CHECK(options.chart.type == AAChartType::area);
        CHECK(options.title.text == "Histogram");
        CHECK(options.plotOptions.markerRadius == 0);
        REQUIRE(options.series.size() == 1);
        const AASeriesElement& series = options.series[0];
        CHECK(series.name == "P(5; 0.3; X=k)");
        CHECK(series.step == "center");
        CHECK(series.color == data->dataSetWithColorTheme[0].hexColor);
        // one point on the axis a unit outside the bars on each side
        std::vector<std::vector<double>> expected{{-1, 0}};
        for (int k = 0; k <= 5; ++k) expected.push_back({double(k), binomialPoint(k, 5, 0.3)});
        expected.push_back({6, 0});
        CHECK(series.data == expected);
        CHECK(options.xAxis->title->text == "k");
        CHECK(options.yAxis->title->text == "P(5; 0.3; X=k)");
        CHECK_FALSE(options.yAxis->min);
        CHECK_FALSE(options.xAxis->tickPositions);
        CHECK(options.tooltip->headerFormat == "k: {point.key}<br/>");
        CHECK(options.tooltip->pointFormat == "P(5; 0.3; X=k): {point.y}<br/>");
    }
    SUBCASE("the view hosts the chart over its whole frame") {
        CHECK(view->frame() == Rect(20, 20, 360, 360));
        CHECK(view->autoresizingMask() == 18);
        CHECK(view->chartView()->frame() == Rect(0, 0, 360, 360));
        CHECK_FALSE(view->chartView()->scrollEnabled());
        CHECK(view->chartView()->isClearBackgroundColor());
        CHECK(view->backgroundColor() == platform::gfx::Color::systemBackground());
        CHECK(view->chartView()->layer()->shadowOpacity() == 0.5);
    }
    SUBCASE("the drawn bars: one unit wide about each k, down to 0 outside") {
        auto list = drawView(*view->chartView());
        auto g = view->chartView()->geometry();
        const std::string colour = data->dataSetWithColorTheme[0].hexColor;
        std::vector<const DrawOp*> fills;
        for (const auto& op : list.ops()) {
            if (op.kind == DrawOp::Kind::fillPath && op.color && op.color->description() == colour) fills.push_back(&op);
        }
        REQUIRE(fills.size() == 1);
        // centre steps: each value holds from halfway before its x to
        // halfway after; the last two points close the area on the axis
        std::vector<Point> corners{{-1, 0}};
        double previous = 0;
        for (int k = 0; k <= 6; ++k) {
            double p = k <= 5 ? binomialPoint(k, 5, 0.3) : 0;
            corners.push_back({k - 0.5, previous});
            corners.push_back({k - 0.5, p});
            corners.push_back({double(k), p});
            previous = p;
        }
        corners.push_back({6, 0});
        corners.push_back({-1, 0});
        auto got = endPoints(fills[0]->path);
        REQUIRE(got.size() == corners.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            Point want = g.toView(corners[i]);
            CHECK(got[i].x == doctest::Approx(want.x));
            CHECK(got[i].y == doctest::Approx(want.y));
        }
        CHECK(fills[0]->alpha == doctest::Approx(0.75));
        auto texts = list.texts();
        CHECK(std::count(texts.begin(), texts.end(), "P(5; 0.3; X=k)") == 2);  // y title and legend
    }
}

TEST_CASE("histogram series and their guards") {
    HistogramChartData data;
    data.dataName = "P";
    data.chartTitle = "H";
    data.frameRatio = 1.0;
    struct Case {
        const char* what;
        std::vector<HistogramChartData::ColorTheme> themes;
        std::optional<std::vector<std::vector<double>>> firstSeries;
    };
    for (const Case& c : {
             Case{"n = 2", {{"#00e575", {{0, 0.49}, {1, 0.42}, {2, 0.09}}}},
                  std::vector<std::vector<double>>{{-1, 0}, {0, 0.49}, {1, 0.42}, {2, 0.09}, {3, 0}}},
             Case{"a point without values stands at 0", {{"#00e575", {{}, {2, 0.5}}}},
                  std::vector<std::vector<double>>{{-1, 0}, {}, {2, 0.5}, {3, 0}}},
             Case{"a theme without points", {{"#00e575", {{0, 1}}}, {"#ff0000", {}}}, std::nullopt},
             Case{"no themes", {}, std::nullopt},
         }) {
        CAPTURE(c.what);
        data.dataSetWithColorTheme = c.themes;
        auto view = AreaChartManager::makeAreaChart(data, Rect(0, 0, 300, 300));
        CHECK(bool(view) == c.firstSeries.has_value());
        if (view && c.firstSeries) CHECK(view->chartView()->chartOptions()->series[0].data == *c.firstSeries);
    }
    data.dataSetWithColorTheme = {{"#111111", {{0, 1}}}, {"#222222", {{5, 1}}}};
    auto two = AreaChartManager::makeAreaChart(data, Rect(0, 0, 300, 300));
    REQUIRE(two);
    const auto& series = two->chartView()->chartOptions()->series;
    REQUIRE(series.size() == 2);
    CHECK(series[1].color == "#222222");
    CHECK(series[1].data == std::vector<std::vector<double>>{{4, 0}, {5, 1}, {6, 0}});
    CHECK_FALSE(AreaChartView().chartView());  // made as from an archive: no chart
}
