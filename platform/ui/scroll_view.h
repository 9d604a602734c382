#pragma once

#include <memory>

#include "platform/ui/view.h"

namespace platform::ui {

class ScrollView;

class ScrollViewDelegate {
public:
    virtual ~ScrollViewDelegate() = default;
    virtual void scrollViewDidScroll(ScrollView&) {}
    virtual std::shared_ptr<View> viewForZooming(ScrollView&) { return nullptr; }
    virtual void scrollViewDidZoom(ScrollView&) {}
};

enum class ScrollViewContentInsetAdjustment { automatic = 0, scrollableAxes = 1, never = 2, always = 3 };

// A view whose content is larger than itself: the content offset is the
// origin of its bounds. Scrolling is immediate. It clips its content to its
// bounds, so what is scrolled out of it is not drawn over its neighbours.
class ScrollView : public View {
public:
    ScrollView();
    explicit ScrollView(const Rect& frame);

    Point contentOffset() const { return bounds().origin; }
    virtual void setContentOffset(Point offset, bool animated = false);
    Size contentSize() const { return contentSize_; }
    void setContentSize(Size size) { contentSize_ = size; }
    const EdgeInsets& contentInset() const { return contentInset_; }
    void setContentInset(const EdgeInsets& inset) { contentInset_ = inset; }
    bool showsHorizontalScrollIndicator() const { return showsHorizontal_; }
    void setShowsHorizontalScrollIndicator(bool shows) { showsHorizontal_ = shows; }
    bool showsVerticalScrollIndicator() const { return showsVertical_; }
    void setShowsVerticalScrollIndicator(bool shows) { showsVertical_ = shows; }
    bool isScrollEnabled() const { return scrollEnabled_; }
    void setScrollEnabled(bool enabled) { scrollEnabled_ = enabled; }
    bool bounces() const { return bounces_; }
    void setBounces(bool bounces) { bounces_ = bounces; }
    ScrollViewContentInsetAdjustment contentInsetAdjustmentBehavior() const { return insetAdjustment_; }
    void setContentInsetAdjustmentBehavior(ScrollViewContentInsetAdjustment b) { insetAdjustment_ = b; }
    double zoomScale() const { return zoomScale_; }
    void setZoomScale(double scale, bool animated = false);
    double minimumZoomScale() const { return minimumZoom_; }
    void setMinimumZoomScale(double scale) { minimumZoom_ = scale; }
    double maximumZoomScale() const { return maximumZoom_; }
    void setMaximumZoomScale(double scale) { maximumZoom_ = scale; }

    std::shared_ptr<ScrollViewDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(const std::shared_ptr<ScrollViewDelegate>& delegate) { delegate_ = delegate; }

    // The smallest scroll that shows the rectangle (of the content), kept
    // within the content.
    void scrollRectToVisible(const Rect& rect, bool animated = false);
    // The offset range the content allows.
    Point minimumContentOffset() const;
    Point maximumContentOffset() const;
    Point clampedOffset(Point offset) const;

    void describe(std::vector<std::string>& notes) const override;

private:
    Size contentSize_;
    EdgeInsets contentInset_;
    bool showsHorizontal_ = true;
    bool showsVertical_ = true;
    bool scrollEnabled_ = true;
    bool bounces_ = true;
    ScrollViewContentInsetAdjustment insetAdjustment_ = ScrollViewContentInsetAdjustment::automatic;
    double zoomScale_ = 1;
    double minimumZoom_ = 1;
    double maximumZoom_ = 1;
    std::weak_ptr<ScrollViewDelegate> delegate_;
};

}  // namespace platform::ui
