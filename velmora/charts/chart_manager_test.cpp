// Tests of chart frames, view choice, list charts, the written-out function and chart cells.
#include <doctest/doctest.h>

#include <cmath>
#include <limits>

#include "velmora/charts/area_chart.h"
#include "velmora/charts/chart_manager.h"
#include "velmora/charts/chart_table_view_cell.h"
#include "velmora/charts/chart_test_support.h"
#include "velmora/charts/distribution_function_presentation_view.h"
#include "velmora/charts/line_chart.h"
#include "velmora/charts/spline_chart.h"
#include "velmora/charts/unit_circle_chart_view.h"

using namespace velmora;
using namespace velmora::testing;
using platform::gfx::Rect;
using platform::ui::View;

namespace {

template <class Record>
std::shared_ptr<Record> made(double ratio) {
    auto r = std::make_shared<Record>();
    r->frameRatio = ratio;
    return r;
}

std::shared_ptr<DistributionFunctionChartData> presentation(std::vector<ChartPoint> points) {
    auto r = made<DistributionFunctionChartData>(1.0);
    r->isPresentationView = true;
    r->dataSet = std::move(points);
    return r;
}

std::shared_ptr<CommonSplineChartData> spline(double ratio) {
    auto r = made<CommonSplineChartData>(ratio);
    r->dataSet = {{0, 0}, {1, 1}};
    return r;
}

std::shared_ptr<TrigonometricChartData> sine() {
    auto r = made<TrigonometricChartData>(1.0);
    r->lengthOfGraph = M_PI;
    r->periodLength = 2 * M_PI;
    r->amplitude = 1;
    r->type = TrigonometricType::sin;
    return r;
}

}  // namespace

TEST_CASE("chart frames from the reference width and the frame ratio") {
    const double notANumber = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        double width;
        std::optional<double> ratio;
        std::optional<Rect> frame;
    };
    for (const Case& c : {Case{400, 1.0, Rect(20, 20, 360, 360)}, Case{400, 2.0, Rect(20, 10, 360, 180)},
                          Case{390, 0.5, Rect(19.5, 39, 351, 702)}, Case{0, 1.0, Rect(0, 0, 0, 0)},
                          Case{400, std::nullopt, std::nullopt}, Case{400, 0.0, std::nullopt},
                          Case{400, -1.0, std::nullopt}, Case{400, notANumber, std::nullopt},
                          Case{400, INFINITY, std::nullopt}, Case{400, 1e-320, std::nullopt}}) {
        CAPTURE(c.width);
        CAPTURE(c.ratio.value_or(-99));
        View reference(Rect(0, 0, c.width, 800));
        HistogramChartData data;
        data.frameRatio = c.ratio;
        CHECK(ChartManager::chartFrame(data, reference) == c.frame);
    }
}

TEST_CASE("the view for each record class") {
    View reference(Rect(0, 0, 400, 800));
    auto lists = bernoulliCharts("2", "5", "0.3");
    auto line = made<LineChartData>(1.0);
    line->axisLimit = 2;
    struct Case {
        const char* what;
        std::shared_ptr<ChartData> record;
        bool (*isExpected)(const View*);
    };
    const Case cases[] = {
        {"histogram", lists[0][0], [](const View* v) { return dynamic_cast<const AreaChartView*>(v) != nullptr; }},
        {"distribution function", lists[1][0],
         [](const View* v) { return dynamic_cast<const LineChartView*>(v) != nullptr; }},
        {"tree", lists[2][0],
         [](const View* v) { return v && !v->subviews().empty() && v->subviews()[0]->className() == "ScrollView"; }},
        {"line", line, [](const View* v) { return dynamic_cast<const LineChartView*>(v) != nullptr; }},
        {"trigonometric", sine(), [](const View* v) { return dynamic_cast<const SplineChartView*>(v) != nullptr; }},
        {"unit circle", std::make_shared<UnitCircleChartData>(30, M_PI / 6, 30, 0, Quadrant::first),
         [](const View* v) { return dynamic_cast<const UnitCircleChartView*>(v) != nullptr; }},
        {"presentation", presentation({{0, 0.7}}),
         [](const View* v) { return dynamic_cast<const DistributionFunctionPresentationView*>(v) != nullptr; }},
        {"presentation without a value", presentation({{}}), [](const View* v) { return v == nullptr; }},
        {"common spline (drawn only as a list)", spline(1.0), [](const View* v) { return v == nullptr; }},
        {"plain record", made<ChartData>(1.0), [](const View* v) { return v == nullptr; }},
        {"no record", nullptr, [](const View* v) { return v == nullptr; }},
    };
    for (const Case& c : cases) {
        CAPTURE(c.what);
        auto view = ChartManager::makeChartViews(c.record, reference);
        CHECK(c.isExpected(view.get()));
        if (view) CHECK(view->frame() == Rect(20, c.record->frameRatio == 2.0 ? 10 : 20, 360, *c.record->frameRatio == 2.0 ? 180 : 360));
    }
    auto circle = std::make_shared<UnitCircleChartData>(30, M_PI / 6, 30, 0, Quadrant::first);
    auto circleView = std::dynamic_pointer_cast<UnitCircleChartView>(ChartManager::makeChartViews(circle, reference));
    REQUIRE(circleView);
    CHECK(circleView->unitCircleChartData() == circle);
    CHECK(circleView->frame() == Rect(20, 10, 360, 180));
}

