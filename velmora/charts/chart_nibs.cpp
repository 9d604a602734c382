// The interface files of the chart views and the chart cell.
#include "velmora/charts/chart_nibs.h"

#include <mutex>

#include "platform/ui/storyboard.h"
#include "velmora/charts/chart_table_view_cell.h"
#include "velmora/charts/distribution_function_presentation_view.h"
#include "velmora/charts/line_chart.h"
#include "velmora/charts/spline_chart.h"
#include "velmora/charts/unit_circle_nib.h"

namespace velmora {

using platform::ui::Responder;
using platform::ui::View;
using Views = std::vector<std::shared_ptr<View>>;
namespace math = platform::math;

namespace {

// A line or spline view's file: one top-level view of the owner's class.
template <class Host>
Views hostNib(Responder* owner) {
    auto content = std::make_shared<Host>();
    content->setFrame(platform::gfx::Rect(0, 0, 360, 360));
    if (auto* host = dynamic_cast<Host*>(owner)) host->setContentView(content);
    return {content};
}

std::shared_ptr<math::MTMathUILabel> mathLabel() {
    auto label = std::make_shared<math::MTMathUILabel>();
    label->setTextColor(platform::gfx::Color::label());
    return label;
}

std::shared_ptr<platform::ui::StackView> column(const std::vector<std::shared_ptr<math::MTMathUILabel>>& labels) {
    auto stack = std::make_shared<platform::ui::StackView>();
    stack->setAxis(platform::ui::LayoutAxis::vertical);
    stack->setDistribution(platform::ui::StackDistribution::fillEqually);
    for (const auto& label : labels) stack->addArrangedSubview(label);
    return stack;
}

// The brace and the left-hand side, then a column of values and a column
// of conditions, centred in a row across the view.
Views presentationNib(Responder* owner) {
    auto content = std::make_shared<DistributionFunctionPresentationView>();
    content->setFrame(platform::gfx::Rect(0, 0, 360, 360));
    DistributionFunctionPresentationView::Outlets o{nullptr,      mathLabel(), mathLabel(), mathLabel(), mathLabel(),
                                                    mathLabel(), mathLabel(), mathLabel(), mathLabel()};
    o.stackView = std::make_shared<platform::ui::StackView>(
        std::vector<std::shared_ptr<View>>{o.labelLeft, o.labelMid, column({o.label1, o.label2, o.label3}),
                                           column({o.label4, o.label5, o.label6})});
    o.stackView->setAlignment(platform::ui::StackAlignment::center);
    o.stackView->setSpacing(4);
    o.stackView->setFrame(content->bounds().insetBy(10, 10));
    o.stackView->setAutoresizingMask(platform::ui::autoresizing::flexibleWidth |
                                     platform::ui::autoresizing::flexibleHeight);
    content->addSubview(o.stackView);
    if (auto* view = dynamic_cast<DistributionFunctionPresentationView*>(owner)) view->connect(content, o);
    return {content};
}

Views chartCellNib(Responder*) { return {std::make_shared<ChartTableViewCell>()}; }

}  // namespace

void registerChartNibs() {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    const std::pair<const char*, platform::ui::Nib::Builder> nibs[] = {
        {"LineChartView", hostNib<LineChartView>},
        {"SplineChartView", hostNib<SplineChartView>},
        {"UnitCircleChartView", buildUnitCircleNib},
        {"DistributionFunctionPresentationView", presentationNib},
        {"ChartTableViewCell", chartCellNib},
    };
    for (const auto& [name, builder] : nibs) {
        if (!platform::ui::Nib::exists(name)) platform::ui::Nib::registerNib(name, builder);
    }
}

}  // namespace velmora
