#include "platform/ui/stack_view.h"

#include <algorithm>

namespace platform::ui {

StackView::StackView(const std::vector<std::shared_ptr<View>>& arranged) {
    for (const auto& v : arranged) addArrangedSubview(v);
}

void StackView::addArrangedSubview(const std::shared_ptr<View>& view) { insertArrangedSubview(view, arranged_.size()); }

void StackView::insertArrangedSubview(const std::shared_ptr<View>& view, std::size_t index) {
    if (!view) return;
    arranged_.erase(std::remove(arranged_.begin(), arranged_.end(), view), arranged_.end());
    index = std::min(index, arranged_.size());
    arranged_.insert(arranged_.begin() + static_cast<std::ptrdiff_t>(index), view);
    if (view->superviewPointer() != this) addSubview(view);
    setNeedsLayout();
}

void StackView::removeArrangedSubview(const View* view) {
    arranged_.erase(std::remove_if(arranged_.begin(), arranged_.end(), [&](const auto& v) { return v.get() == view; }),
                    arranged_.end());
    setNeedsLayout();
}

void StackView::willRemoveSubview(View* view) { removeArrangedSubview(view); }

void StackView::layoutSubviews() {
    View::layoutSubviews();
    std::vector<View*> shown;
    for (auto& v : arranged_) {
        if (!v->isHidden()) shown.push_back(v.get());
    }
    if (shown.empty()) return;
    bool horizontalAxis = axis_ == LayoutAxis::horizontal;
    double room = horizontalAxis ? bounds().width() : bounds().height();
    double across = horizontalAxis ? bounds().height() : bounds().width();
    double gaps = spacing_ * static_cast<double>(shown.size() - 1);
    std::vector<double> lengths;
    for (View* v : shown) {
        Size intrinsic = v->intrinsicContentSize();
        double natural = horizontalAxis ? intrinsic.width : intrinsic.height;
        double current = horizontalAxis ? v->frame().width() : v->frame().height();
        lengths.push_back(natural >= 0 ? natural : current);
    }
    if (distribution_ == StackDistribution::fillEqually) {
        double each = std::max(0.0, (room - gaps) / static_cast<double>(shown.size()));
        std::fill(lengths.begin(), lengths.end(), each);
    } else {
        double used = gaps;
        for (double l : lengths) used += l;
        lengths.back() = std::max(0.0, lengths.back() + room - used);
    }
    double pos = 0;
    for (std::size_t i = 0; i < shown.size(); ++i) {
        View* v = shown[i];
        Size intrinsic = v->intrinsicContentSize();
        double naturalAcross = horizontalAxis ? intrinsic.height : intrinsic.width;
        double currentAcross = horizontalAxis ? v->frame().height() : v->frame().width();
        double thickness = alignment_ == StackAlignment::fill ? across
                                                              : (naturalAcross >= 0 ? naturalAcross : currentAcross);
        double offset = 0;
        if (alignment_ == StackAlignment::center) offset = (across - thickness) / 2;
        if (alignment_ == StackAlignment::trailing || alignment_ == StackAlignment::lastBaseline) {
            offset = across - thickness;
        }
        Rect frame = horizontalAxis ? Rect(pos, offset, lengths[i], thickness) : Rect(offset, pos, thickness, lengths[i]);
        v->setFrame(frame);
        pos += lengths[i] + spacing_;
    }
}

}  // namespace platform::ui