TEST_CASE("charts of whole lists") {
    View reference(Rect(0, 0, 400, 800));
    auto two = ChartManager::makeCommonSplineCharts({spline(2.0), spline(1.0)}, reference);
    auto splineView = std::dynamic_pointer_cast<SplineChartView>(two);
    REQUIRE(splineView);
    CHECK(splineView->frame() == Rect(20, 10, 360, 180));  // the first record's ratio
    CHECK(splineView->chartView()->chartOptions()->series.size() == 2);
    auto lists = bernoulliCharts("2", "5", "0.3");
    CHECK_FALSE(ChartManager::makeCommonSplineCharts({lists[0][0], lists[2][0]}, reference));
    CHECK_FALSE(ChartManager::makeCommonSplineCharts({spline(1.0), lists[0][0]}, reference));
    CHECK_FALSE(ChartManager::makeCommonSplineCharts({}, reference));
    CHECK_FALSE(ChartManager::makeCommonSplineCharts({spline(0.0)}, reference));
}

TEST_CASE("the distribution function written out") {
    struct Case {
        double value;
        const char* middle;
    };
    for (const Case& c : {Case{0.7, "0.7;"}, Case{1.0 / 3, "0.3333333333;"}, Case{0.25, "0.25;"}, Case{1, "1;"}}) {
        DistributionFunctionPresentationView view(Rect(0, 0, 360, 360), c.value);
        REQUIRE(view.contentView());
        CHECK(view.contentView()->frame() == Rect(0, 0, 360, 360));
        CHECK(view.contentView()->autoresizingMask() == 18);
        CHECK(view.label(2)->latex() == c.middle);
        CHECK(view.labelLeft()->latex() == "F(X) = ");
        CHECK(view.labelMid()->latex() == "\\{");
        CHECK(view.labelMid()->fontSize() == 46.0);
        CHECK(view.label(1)->latex() == "0;");
        CHECK(view.label(3)->latex() == "1;");
        CHECK(view.label(4)->latex() == "\\quad x<0");
        CHECK(view.label(5)->latex() == "\\quad 0 \\le x < 1");
        CHECK(view.label(6)->latex() == "\\quad 1 \\le x");
        for (int i = 1; i <= 6; ++i) CHECK_FALSE(view.label(i)->error());
        CHECK_FALSE(view.label(7));
        auto list = renderView(view);
        CHECK_FALSE(list.empty());
    }
    DistributionFunctionPresentationView archived;
    CHECK_FALSE(archived.contentView());
    CHECK_FALSE(archived.label(1));
}

TEST_CASE("chart cells") {
    View host(Rect(0, 0, 400, 800));
    ChartTableViewCell cell;
    auto lists = bernoulliCharts("2", "5", "0.3");
    SUBCASE("an empty list empties the cell") {
        cell.configure(lists[0], host);
        CHECK(cell.contentView()->subviews().size() == 1);
        cell.configure({}, host);
        CHECK(cell.contentView()->subviews().empty());
        CHECK(cell.chartData().empty());
    }
    SUBCASE("one histogram: one chart view, replaced when configured again") {
        cell.configure(lists[0], host);
        REQUIRE(cell.contentView()->subviews().size() == 1);
        auto first = cell.contentView()->subviews()[0];
        CHECK(dynamic_cast<AreaChartView*>(first.get()));
        cell.configure(lists[1], host);
        REQUIRE(cell.contentView()->subviews().size() == 1);
        CHECK(dynamic_cast<LineChartView*>(cell.contentView()->subviews()[0].get()));
        CHECK(cell.chartData() == lists[1]);
        CHECK(first->superview() == nullptr);
    }
    SUBCASE("a one-record list the manager cannot draw falls back to the list's chart") {
        cell.configure({spline(1.0)}, host);
        REQUIRE(cell.contentView()->subviews().size() == 1);
        CHECK(dynamic_cast<SplineChartView*>(cell.contentView()->subviews()[0].get()));
        cell.configure({made<ChartData>(1.0)}, host);
        CHECK(cell.contentView()->subviews().empty());
        cell.configure({lists[0][0], lists[2][0]}, host);
        CHECK(cell.contentView()->subviews().empty());
    }
    SUBCASE("row heights and the interface file") {
        CHECK(ChartTableViewCell::rowHeight(lists[0], 390) == 390);
        CHECK(ChartTableViewCell::rowHeight({std::make_shared<UnitCircleChartData>(1, 1, 1, 0, Quadrant::first)}, 390) ==
              195);
        CHECK_FALSE(ChartTableViewCell::rowHeight({}, 390));
        CHECK_FALSE(ChartTableViewCell::rowHeight({made<ChartData>(0.0)}, 390));
        CHECK_FALSE(ChartTableViewCell::rowHeight({std::make_shared<ChartData>()}, 390));
        auto views = ChartTableViewCell::nib().instantiate(nullptr);
        REQUIRE(views.size() == 1);
        auto nibCell = std::dynamic_pointer_cast<ChartTableViewCell>(views[0]);
        REQUIRE(nibCell);
        CHECK(nibCell->reuseIdentifier() == "chartCell");
        CHECK(nibCell->chartData().empty());
    }
}
