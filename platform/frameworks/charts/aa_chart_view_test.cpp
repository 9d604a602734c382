// Tests of the chart view: what it records for series, axes, legend, touches and bad data.
#include <doctest/doctest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/frameworks/charts/aa_chart_view.h"
#include "platform/frameworks/charts/color_text.h"
#include "platform/gfx/graphics_context.h"

using namespace platform::charts;
using platform::gfx::Color;
using platform::gfx::ContextScope;
using platform::gfx::DisplayList;
using platform::gfx::DrawOp;
using platform::gfx::GraphicsContext;
using platform::gfx::Path;
using platform::gfx::Point;
using platform::gfx::Rect;

namespace {

DisplayList render(AAChartView& view) {
    GraphicsContext context(view.bounds().size);
    ContextScope scope(context);
    view.draw(view.bounds());
    return context.takeDisplayList();
}

AASeriesElement series(std::string name, std::vector<std::vector<double>> data) {
    AASeriesElement s;
    s.name = std::move(name);
    s.data = std::move(data);
    return s;
}

AAOptions chart(AAChartType type, std::vector<AASeriesElement> list, std::vector<std::string> colors) {
    AAChartModel model;
    model.chartType = type;
    model.title = "Title";
    model.series = std::move(list);
    model.colorsTheme = std::move(colors);
    return AAOptionsConstructor::configureChartOptions(model);
}

std::vector<const DrawOp*> opsOf(const DisplayList& list, DrawOp::Kind kind, const std::string& color) {
    std::vector<const DrawOp*> out;
    for (const auto& op : list.ops()) {
        if (op.kind == kind && op.color && op.color->description() == color) out.push_back(&op);
    }
    return out;
}

std::vector<Point> endPoints(const Path& path) {
    std::vector<Point> out;
    for (const auto& e : path.elements()) {
        if (!e.points.empty()) out.push_back(e.points.back());
    }
    return out;
}

// A data point where the plot shows it, worked out from the plot area and
// the axis ranges alone.
Point placed(const ChartGeometry& g, double x, double y) {
    const Rect& p = g.plotArea;
    return {p.origin.x + (x - g.xScale.min) / (g.xScale.max - g.xScale.min) * p.size.width,
            p.origin.y + p.size.height - (y - g.yScale.min) / (g.yScale.max - g.yScale.min) * p.size.height};
}

void checkPoints(const std::vector<Point>& got, const std::vector<Point>& expected) {
    REQUIRE(got.size() == expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        CHECK(got[i].x == doctest::Approx(expected[i].x));
        CHECK(got[i].y == doctest::Approx(expected[i].y));
    }
}

bool hasText(const DisplayList& list, const std::string& text) {
    auto texts = list.texts();
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

}  // namespace

TEST_CASE("a chart view draws what its options say") {
    AAChartView view(Rect(0, 0, 360, 360));
    SUBCASE("line series, axes with ticks and labels, legend and title") {
        view.aa_drawChartWithChartOptions(chart(
            AAChartType::line, {series("first", {{0, 0}, {1, 1}, {2, 4}}), series("second", {{0, 1}, {2, 3}})},
            {"#ff0000", "#0000ff"}));
        auto list = render(view);
        auto g = view.geometry();
        REQUIRE_FALSE(g.plotArea.isEmpty());
        auto red = opsOf(list, DrawOp::Kind::strokePath, "#ff0000");
        REQUIRE(red.size() == 2);  // the series, then its legend symbol
        checkPoints(endPoints(red[0]->path), {placed(g, 0, 0), placed(g, 1, 1), placed(g, 2, 4)});
        auto blue = opsOf(list, DrawOp::Kind::strokePath, "#0000ff");
        REQUIRE(blue.size() == 2);
        checkPoints(endPoints(blue[0]->path), {placed(g, 0, 1), placed(g, 2, 3)});
        // x runs 0…2 in quarters, y 0…4 in halves
        for (const char* text : {"0", "0.25", "1.75", "2", "0.5", "3.5", "4", "first", "second", "Title"}) {
            CAPTURE(text);
            CHECK(hasText(list, text));
        }
        CHECK(placed(g, 0, 0).x == doctest::Approx(g.plotArea.minX()));
        CHECK(placed(g, 2, 4).y == doctest::Approx(g.plotArea.minY()));
        CHECK(view.drawChartCount() == 1);
    }
    SUBCASE("a stepped area fills down to zero") {
        auto options = chart(AAChartType::area, {series("P", {{-1, 0}, {0, 0.5}, {1, 0.25}, {2, 0}})}, {"#00e575"});
        options.series[0].step = "center";
        options.series[0].color = "#00e575";
        options.plotOptions.markerRadius = 0;
        view.aa_drawChartWithChartOptions(options);
        auto list = render(view);
        auto g = view.geometry();
        auto fills = opsOf(list, DrawOp::Kind::fillPath, "#00e575");
        REQUIRE(fills.size() == 1);
        CHECK(fills[0]->alpha == doctest::Approx(0.75));
        checkPoints(endPoints(fills[0]->path),
                    {placed(g, -1, 0), placed(g, -0.5, 0), placed(g, -0.5, 0.5), placed(g, 0, 0.5), placed(g, 0.5, 0.5),
                     placed(g, 0.5, 0.25), placed(g, 1, 0.25), placed(g, 1.5, 0.25), placed(g, 1.5, 0), placed(g, 2, 0),
                     placed(g, 2, 0), placed(g, -1, 0)});
        CHECK(opsOf(list, DrawOp::Kind::strokePath, "#00e575").size() == 1);
        CHECK(opsOf(list, DrawOp::Kind::fillEllipse, "#00e575").empty());  // marker radius 0
    }
    SUBCASE("scatter series are dots only; markers take their radius") {
        auto options = chart(AAChartType::scatter, {series("tan", {{0, 0}, {1, 1}, {2, 2}})}, {"#00e13a"});
        options.plotOptions.markerRadius = 1;
        view.aa_drawChartWithChartOptions(options);
        auto list = render(view);
        CHECK(opsOf(list, DrawOp::Kind::strokePath, "#00e13a").empty());
        auto dots = opsOf(list, DrawOp::Kind::fillEllipse, "#00e13a");
        REQUIRE(dots.size() == 4);  // three points and the legend symbol
        CHECK(dots[0]->rect.size.width == 2);
        auto g = view.geometry();
        CHECK(dots[1]->rect.center().x == doctest::Approx(placed(g, 1, 1).x));

        options.chart.type = AAChartType::line;
        options.series[0].marker = AAMarker{5.0, 0.0};
        view.aa_drawChartWithChartOptions(options);
        auto markedList = render(view);
        auto marked = opsOf(markedList, DrawOp::Kind::fillEllipse, "#00e13a");
        REQUIRE(marked.size() == 4);
        CHECK(marked[0]->rect.size.width == 10);
    }
    SUBCASE("labels come from the native formatter") {
        auto options = chart(AAChartType::spline, {series("s", {{0, 0}, {3.2, 1}})}, {});
        options.xAxis->tickInterval = static_cast<float>(M_PI / 2);
        options.xAxis->labels = AALabels{};
        options.xAxis->labels->formatter = "function () { return 'x'; }";
        options.xAxis->labels->formatterFunction = [](double v) { return "<" + numberLabel(std::round(v)) + ">"; };
        view.aa_drawChartWithChartOptions(options);
        auto list = render(view);
        CHECK(hasText(list, "<0>"));
        CHECK(hasText(list, "<2>"));
        CHECK(hasText(list, "<3>"));
        CHECK_FALSE(hasText(list, "x"));
    }
}

TEST_CASE("touching points and legend entries") {
    AAChartView view(Rect(0, 0, 360, 360));
    auto options = chart(AAChartType::line, {series("F", {{0, 0.16807}, {1, 0.52822}}), series("G", {{0, 1}})}, {});
    options.tooltip->headerFormat = "x: {point.key}<br/>";
    options.tooltip->pointFormat = "F(5; 0.3; X): {point.y}<br/>";
    options.xAxis->crosshair = AACrosshair{"longDashDotDot", "#000000", 1.5};
    view.aa_drawChartWithChartOptions(options);

    SUBCASE("a touched point shows its tooltip and crosshair") {
        CHECK(tooltipLines(*view.chartOptions(), {0, 1}) == std::vector<std::string>{"x: 1", "F(5; 0.3; X): 0.52822"});
        CHECK(tooltipLines(*view.chartOptions(), {0, 2}).empty());
        CHECK_FALSE(view.touchPoint(0, 2));
        CHECK_FALSE(view.touchPoint(3, 0));
        CHECK(view.touchPoint(0, 1));
        auto list = render(view);
        CHECK(hasText(list, "F(5; 0.3; X): 0.52822"));
        auto dashed = opsOf(list, DrawOp::Kind::strokePath, "#000000");
        REQUIRE(dashed.size() == 1);
        CHECK(dashed[0]->lineDash == std::vector<double>{12, 4.5, 1.5, 4.5, 1.5, 4.5});
        auto g = view.geometry();
        CHECK(endPoints(dashed[0]->path)[0].x == doctest::Approx(placed(g, 1, 0.52822).x));
    }
    SUBCASE("a legend click hides the series unless the handler says no") {
        std::vector<std::size_t> asked;
        auto guarded = options;
        guarded.plotOptions.events = AASeriesEvents{"function() { return false; }", [&](std::size_t i) {
                                                        asked.push_back(i);
                                                        return false;
                                                    }};
        view.aa_drawChartWithChartOptions(guarded);
        view.clickLegendItem(1);
        CHECK(asked == std::vector<std::size_t>{1});
        CHECK(view.chartOptions()->series[1].visible);

        view.aa_drawChartWithChartOptions(options);
        const std::string colour = seriesColorText(options, 0);
        CHECK(opsOf(render(view), DrawOp::Kind::strokePath, colour).size() == 2);
        view.clickLegendItem(0);
        CHECK_FALSE(view.chartOptions()->series[0].visible);
        CHECK(opsOf(render(view), DrawOp::Kind::strokePath, colour).empty());
        CHECK_FALSE(view.touchPoint(0, 0));
        view.clickLegendItem(0);
        CHECK(view.chartOptions()->series[0].visible);
    }
}

TEST_CASE("charts without drawable data draw nothing of it and never fail") {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* what;
        Rect frame;
        std::vector<AASeriesElement> list;
    };
    for (const Case& c : {Case{"no series", Rect(0, 0, 300, 300), {}},
                          Case{"empty series", Rect(0, 0, 300, 300), {series("e", {})}},
                          Case{"NaN and short points", Rect(0, 0, 300, 300), {series("n", {{nan, 1}, {1}, {2, nan}})}},
                          Case{"huge values", Rect(0, 0, 300, 300), {series("h", {{-1e308, 1e308}, {1e308, -1e308}})}},
                          Case{"no room", Rect(0, 0, 20, 20), {series("s", {{0, 0}, {1, 1}})}},
                          Case{"no area", Rect(0, 0, 0, 0), {series("s", {{0, 0}, {1, 1}})}}}) {
        CAPTURE(c.what);
        AAChartView view(c.frame);
        view.aa_drawChartWithChartOptions(chart(AAChartType::area, c.list, {"#123456"}));
        auto list = render(view);
        bool plotted = std::string(c.what) == "huge values";
        CHECK(opsOf(list, DrawOp::Kind::strokePath, "#123456").size() == (plotted ? 1u : 0u));
    }
    AAChartView blank(Rect(0, 0, 100, 100));
    CHECK(render(blank).empty());
}

