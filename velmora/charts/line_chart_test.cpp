// Tests of the distribution-function and plain line charts.
#include <doctest/doctest.h>

#include "velmora/charts/chart_test_support.h"
#include "velmora/charts/line_chart.h"

using namespace velmora;
using namespace velmora::testing;
using namespace platform::charts;
using platform::gfx::DrawOp;
using platform::gfx::Point;
using platform::gfx::Rect;

namespace {

std::vector<const DrawOp*> opsOf(const platform::gfx::DisplayList& list, DrawOp::Kind kind, const std::string& colour) {
    std::vector<const DrawOp*> out;
    for (const auto& op : list.ops()) {
        if (op.kind == kind && op.color && op.color->description() == colour) out.push_back(&op);
    }
    return out;
}

std::vector<Point> endPoints(const platform::gfx::Path& path) {
    std::vector<Point> out;
    for (const auto& e : path.elements()) {
        if (!e.points.empty()) out.push_back(e.points.back());
    }
    return out;
}

void checkPoints(const std::vector<Point>& got, const std::vector<Point>& expected) {
    REQUIRE(got.size() == expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        CHECK(got[i].x == doctest::Approx(expected[i].x));
        CHECK(got[i].y == doctest::Approx(expected[i].y));
    }
}

}  // namespace

TEST_CASE("the distribution function of k=2, n=5, p=0.3 as steps with dots at the jumps") {
    auto data = record<DistributionFunctionChartData>(bernoulliCharts("2", "5", "0.3"), 1);
    auto view = LineChartManager::makeDistributionFunctionChart(*data, Rect(20, 20, 360, 360));
    REQUIRE(view);
    REQUIRE(view->chartView());
    // F(k) by hand: the rounded probabilities summed, each sum rounded
    std::vector<double> F;
    double sum = 0;
    for (int k = 0; k <= 5; ++k) {
        sum += binomialPoint(k, 5, 0.3);
        F.push_back(std::round(sum * 1e5) / 1e5);
    }
    const AAOptions& options = *view->chartView()->chartOptions();
    SUBCASE("two series of the same name, stepping on the left") {
        CHECK(options.chart.type == AAChartType::line);
        CHECK(options.title.text == "Distribution function");
        CHECK(options.colors == std::vector<std::string>{data->chartColorHexCode});
        CHECK(options.plotOptions.markerRadius == 0);
        REQUIRE(options.series.size() == 2);
        std::vector<std::vector<double>> jumps;
        for (int k = 0; k <= 5; ++k) jumps.push_back({double(k), F[k]});
        CHECK(options.series[0].name == "F(5; 0.3; X)");
        CHECK(options.series[0].step == "left");
        CHECK(options.series[0].marker->radius == 5.0);
        for (std::size_t k = 0; k < jumps.size(); ++k) {
            CHECK(options.series[0].data[k][0] == jumps[k][0]);
            CHECK(options.series[0].data[k][1] == doctest::Approx(jumps[k][1]).epsilon(1e-12));
        }
        CHECK(options.series[1].name == "F(5; 0.3; X)");
        CHECK(options.series[1].step == "left");
        CHECK_FALSE(options.series[1].marker);
        REQUIRE(options.series[1].data.size() == 8);
        CHECK(options.series[1].data.front() == std::vector<double>{-1, 0});
        CHECK(options.series[1].data.back() == std::vector<double>{6, 1});
        CHECK(F.back() == doctest::Approx(1.0).epsilon(1e-4));
        CHECK(options.xAxis->title->text == "x");
        CHECK(options.yAxis->title->text == "F(5; 0.3; X)");
    }
    SUBCASE("the drawn steps hold each value until the next jump") {
        auto list = drawView(*view->chartView());
        auto g = view->chartView()->geometry();
        auto strokes = opsOf(list, DrawOp::Kind::strokePath, data->chartColorHexCode);
        REQUIRE(strokes.size() >= 2);
        // the padded series: 0 left of 0, F(k) on [k, k+1), 1 right of 5
        std::vector<Point> corners{g.toView({-1, 0}), g.toView({0, 0})};
        for (int k = 0; k <= 5; ++k) {
            corners.push_back(g.toView({double(k), F[k]}));
            corners.push_back(g.toView({double(k + 1), F[k]}));
        }
        corners.push_back(g.toView({6, 1}));
        checkPoints(endPoints(strokes[1]->path), corners);
        auto dots = opsOf(list, DrawOp::Kind::fillEllipse, data->chartColorHexCode);
        REQUIRE(dots.size() >= 6);
        for (int k = 0; k <= 5; ++k) {
            CHECK(dots[k]->rect.size.width == 10);
            CHECK(dots[k]->rect.center().x == doctest::Approx(g.toView({double(k), F[k]}).x));
            CHECK(dots[k]->rect.center().y == doctest::Approx(g.toView({double(k), F[k]}).y));
        }
    }
    SUBCASE("the nib's view fills the view, the chart fills it") {
        REQUIRE(view->contentView());
        CHECK(view->contentView()->frame() == Rect(0, 0, 360, 360));
        CHECK(view->contentView()->autoresizingMask() == 18);
        CHECK(view->contentView()->layer()->shadowOpacity() == 0.5);
        CHECK(view->chartView()->superviewPointer() == view->contentView().get());
        CHECK(view->chartView()->frame() == Rect(0, 0, 360, 360));
        CHECK_FALSE(view->chartView()->scrollEnabled());
        CHECK(view->chartView()->isClearBackgroundColor());
    }
}

