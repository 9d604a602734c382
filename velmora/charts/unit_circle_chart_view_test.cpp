// Tests of the unit circle's runs in virtual time and while a screenshot is taken.
#include <doctest/doctest.h>

#include <cmath>
#include <limits>

#include "platform/dispatch/timer.h"
#include "platform/frameworks/material/style.h"
#include "platform/ui/application.h"
#include "velmora/charts/chart_manager.h"
#include "velmora/charts/chart_table_view_cell.h"
#include "velmora/charts/screenshot_flag.h"
#include "velmora/charts/unit_circle_chart_view.h"

using namespace velmora;
using platform::gfx::Color;
using platform::gfx::Path;
using platform::gfx::Rect;
using platform::gfx::ShapeLayer;

namespace {

std::shared_ptr<UnitCircleChartView> circle(double degrees, int turns, std::optional<Quadrant> quadrant) {
    platform::ui::View reference(Rect(0, 0, 400, 800));
    auto data = std::make_shared<UnitCircleChartData>(degrees, degrees * M_PI / 180, degrees, turns,
                                                      quadrant.value_or(Quadrant::first));
    data->quadrant = quadrant;
    auto view = std::dynamic_pointer_cast<UnitCircleChartView>(ChartManager::makeChartViews(data, reference));
    REQUIRE(view);
    return view;
}

std::vector<std::shared_ptr<ShapeLayer>> animationLayers(const UnitCircleChartView& view) {
    std::vector<std::shared_ptr<ShapeLayer>> out;
    for (const auto& layer : view.outlets().animationView->layer()->sublayers()) {
        if (layer->name() == "animation") out.push_back(std::dynamic_pointer_cast<ShapeLayer>(layer));
    }
    return out;
}

const Path::Element& arcOf(const ShapeLayer& layer) {
    const auto& elements = layer.path()->elements();
    auto it = std::find_if(elements.begin(), elements.end(),
                           [](const Path::Element& e) { return e.kind == Path::Element::Kind::arc; });
    REQUIRE(it != elements.end());
    return *it;
}

struct Labels {
    std::string alpha, gamma, turns, x, y;
};

Labels labels(const UnitCircleChartView& view) {
    const auto& o = view.outlets();
    return {o.alphaLabel->text(), o.gammaLabel->text(), o.fullCirclesLabel->text(), o.pXLabel->text(), o.pYLabel->text()};
}

void checkLabels(const UnitCircleChartView& view, const Labels& expected) {
    Labels got = labels(view);
    CHECK(got.alpha == expected.alpha);
    CHECK(got.gamma == expected.gamma);
    CHECK(got.turns == expected.turns);
    CHECK(got.x == expected.x);
    CHECK(got.y == expected.y);
}

struct ScreenshotScope {
    ScreenshotScope() { setIsTakingScreenshot(true); }
    ~ScreenshotScope() { setIsTakingScreenshot(false); }
};

}  // namespace

