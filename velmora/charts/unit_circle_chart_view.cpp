// The unit circle's runs: stages, counting labels, arcs, pointer and projections.
#include "velmora/charts/unit_circle_chart_view.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "platform/frameworks/material/style.h"
#include "platform/gfx/animation.h"
#include "platform/ui/application.h"
#include "platform/ui/storyboard.h"
#include "velmora/charts/chart_nibs.h"
#include "velmora/charts/chart_number_text.h"
#include "velmora/charts/chart_style.h"
#include "velmora/charts/screenshot_flag.h"
#include "velmora/engine/math_operation.h"

namespace velmora {

using platform::gfx::BasicAnimation;
using platform::gfx::Color;
using platform::gfx::Path;
using platform::gfx::Point;
using platform::gfx::ShapeLayer;
using platform::ui::Label;

// The data of one run: angle in degrees and radians, full turns, the sign
// of the angle and its quadrant.
struct UnitCircleChartView::Run {
    double alpha = 0;
    double b = 0;
    long long turns = 0;
    double sign = 1;
    std::optional<Quadrant> quadrant;
};

namespace {

constexpr int labelUpdates = 20;          // 21 updates over one second
constexpr double labelUpdateStep = 0.05;  // seconds

void setText(const std::weak_ptr<Label>& label, const std::string& text) {
    if (auto l = label.lock()) l->setText(text);
}

// Counts a label from u to v in 21 updates over a second ("-" for a
// negative end, even at minus zero).
void countLabel(const std::shared_ptr<Label>& label, double u, double v) {
    if (!label) return;
    if (isTakingScreenshot()) {
        label->setText(nearestWholeText(v) + "°");
        return;
    }
    const std::string prefix = v < 0 ? "-" : "";
    const double from = std::fabs(u), to = std::fabs(v);
    std::weak_ptr<Label> weak = label;
    for (int i = 0; i <= labelUpdates; ++i) {
        double value = static_cast<double>(i) / labelUpdates * (to - from) + from;
        platform::gfx::runOnMainAfter(i * labelUpdateStep,
                                      [weak, text = prefix + nearestWholeText(value) + "°"] { setText(weak, text); });
    }
}

// Steps a cosine or sine label through the angles 0 to X degrees.
void coordinateLabel(const std::shared_ptr<Label>& label, bool cosine, double degrees) {
    if (!label) return;
    if (isTakingScreenshot()) {
        label->setText(unitCircleCoordinateText(degrees, cosine));
        return;
    }
    std::weak_ptr<Label> weak = label;
    for (int i = 0; i <= labelUpdates; ++i) {
        double x = degrees * i / labelUpdates;
        platform::gfx::runOnMainAfter(i * labelUpdateStep,
                                      [weak, text = unitCircleCoordinateText(x, cosine)] { setText(weak, text); });
    }
}

// A colour per turn: the hue goes round by 0.18 a turn and the brightness
// falls by 0.02, held within their ranges however many turns there are.
Color arcColor(long long turn) {
    double k = static_cast<double>(turn);
    double hue = std::fmod(0.18 * k, 1.0);
    double brightness = std::max(0.0, 1 - 0.02 * k);
    return Color::hsb(hue, 0.9, brightness, 1.0);
}

std::shared_ptr<ShapeLayer> animationLayer(const Path& path, const Color& stroke) {
    auto layer = ShapeLayer::make();
    layer->setName("animation");
    layer->setPath(path);
    layer->setFillColor(std::nullopt);
    layer->setStrokeColor(stroke);
    layer->setLineWidth(5.0);
    return layer;
}

void animateStroke(ShapeLayer& layer, const std::string& key, const std::string& timing, bool keep) {
    if (isTakingScreenshot()) return;
    BasicAnimation animation;
    animation.keyPath = "strokeEnd";
    animation.fromValue = 0;
    animation.toValue = 1;
    animation.duration = 1;
    animation.timingFunction = timing;
    if (keep) {
        animation.fillMode = platform::gfx::FillMode::forwards;
        animation.removedOnCompletion = false;
    }
    layer.addAnimation(animation, key);
}

void fade(const std::shared_ptr<Label>& label, double alpha, double duration) {
    if (!label) return;
    if (isTakingScreenshot()) {
        label->setAlpha(alpha);
        return;
    }
    std::weak_ptr<Label> weak = label;
    platform::ui::View::animate(duration, [weak, alpha] {
        if (auto l = weak.lock()) l->setAlpha(alpha);
    });
}

}  // namespace

std::string unitCircleCoordinateText(double degrees, bool cosine) {
    auto multiple = [](double value, double of) { return std::fmod(value, of) == 0; };
    double value;
    if (cosine) {
        if (multiple(degrees + 90, 180)) value = 0;
        else if (multiple(degrees, 360)) value = 1;
        else if (multiple(degrees - 180, 360)) value = -1;
        else value = std::cos(degrees * M_PI / 180);
    } else {
        if (multiple(degrees, 180)) value = 0;
        else if (multiple(degrees - 90, 360)) value = 1;
        else if (multiple(degrees - 270, 360)) value = -1;
        else value = std::sin(degrees * M_PI / 180);
    }
    return shortestText(round(value, 2).value);
}

UnitCircleChartView::UnitCircleChartView() = default;

UnitCircleChartView::UnitCircleChartView(const platform::gfx::Rect& frame) : View(frame) {
    registerChartNibs();
    if (auto nib = platform::ui::Nib::named("UnitCircleChartView")) nib->instantiate(this);
    if (!contentView_) return;
    contentView_->setFrame(bounds());
    contentView_->setAutoresizingMask(platform::ui::autoresizing::flexibleWidth |
                                      platform::ui::autoresizing::flexibleHeight);
    applyChartCardShadow(*contentView_->layer());
    addSubview(contentView_);
    if (auto button = outlets_.animateAgainButton) {
        button->setBackgroundColor(chartPaletteGreen());
        auto& layer = *button->layer();
        layer.setShadowColor(Color::label());
        layer.setShadowOpacity(0.2);
        layer.setShadowOffset({0, 1});
        layer.setShadowRadius(1.0);
    }
    if (platform::ui::Device::current().userInterfaceIdiom() == platform::ui::UserInterfaceIdiom::pad) {
        for (const auto& label : outlets_.allLabels) {
            if (label) platform::material::setFontSize(*label, 38);
        }
    }
}

void UnitCircleChartView::connect(std::shared_ptr<UnitCircleChartView> contentView, const Outlets& outlets) {
    contentView_ = std::move(contentView);
    outlets_ = outlets;
}

std::shared_ptr<UnitCircleChartView> UnitCircleChartView::self() {
    return std::dynamic_pointer_cast<UnitCircleChartView>(shared_from_this());
}

bool UnitCircleChartView::hasOutlets() const {
    const Outlets& o = outlets_;
    return o.circleImageView && o.animationView && o.arrowImageView && o.animateAgainButton;
}

void UnitCircleChartView::tappedAnimateAgain(platform::ui::Control& sender) {
    auto parent = sender.superview();
    auto grandparent = parent ? parent->superview() : nullptr;
    if (auto circle = std::dynamic_pointer_cast<UnitCircleChartView>(grandparent)) circle->startAnimation();
}

void UnitCircleChartView::startAnimation() {
    if (running_) return;
    if (!data_ || !data_->alpha || !data_->b || !data_->fullCircles || !hasOutlets()) return;
    if (!std::isfinite(*data_->alpha) || !std::isfinite(*data_->b)) return;
    Run run;
    run.alpha = *data_->alpha;
    run.b = *data_->b;
    run.turns = std::llabs(static_cast<long long>(*data_->fullCircles));  // no overflow for the smallest int
    run.sign = run.b < 0 ? -1 : 1;
    run.quadrant = data_->quadrant;
    running_ = true;
    outlets_.animateAgainButton->setUserInteractionEnabled(false);
    outlets_.animateAgainButton->setAlpha(0.5);
    auto& layer = *outlets_.animationView->layer();
    std::vector<std::shared_ptr<platform::gfx::Layer>> old;
    for (const auto& sublayer : layer.sublayers()) {
        if (sublayer->name() == "animation") old.push_back(sublayer);
    }
    for (const auto& sublayer : old) sublayer->removeFromSuperlayer();
    continueRun(run, 0);
}

void UnitCircleChartView::continueRun(const Run& run, long long k) {
    // While a screenshot is taken the stages follow each other at once:
    // a loop, not a recursion, however many turns there are.
    std::optional<long long> next = k;
    while (next) next = runStage(run, *next);
}

std::optional<long long> UnitCircleChartView::runStage(const Run& run, long long k) {
    const Outlets& o = outlets_;
    if (k == 0) {
        for (const auto& q : {o.q1Label, o.q2Label, o.q3Label, o.q4Label}) fade(q, 0, 0.5);
    }
    const double turn = static_cast<double>(k);
    const bool last = k >= run.turns;
    const double total = last ? std::fabs(run.alpha) : 360 * turn + 360;
    const double degrees = last ? std::fabs(run.alpha) - 360 * turn : 360;
    const double radians = last ? std::fabs(run.b) - 2 * M_PI * turn : 2 * M_PI;
    char turns[32];
    std::snprintf(turns, sizeof turns, "%lld", run.sign < 0 ? -k : k);
    if (o.fullCirclesLabel) o.fullCirclesLabel->setText(turns);
    if (run.sign * degrees == 0) {
        finishRun(run);
        return std::nullopt;
    }
    countLabel(o.alphaLabel, run.sign * 360 * turn, run.sign * total);
    countLabel(o.gammaLabel, 0, run.sign * degrees);
    coordinateLabel(o.pXLabel, true, run.sign * total);
    coordinateLabel(o.pYLabel, false, run.sign * total);
    const double theta = run.sign * radians;
    const auto size = o.circleImageView->frame().size;
    auto arc = animationLayer(Path::arc({size.width / 2, size.height / 2}, 0.375 * size.width, 0, -theta, theta < 0),
                              arcColor(k));
    o.animationView->layer()->addSublayer(arc);
    animateStroke(*arc, "animateCircle", "linear", true);
    auto& pointer = *o.arrowImageView->layer();
    if (isTakingScreenshot()) {
        pointer.setTransform(platform::gfx::AffineTransform::rotation(-theta));
        if (k == run.turns) {
            finishRun(run);
            return std::nullopt;
        }
        return k + 1;
    }
    std::weak_ptr<UnitCircleChartView> weak = self();
    platform::gfx::Transaction::begin();
    platform::gfx::Transaction::setCompletionBlock([weak, run, k] {
        auto view = weak.lock();
        if (!view) return;
        if (k == run.turns) {
            view->finishRun(run);
        } else {
            view->continueRun(run, k + 1);
        }
    });
    BasicAnimation rotation;
    rotation.keyPath = "transform.rotation.z";
    rotation.toValue = -theta;
    rotation.duration = 1;
    rotation.cumulative = false;
    rotation.repeatCount = 1;
    rotation.removedOnCompletion = false;
    rotation.fillMode = platform::gfx::FillMode::forwards;
    pointer.addAnimation(rotation, "rotationAnimation");
    platform::gfx::Transaction::commit();
    return std::nullopt;
}

void UnitCircleChartView::finishRun(const Run& run) {
    const Outlets& o = outlets_;
    o.animateAgainButton->setUserInteractionEnabled(true);
    o.animateAgainButton->setAlpha(1.0);
    if (run.quadrant) {
        const std::shared_ptr<Label> labels[] = {o.q1Label, o.q2Label, o.q3Label, o.q4Label};
        fade(labels[static_cast<int>(*run.quadrant)], 1, 1);
    }
    const auto frame = o.animationView->frame();
    const double w = frame.width(), h = frame.height();
    const double r = 0.375 * w;
    const Point centre{w / 2, h / 2};
    const Point point{w / 2 + r * std::cos(run.b), h / 2 - r * std::sin(run.b)};
    const Point foot{point.x, h / 2};
    for (const auto& [path, color] : {std::pair{Path::line(centre, foot), Color::rgb(0, 0, 1)},
                                      std::pair{Path::line(foot, point), Color::red()}}) {
        auto line = animationLayer(path, color);
        line->setFrame(o.animationView->bounds());
        line->setLineJoin(platform::gfx::LineJoin::bevel);
        o.animationView->layer()->addSublayer(line);
        animateStroke(*line, "strokeEnd", "default", false);
    }
    running_ = false;
}

}  // namespace velmora