TEST_CASE("padded distribution series and their guards") {
    DistributionFunctionChartData data;
    struct Case {
        const char* what;
        std::vector<ChartPoint> dataSet;
        bool converse;
        std::optional<std::vector<ChartPoint>> padded;
    };
    for (const Case& c : {
             Case{"n = 1", {{0, 0.7}, {1, 1}}, false, std::vector<ChartPoint>{{-1, 0}, {0, 0.7}, {1, 1}, {2, 1}}},
             Case{"converse", {{0, 0.7}, {1, 1}}, true, std::vector<ChartPoint>{{-1, 1}, {0, 0.7}, {1, 1}, {2, 0}}},
             Case{"empty", {}, false, std::nullopt},
             Case{"empty first point", {{}, {1, 1}}, false, std::nullopt},
             Case{"empty last point", {{0, 1}, {}}, false, std::nullopt},
         }) {
        CAPTURE(c.what);
        data.dataSet = c.dataSet;
        data.isConverse = c.converse;
        CHECK(LineChartManager::makeDistributionSeries(data) == c.padded);
        CHECK(bool(LineChartManager::makeDistributionFunctionChart(data, Rect(0, 0, 200, 200))) == c.padded.has_value());
    }
    LineChartView archived;
    CHECK_FALSE(archived.draw(data));
    CHECK_FALSE(archived.chartView());
}

TEST_CASE("a plain line with marked points on square axes") {
    LineChartData data;
    data.chartTitle = "Line";
    data.dataName = "f(x)";
    data.chartColorHexCode = "#546dff";
    data.startPoint = {-2, -1};
    data.endPoint = {2, 1};
    data.markedPoints = {{0, 0}, {1, 0.5}};
    data.axisLimit = -4;
    data.frameRatio = 1.0;
    auto view = LineChartManager::makeLineChart(data, Rect(0, 0, 300, 300));
    const AAOptions& options = *view->chartView()->chartOptions();
    REQUIRE(options.series.size() == 2);
    CHECK(options.series[0].data == std::vector<std::vector<double>>{{-2, -1}, {2, 1}});
    CHECK(options.series[1].data == data.markedPoints);
    CHECK(options.series[1].marker->radius == 5.0);
    CHECK(options.series[1].marker->lineWidth == 0.0);
    CHECK(options.colors == std::vector<std::string>{"#546dff"});
    CHECK(options.xAxis->title->text == "x");
    CHECK(options.yAxis->title->text == "f(x)");
    for (const AAAxis* axis : {static_cast<const AAAxis*>(&*options.xAxis), static_cast<const AAAxis*>(&*options.yAxis)}) {
        CHECK(axis->min == -4);
        CHECK(axis->max == 4);
        CHECK(axis->tickPositions == std::vector<double>{-4, -3, -2, -1, 0, 1, 2, 3, 4});
    }
    auto list = drawView(*view->chartView());
    auto g = view->chartView()->geometry();
    auto strokes = opsOf(list, DrawOp::Kind::strokePath, "#546dff");
    REQUIRE_FALSE(strokes.empty());
    checkPoints(endPoints(strokes[0]->path), {g.toView({-2, -1}), g.toView({2, 1})});
    CHECK(g.toView({-4, -4}).x == doctest::Approx(g.plotArea.minX()));
    CHECK(g.toView({4, 4}).y == doctest::Approx(g.plotArea.minY()));
}
