#pragma once
// The distribution function written out as a typeset piecewise definition:
// 0 below 0, the given value from 0 up to 1, and 1 from 1 on.

#include <memory>

#include "platform/frameworks/math_label/mt_math_ui_label.h"
#include "platform/ui/stack_view.h"

namespace velmora {

class DistributionFunctionPresentationView : public platform::ui::View {
public:
    // The interface file's views that the file's owner refers to.
    struct Outlets {
        std::shared_ptr<platform::ui::StackView> stackView;
        std::shared_ptr<platform::math::MTMathUILabel> labelLeft, labelMid;
        std::shared_ptr<platform::math::MTMathUILabel> label1, label2, label3;  // values, top to bottom
        std::shared_ptr<platform::math::MTMathUILabel> label4, label5, label6;  // conditions, top to bottom
    };

    DistributionFunctionPresentationView();  // as from an archive: empty outlets, nothing set up
    // Builds the view at once for the value of the middle case.
    DistributionFunctionPresentationView(const platform::gfx::Rect& frame, double value);

    // Loads the interface file "DistributionFunctionPresentationView", puts
    // its top-level view over the bounds and writes the texts.
    void configure(double value);
    // Called by the interface file as it is loaded.
    void connect(std::shared_ptr<DistributionFunctionPresentationView> contentView, const Outlets& outlets);

    const std::shared_ptr<DistributionFunctionPresentationView>& contentView() const { return contentView_; }
    std::shared_ptr<platform::ui::StackView> stackView() const { return stackView_.lock(); }
    std::shared_ptr<platform::math::MTMathUILabel> labelLeft() const { return labelLeft_.lock(); }
    std::shared_ptr<platform::math::MTMathUILabel> labelMid() const { return labelMid_.lock(); }
    // The value labels 1 to 3 and the condition labels 4 to 6; null outside 1...6.
    std::shared_ptr<platform::math::MTMathUILabel> label(int number) const;

private:
    std::shared_ptr<DistributionFunctionPresentationView> contentView_;
    std::weak_ptr<platform::ui::StackView> stackView_;
    std::weak_ptr<platform::math::MTMathUILabel> labelLeft_, labelMid_;
    std::weak_ptr<platform::math::MTMathUILabel> labels_[6];
};

}  // namespace velmora
