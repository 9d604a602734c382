// The unit circle's interface file: circle, pointer, labels and replay button.
#include "velmora/charts/unit_circle_nib.h"

#include <cmath>

#include "platform/gfx/image.h"
#include "velmora/charts/unit_circle_chart_view.h"

namespace velmora {

using platform::gfx::Color;
using platform::gfx::GraphicsContext;
using platform::gfx::Rect;
using platform::ui::Label;

namespace {

// Laid out at 400 × 200 points (the unit circle's frame ratio of 2) and
// scaled with the view that loads it.
constexpr double designWidth = 400;
constexpr double designHeight = 200;
constexpr double circleSide = 180;
constexpr unsigned scaleWithSuperview =
    platform::ui::autoresizing::flexibleLeftMargin | platform::ui::autoresizing::flexibleWidth |
    platform::ui::autoresizing::flexibleRightMargin | platform::ui::autoresizing::flexibleTopMargin |
    platform::ui::autoresizing::flexibleHeight | platform::ui::autoresizing::flexibleBottomMargin;

// The circle of radius 0.375 of the side, with its two axes.
platform::gfx::Image circleImage() {
    auto image = platform::gfx::ImageRenderer({circleSide, circleSide}).image([](GraphicsContext& c) {
        const double mid = circleSide / 2, r = 0.375 * circleSide;
        c.setStrokeColor(Color::systemGray());
        c.setLineWidth(1);
        c.strokeEllipse(Rect(mid - r, mid - r, 2 * r, 2 * r));
        c.strokeLineSegments({{8, mid}, {circleSide - 8, mid}, {mid, 8}, {mid, circleSide - 8}});
    });
    return *image;
}

// The pointer at angle 0: from the centre to the circle, with a head.
platform::gfx::Image arrowImage() {
    auto image = platform::gfx::ImageRenderer({circleSide, circleSide}).image([](GraphicsContext& c) {
        const double mid = circleSide / 2, r = 0.375 * circleSide;
        c.setStrokeColor(Color::label());
        c.setLineWidth(3);
        c.strokeLineSegments({{mid, mid}, {mid + r, mid}});
        c.setFillColor(Color::label());
        c.beginPath();
        c.moveTo({mid + r + 4, mid});
        c.addLineTo({mid + r - 8, mid - 6});
        c.addLineTo({mid + r - 8, mid + 6});
        c.closePath();
        c.fillPath();
    });
    return *image;
}

std::shared_ptr<Label> label(const Rect& frame, const std::string& text, std::vector<std::shared_ptr<Label>>& all) {
    auto l = std::make_shared<Label>(frame);
    l->setText(text);
    l->setFont(platform::gfx::Font::system(15));
    l->setAutoresizingMask(scaleWithSuperview);
    all.push_back(l);
    return l;
}

void addQuadrantLabels(UnitCircleChartView::Outlets& o, platform::ui::View& content) {
    const double a = 10 + circleSide * 0.25, b = 10 + circleSide * 0.75;
    o.q1Label = label(Rect(b - 15, a - 10, 30, 20), "I", o.allLabels);
    o.q2Label = label(Rect(a - 15, a - 10, 30, 20), "II", o.allLabels);
    o.q3Label = label(Rect(a - 15, b - 10, 30, 20), "III", o.allLabels);
    o.q4Label = label(Rect(b - 15, b - 10, 30, 20), "IV", o.allLabels);
    for (const auto& q : {o.q1Label, o.q2Label, o.q3Label, o.q4Label}) {
        q->setTextAlignment(platform::gfx::TextAlignment::center);
        content.addSubview(q);
    }
}

// Captions and values in rows right of the circle.
void addValueLabels(UnitCircleChartView::Outlets& o, platform::ui::View& content) {
    const char* captions[] = {"α", "γ", "n", "cos", "sin"};
    std::shared_ptr<Label>* values[] = {&o.alphaLabel, &o.gammaLabel, &o.fullCirclesLabel, &o.pXLabel, &o.pYLabel};
    const char* initial[] = {"0°", "0°", "0", "1.0", "0.0"};
    for (int row = 0; row < 5; ++row) {
        double y = 12 + row * 28;
        content.addSubview(label(Rect(210, y, 60, 24), captions[row], o.allLabels));
        *values[row] = label(Rect(270, y, 120, 24), initial[row], o.allLabels);
        content.addSubview(*values[row]);
    }
}

}  // namespace

std::vector<std::shared_ptr<platform::ui::View>> buildUnitCircleNib(platform::ui::Responder* owner) {
    auto content = std::make_shared<UnitCircleChartView>();
    content->setFrame(Rect(0, 0, designWidth, designHeight));
    content->setBackgroundColor(Color::systemBackground());
    UnitCircleChartView::Outlets o;
    const Rect circleFrame(10, 10, circleSide, circleSide);
    o.circleImageView = std::make_shared<platform::ui::ImageView>(circleImage());
    o.animationView = std::make_shared<platform::ui::View>(circleFrame);
    o.arrowImageView = std::make_shared<platform::ui::ImageView>(arrowImage());
    for (const std::shared_ptr<platform::ui::View>& v : {std::shared_ptr<platform::ui::View>(o.circleImageView),
                                                          o.animationView,
                                                          std::shared_ptr<platform::ui::View>(o.arrowImageView)}) {
        v->setFrame(circleFrame);
        v->setAutoresizingMask(scaleWithSuperview);
        content->addSubview(v);
    }
    addQuadrantLabels(o, *content);
    addValueLabels(o, *content);
    // The button sits right in the content view: its action finds the unit
    // circle as its superview's superview.
    o.animateAgainButton = std::make_shared<platform::material::FlatButton>(Rect(210, 160, 180, 30));
    o.animateAgainButton->setTitle("↻");
    o.animateAgainButton->setAutoresizingMask(scaleWithSuperview);
    o.animateAgainButton->addTarget(
        &UnitCircleChartView::tappedAnimateAgain,
        platform::ui::controlEvent::touchUpInside, "tappedAnimateAgain:");
    content->addSubview(o.animateAgainButton);
    if (auto* view = dynamic_cast<UnitCircleChartView*>(owner)) view->connect(content, o);
    return {content};
}

}  // namespace velmora