TEST_CASE("400 degrees: a full turn, then 40 degrees more, in virtual time") {
    platform::dispatch::ManualTime time;
    auto view = circle(400, 1, Quadrant::first);
    const auto& o = view->outlets();
    view->startAnimation();
    time.settle();
    CHECK(view->isAnimationRunning());
    CHECK(o.animateAgainButton->alpha() == 0.5);
    CHECK_FALSE(o.animateAgainButton->isUserInteractionEnabled());
    for (const auto& q : {o.q1Label, o.q2Label, o.q3Label, o.q4Label}) CHECK(q->alpha() == 0);
    checkLabels(*view, {"0°", "0°", "0", "1.0", "0.0"});

    time.advance(0.5);
    checkLabels(*view, {"180°", "180°", "0", "-1.0", "0.0"});
    auto arcs = animationLayers(*view);
    REQUIRE(arcs.size() == 1);
    const auto& full = arcOf(*arcs[0]);
    const auto circleFrame = o.circleImageView->frame();
    CHECK(full.center.x == doctest::Approx(circleFrame.width() / 2));
    CHECK(full.radius == doctest::Approx(0.375 * circleFrame.width()));
    CHECK(full.startAngle == 0);
    CHECK(full.endAngle == doctest::Approx(-2 * M_PI));
    CHECK_FALSE(full.clockwise);
    CHECK(arcs[0]->strokeColor() == Color::hsb(0, 0.9, 1, 1));
    CHECK(arcs[0]->lineWidth() == 5);
    CHECK(arcs[0]->animation("animateCircle"));
    auto* rotation = o.arrowImageView->layer()->animation("rotationAnimation");
    REQUIRE(rotation);
    CHECK(*rotation->toValue == doctest::Approx(-2 * M_PI));
    view->startAnimation();  // ignored while running
    time.settle();
    CHECK(animationLayers(*view).size() == 1);

    time.advance(0.5);  // stage 1 starts where stage 0 ended
    checkLabels(*view, {"360°", "0°", "1", "1.0", "0.0"});
    CHECK(view->isAnimationRunning());
    time.advance(0.5);
    CHECK(labels(*view).alpha == "380°");
    CHECK(labels(*view).gamma == "20°");
    time.advance(0.5);
    checkLabels(*view, {"400°", "40°", "1", "0.77", "0.64"});
    CHECK_FALSE(view->isAnimationRunning());
    CHECK(o.animateAgainButton->alpha() == 1);
    CHECK(o.animateAgainButton->isUserInteractionEnabled());
    CHECK(o.q1Label->alpha() == 1);
    CHECK(o.q2Label->alpha() == 0);
    auto layers = animationLayers(*view);
    REQUIRE(layers.size() == 4);  // two arcs, two projections
    const auto& forty = arcOf(*layers[1]);
    CHECK(forty.endAngle == doctest::Approx(-40 * M_PI / 180));
    CHECK(layers[1]->strokeColor() == Color::hsb(0.18, 0.9, 0.98, 1));
    // the projections: from the centre along the x axis, then up to the point
    const auto frame = o.animationView->frame();
    const double r = 0.375 * frame.width();
    const platform::gfx::Point centre{frame.width() / 2, frame.height() / 2};
    const platform::gfx::Point point{centre.x + r * std::cos(400 * M_PI / 180), centre.y - r * std::sin(400 * M_PI / 180)};
    CHECK(layers[2]->path()->elements()[0].points[0] == centre);
    CHECK(layers[2]->path()->elements()[1].points[0].x == doctest::Approx(point.x));
    CHECK(layers[2]->strokeColor() == Color::rgb(0, 0, 1));
    CHECK(layers[3]->path()->elements()[1].points[0].y == doctest::Approx(point.y));
    CHECK(layers[3]->strokeColor() == Color::red());
    CHECK(layers[3]->lineJoin() == platform::gfx::LineJoin::bevel);

    SUBCASE("a new run removes the old run's layers and keeps the others") {
        auto kept = platform::gfx::Layer::make();
        o.animationView->layer()->addSublayer(kept);
        o.animateAgainButton->sendActions(platform::ui::controlEvent::touchUpInside);  // the replay button
        time.settle();
        CHECK(view->isAnimationRunning());
        CHECK(animationLayers(*view).size() == 1);
        CHECK(kept->superlayer() == o.animationView->layer().get());
        time.advance(2);
        CHECK_FALSE(view->isAnimationRunning());
    }
}

TEST_CASE("small and negative angles") {
    platform::dispatch::ManualTime time;
    SUBCASE("minus 90 degrees turns clockwise and counts with a minus from the start") {
        auto view = circle(-90, 0, Quadrant::fourth);
        view->startAnimation();
        time.settle();
        CHECK(labels(*view).alpha == "-0°");
        CHECK(labels(*view).gamma == "-0°");
        auto arcs = animationLayers(*view);
        REQUIRE(arcs.size() == 1);
        CHECK(arcOf(*arcs[0]).clockwise);
        CHECK(arcOf(*arcs[0]).endAngle == doctest::Approx(M_PI / 2));
        time.advance(1);
        checkLabels(*view, {"-90°", "-90°", "0", "0.0", "-1.0"});
        CHECK(view->outlets().q4Label->alpha() == 1);
    }
    SUBCASE("zero degrees finishes at once") {
        auto view = circle(0, 0, std::nullopt);
        view->startAnimation();
        CHECK_FALSE(view->isAnimationRunning());
        time.settle();
        CHECK(labels(*view).turns == "0");
        CHECK(animationLayers(*view).size() == 2);  // the projections only
        for (const auto& q : {view->outlets().q1Label, view->outlets().q4Label}) CHECK(q->alpha() == 0);
    }
    SUBCASE("nothing starts without complete data") {
        auto view = circle(30, 0, Quadrant::first);
        view->unitCircleChartData()->alpha = std::numeric_limits<double>::quiet_NaN();
        view->startAnimation();
        CHECK_FALSE(view->isAnimationRunning());
        view->setUnitCircleChartData(nullptr);
        view->startAnimation();
        CHECK_FALSE(view->isAnimationRunning());
        UnitCircleChartView archived;
        archived.setUnitCircleChartData(std::make_shared<UnitCircleChartData>(30, 0.5, 30, 0, Quadrant::first));
        archived.startAnimation();  // no interface file: no outlets
        CHECK_FALSE(archived.isAnimationRunning());
        platform::ui::Button loose;
        UnitCircleChartView::tappedAnimateAgain(loose);  // not inside a unit circle: nothing
    }
}