TEST_CASE("colour texts and script texts") {
    struct Case {
        const char* text;
        std::optional<std::string> color;
    };
    for (const Case& c : {Case{"#00e575", "#00e575"}, Case{"#FF0000", "#ff0000"}, Case{"#000CFF", "#000cff"},
                          Case{"#fff", "#ffffff"}, Case{"red", "#ff0000"}, Case{"rgba(255,0,0,0.5)", "#ff0000,0.5"},
                          Case{"rgb(0, 128, 255)", "#0080ff"}, Case{"#12345", std::nullopt}, Case{"#gg0000", std::nullopt},
                          Case{"rgba(300,0,0,1)", std::nullopt}, Case{"rgb(1,2)", std::nullopt},
                          Case{"crimson", std::nullopt}, Case{"", std::nullopt}}) {
        CAPTURE(c.text);
        auto color = colorFromText(c.text);
        CHECK(color.has_value() == c.color.has_value());
        if (color && c.color) CHECK(color->description() == *c.color);
    }
    struct Script {
        const char* in;
        const char* out;
    };
    for (const Script& s : {Script{"            function() {\n              return false;\n            }",
                                   "function() { return false; }"},
                            Script{"a\t\tb", "a b"}, Script{"", ""}, Script{" \n ", ""}}) {
        CHECK(aa_toPureJSString(s.in) == s.out);
    }
}

