// The distribution function written out case by case.
#include "velmora/charts/distribution_function_presentation_view.h"

#include "platform/ui/storyboard.h"
#include "velmora/charts/chart_nibs.h"
#include "velmora/engine/number_format.h"

namespace velmora {

DistributionFunctionPresentationView::DistributionFunctionPresentationView() = default;

DistributionFunctionPresentationView::DistributionFunctionPresentationView(const platform::gfx::Rect& frame,
                                                                           double value)
    : View(frame) {
    configure(value);
}

void DistributionFunctionPresentationView::connect(std::shared_ptr<DistributionFunctionPresentationView> contentView,
                                                   const Outlets& outlets) {
    contentView_ = std::move(contentView);
    stackView_ = outlets.stackView;
    labelLeft_ = outlets.labelLeft;
    labelMid_ = outlets.labelMid;
    const std::shared_ptr<platform::math::MTMathUILabel>* all[] = {&outlets.label1, &outlets.label2, &outlets.label3,
                                                                   &outlets.label4, &outlets.label5, &outlets.label6};
    for (int i = 0; i < 6; ++i) labels_[i] = *all[i];
}

std::shared_ptr<platform::math::MTMathUILabel> DistributionFunctionPresentationView::label(int number) const {
    if (number < 1 || number > 6) return nullptr;
    return labels_[number - 1].lock();
}

void DistributionFunctionPresentationView::configure(double value) {
    registerChartNibs();
    if (auto nib = platform::ui::Nib::named("DistributionFunctionPresentationView")) nib->instantiate(this);
    if (!contentView_) return;
    contentView_->setFrame(bounds());
    contentView_->setAutoresizingMask(platform::ui::autoresizing::flexibleWidth |
                                      platform::ui::autoresizing::flexibleHeight);
    addSubview(contentView_);
    auto set = [](const std::shared_ptr<platform::math::MTMathUILabel>& label, const std::string& latex) {
        if (label) label->setLatex(latex);
    };
    set(labelLeft(), "F(X) = ");
    if (auto mid = labelMid()) {
        mid->setFontSize(46.0);
        mid->setLatex("\\{");
    }
    set(label(1), "0;");
    set(label(2), formatNumber("", {}, "", 10, true, false, value) + ";");
    set(label(3), "1;");
    set(label(4), "\\quad x<0");
    set(label(5), "\\quad 0 \\le x < 1");
    set(label(6), "\\quad 1 \\le x");
}

}  // namespace velmora