TEST_CASE("while a screenshot is taken the run completes at once") {
    platform::dispatch::ManualTime time;
    ScreenshotScope screenshot;
    auto view = circle(400, 1, Quadrant::first);
    view->startAnimation();
    CHECK_FALSE(view->isAnimationRunning());
    checkLabels(*view, {"400°", "40°", "1", "0.77", "0.64"});
    CHECK(view->outlets().arrowImageView->layer()->transform().rotationAngle() ==
          doctest::Approx(-40 * M_PI / 180));
    auto layers = animationLayers(*view);
    REQUIRE(layers.size() == 4);
    for (const auto& layer : layers) CHECK(layer->animationKeys().empty());
    CHECK(view->outlets().q1Label->alpha() == 1);
    CHECK(view->outlets().q3Label->alpha() == 0);
    CHECK(time.timers().activeCount() == 0);  // nothing scheduled

    auto many = circle(360.0 * 5000 + 30, 5000, Quadrant::first);
    many->startAnimation();  // one stage per turn, in a loop
    CHECK(animationLayers(*many).size() == 5001 + 2);
    CHECK(labels(*many).turns == "5000");
    CHECK(labels(*many).gamma == "30°");
}

TEST_CASE("unit circle labels on a tablet and the coordinate texts") {
    platform::ui::Device::current().setUserInterfaceIdiom(platform::ui::UserInterfaceIdiom::pad);
    auto tablet = circle(30, 0, Quadrant::first);
    platform::ui::Device::current().setUserInterfaceIdiom(platform::ui::UserInterfaceIdiom::phone);
    REQUIRE_FALSE(tablet->outlets().allLabels.empty());
    for (const auto& label : tablet->outlets().allLabels) CHECK(platform::material::fontSize(*label) == 38);
    auto phone = circle(30, 0, Quadrant::first);
    CHECK(platform::material::fontSize(*phone->outlets().alphaLabel) != 38);
    CHECK(phone->outlets().animateAgainButton->backgroundColor().has_value());
    CHECK(phone->contentView()->layer()->shadowOpacity() == 0.5);
    CHECK(phone->outlets().animateAgainButton->layer()->shadowOpacity() == 0.2);

    struct Case {
        double degrees;
        bool cosine;
        const char* text;
    };
    for (const Case& c : {Case{0, true, "1.0"}, Case{0, false, "0.0"}, Case{90, true, "0.0"}, Case{90, false, "1.0"},
                          Case{180, true, "-1.0"}, Case{180, false, "0.0"}, Case{270, false, "-1.0"},
                          Case{-90, false, "-1.0"}, Case{-90, true, "0.0"}, Case{720, true, "1.0"},
                          Case{45, false, "0.71"}, Case{135, true, "-0.71"}, Case{400, true, "0.77"},
                          Case{30, false, "0.5"}, Case{-30, false, "-0.5"},
                          Case{std::numeric_limits<double>::quiet_NaN(), true, "nan"}}) {
        CAPTURE(c.degrees);
        CHECK(unitCircleCoordinateText(c.degrees, c.cosine) == c.text);
    }
}

TEST_CASE("a chart cell restarts only its own unit circle") {
    platform::dispatch::ManualTime time;
    platform::ui::View host(Rect(0, 0, 400, 800));
    auto data = std::make_shared<UnitCircleChartData>(30, M_PI / 6, 30, 0, Quadrant::first);
    ChartTableViewCell cell;
    cell.configure({data}, host);
    auto view = std::dynamic_pointer_cast<UnitCircleChartView>(cell.contentView()->subviews().at(0));
    REQUIRE(view);
    CHECK_FALSE(view->isAnimationRunning());
    ChartManager::restartUnitCircleAnimations(cell);
    CHECK(view->isAnimationRunning());
    time.advance(1);
    CHECK_FALSE(view->isAnimationRunning());
    CHECK(labels(*view).alpha == "30°");

    // a list that is not all unit circles, or a first view that is none, starts nothing
    auto line = std::make_shared<LineChartData>();
    line->frameRatio = 1.0;
    for (const ChartList& list : {ChartList{line}, ChartList{data, line}, ChartList{}}) {
        ChartTableViewCell other;
        other.configure(list, host);
        other.contentView()->insertSubview(view, 0);  // a unit circle first, but the list is not all circles
        ChartManager::restartUnitCircleAnimations(other);
        CHECK_FALSE(view->isAnimationRunning());
        view->removeFromSuperview();
    }
    ChartTableViewCell mixed;
    mixed.configure({data}, host);
    auto inserted = std::make_shared<platform::ui::View>();
    mixed.contentView()->insertSubview(inserted, 0);
    ChartManager::restartUnitCircleAnimations(mixed);
    auto second = std::dynamic_pointer_cast<UnitCircleChartView>(mixed.contentView()->subviews().at(1));
    REQUIRE(second);
    CHECK_FALSE(second->isAnimationRunning());
}