TEST_CASE("options from a model") {
    AAChartModel model;
    model.chartType = AAChartType::spline;
    model.title = "Sin";
    model.titleStyle = AAStyle{"#8e8e93", std::nullopt, std::nullopt};
    model.backgroundColor = "#ffffff";
    model.colorsTheme = {"#FF0000"};
    model.series = {series("sin(x)", {{0, 0}})};
    model.markerRadius = 0;
    model.stacking = AAChartStackingType::none;
    model.tooltipEnabled = false;
    AAOptions options = AAOptionsConstructor::configureChartOptions(model);
    CHECK(options.chart.type == AAChartType::spline);
    CHECK(options.chart.backgroundColor == "#ffffff");
    CHECK(options.title.text == "Sin");
    CHECK(options.title.style->color == "#8e8e93");
    CHECK(options.colors == std::vector<std::string>{"#FF0000"});
    CHECK(options.series[0].name == "sin(x)");
    CHECK(options.plotOptions.markerRadius == 0);
    CHECK(options.plotOptions.stacking == AAChartStackingType::none);
    CHECK(tooltipLines(options, {0, 0}).empty());  // tooltip switched off
}

TEST_CASE("the library's own grey for texts follows the style: dark on a light page, light on a dark one") {
    AAChartView view(Rect(0, 0, 360, 360));
    auto options = chart(AAChartType::line, {series("first", {{0, 0}, {1, 1}})}, {"#ff0000"});
    if (!options.xAxis) options.xAxis = AAXAxis{};
    options.xAxis->title = AATitle{"k", std::nullopt};
    view.aa_drawChartWithChartOptions(options);
    auto titleColour = [&] {
        const auto list = render(view);
        for (const auto& op : list.ops()) {
            if (op.kind == DrawOp::Kind::text && op.text == "k") return op.color.value_or(Color::clear()).rgba();
        }
        return std::optional<platform::gfx::RGBA>{};
    };
    using platform::gfx::InterfaceStyle;
    for (auto [style, level] : {std::pair{InterfaceStyle::light, 0x33}, std::pair{InterfaceStyle::dark, 0xcc}}) {
        platform::gfx::InterfaceStyleScope scope(style);
        auto colour = titleColour();
        REQUIRE(colour);
        CHECK(colour->red == doctest::Approx(level / 255.0));
        CHECK(colour->blue == doctest::Approx(level / 255.0));
    }
}
