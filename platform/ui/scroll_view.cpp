#include "platform/ui/scroll_view.h"

#include <algorithm>

namespace platform::ui {

ScrollView::ScrollView() : ScrollView(Rect{}) {}

ScrollView::ScrollView(const Rect& frame) : View(frame) { setClipsToBounds(true); }

void ScrollView::setContentOffset(Point offset, bool) {
    Rect b = bounds();
    if (b.origin == offset) return;
    b.origin = offset;
    View::setBounds(b);
    setNeedsLayout();
    if (auto d = delegate()) d->scrollViewDidScroll(*this);
}

void ScrollView::setZoomScale(double scale, bool) {
    double clamped = std::clamp(scale, minimumZoom_, std::max(minimumZoom_, maximumZoom_));
    if (clamped == zoomScale_) return;
    zoomScale_ = clamped;
    if (auto d = delegate()) {
        if (auto zoomed = d->viewForZooming(*this)) zoomed->setTransform(AffineTransform::scale(zoomScale_, zoomScale_));
        d->scrollViewDidZoom(*this);
    }
}

Point ScrollView::minimumContentOffset() const { return {-contentInset_.left, -contentInset_.top}; }

Point ScrollView::maximumContentOffset() const {
    Point low = minimumContentOffset();
    Rect b = bounds();
    return {std::max(low.x, contentSize_.width + contentInset_.right - b.width()),
            std::max(low.y, contentSize_.height + contentInset_.bottom - b.height())};
}

Point ScrollView::clampedOffset(Point offset) const {
    Point low = minimumContentOffset(), high = maximumContentOffset();
    return {std::clamp(offset.x, low.x, high.x), std::clamp(offset.y, low.y, high.y)};
}

void ScrollView::scrollRectToVisible(const Rect& rect, bool animated) {
    Rect b = bounds();
    Point offset = b.origin;
    if (rect.minX() < offset.x) offset.x = rect.minX();
    else if (rect.maxX() > offset.x + b.width()) offset.x = rect.maxX() - b.width();
    if (rect.minY() < offset.y) offset.y = rect.minY();
    else if (rect.maxY() > offset.y + b.height()) offset.y = rect.maxY() - b.height();
    setContentOffset(clampedOffset(offset), animated);
}

void ScrollView::describe(std::vector<std::string>& notes) const {
    Point o = contentOffset();
    if (o.x != 0 || o.y != 0) notes.push_back("offset=(" + gfx::describe(o) + ")");
    if (contentSize_.width != 0 || contentSize_.height != 0) notes.push_back("content=(" + gfx::describe(contentSize_) + ")");
    View::describe(notes);
}

}  // namespace platform::ui
