#pragma once

#include <memory>
#include <vector>

#include "platform/ui/view.h"

namespace platform::ui {

enum class LayoutAxis { horizontal = 0, vertical = 1 };
enum class StackDistribution { fill = 0, fillEqually = 1, fillProportionally = 2, equalSpacing = 3, equalCentering = 4 };
enum class StackAlignment { fill = 0, leading = 1, firstBaseline = 2, center = 3, trailing = 4, lastBaseline = 5 };

// Lays its arranged subviews out in a row or a column. Hidden arranged
// views take no room. fillEqually gives each the same share; the other
// distributions give each its intrinsic (or current) length and hand the
// rest of the room to the last one.
class StackView : public View {
public:
    using View::View;
    explicit StackView(const std::vector<std::shared_ptr<View>>& arranged);

    const std::vector<std::shared_ptr<View>>& arrangedSubviews() const { return arranged_; }
    void addArrangedSubview(const std::shared_ptr<View>& view);
    void insertArrangedSubview(const std::shared_ptr<View>& view, std::size_t index);
    void removeArrangedSubview(const View* view);  // stays a subview, as on the platform
    LayoutAxis axis() const { return axis_; }
    void setAxis(LayoutAxis axis) { axis_ = axis; setNeedsLayout(); }
    double spacing() const { return spacing_; }
    void setSpacing(double spacing) { spacing_ = spacing; setNeedsLayout(); }
    StackDistribution distribution() const { return distribution_; }
    void setDistribution(StackDistribution d) { distribution_ = d; setNeedsLayout(); }
    StackAlignment alignment() const { return alignment_; }
    void setAlignment(StackAlignment a) { alignment_ = a; setNeedsLayout(); }

    void layoutSubviews() override;
    void willRemoveSubview(View* view) override;

private:
    std::vector<std::shared_ptr<View>> arranged_;
    LayoutAxis axis_ = LayoutAxis::horizontal;
    double spacing_ = 0;
    StackDistribution distribution_ = StackDistribution::fill;
    StackAlignment alignment_ = StackAlignment::fill;
};

}  // namespace platform::ui
