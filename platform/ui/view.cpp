#include "platform/ui/view.h"

#include <algorithm>
#include <cmath>

#include "platform/ui/view_controller.h"
#include "platform/ui/window.h"

namespace platform::ui {

View::View() : layer_(gfx::Layer::make()) { layer_->setDelegate(this); }

View::View(const Rect& frame) : View() { layer_->setFrame(frame); }

View::View(std::shared_ptr<gfx::Layer> layer, const Rect& frame) : layer_(layer ? std::move(layer) : gfx::Layer::make()) {
    layer_->setDelegate(this);
    layer_->setFrame(frame);
}

View::~View() {
    layer_->setDelegate(nullptr);
    for (auto& sub : subviews_) sub->superview_ = nullptr;
}

std::shared_ptr<View> View::superview() const {
    return superview_ ? superview_->sharedAs<View>() : nullptr;
}

Rect View::frame() const { return layer_->frame(); }

void View::setFrame(const Rect& frame) {
    Size old = layer_->bounds().size;
    layer_->setFrame(frame);
    sizeChanged(old);
}

void View::sizeChanged(Size old) {
    if (old == layer_->bounds().size) return;
    resizeSubviews(old);
    setNeedsLayout();
}

Rect View::bounds() const { return layer_->bounds(); }

void View::setBounds(const Rect& bounds) {
    Size old = layer_->bounds().size;
    layer_->setBounds(bounds);
    sizeChanged(old);
}

Point View::center() const { return layer_->position(); }
void View::setCenter(Point center) { layer_->setPosition(center); }
const AffineTransform& View::transform() const { return layer_->transform(); }
void View::setTransform(const AffineTransform& transform) { layer_->setTransform(transform); }

// Subviews that translate their mask follow a change of this view's size:
// the flexible parts of each axis share the change equally.
void View::resizeSubviews(Size oldSize) {
    Size now = bounds().size;
    double dw = now.width - oldSize.width, dh = now.height - oldSize.height;
    for (auto& sub : subviews_) {
        unsigned mask = sub->autoresizingMask_;
        if (!sub->translatesMask_ || mask == autoresizing::none) continue;
        Rect f = sub->frame();
        auto share = [](double delta, bool lead, bool size, bool trail, double& pos, double& length) {
            int parts = (lead ? 1 : 0) + (size ? 1 : 0) + (trail ? 1 : 0);
            if (parts == 0) return;
            double each = delta / parts;
            if (lead) pos += each;
            if (size) length = std::max(0.0, length + each);
        };
        share(dw, mask & autoresizing::flexibleLeftMargin, mask & autoresizing::flexibleWidth,
              mask & autoresizing::flexibleRightMargin, f.origin.x, f.size.width);
        share(dh, mask & autoresizing::flexibleTopMargin, mask & autoresizing::flexibleHeight,
              mask & autoresizing::flexibleBottomMargin, f.origin.y, f.size.height);
        sub->setFrame(f);
    }
}

void View::attach(const std::shared_ptr<View>& view, std::size_t index) {
    if (!view || view.get() == this || isDescendantOf(view.get())) return;  // no cycles
    auto keep = view;
    auto oldWindow = keep->window();
    keep->willMoveToSuperview(this);
    if (View* old = keep->superview_) {
        old->willRemoveSubview(keep.get());
        auto& list = old->subviews_;
        list.erase(std::remove(list.begin(), list.end(), keep), list.end());
    }
    index = std::min(index, subviews_.size());
    const View* above = index < subviews_.size() ? subviews_[index].get() : nullptr;
    subviews_.insert(subviews_.begin() + static_cast<std::ptrdiff_t>(index), keep);
    keep->superview_ = this;
    if (above) {
        layer_->insertSublayerBelow(keep->layer_, above->layer_.get());
    } else {
        layer_->addSublayer(keep->layer_);
    }
    keep->didMoveToSuperview();
    didAddSubview(keep.get());
    if (keep->window() != oldWindow) keep->notifyWindowChange();
    setNeedsLayout();
}

void View::addSubview(const std::shared_ptr<View>& view) { attach(view, subviews_.size()); }

void View::insertSubview(const std::shared_ptr<View>& view, std::size_t index) { attach(view, index); }

void View::insertSubviewBelow(const std::shared_ptr<View>& view, const View* sibling) {
    auto it = std::find_if(subviews_.begin(), subviews_.end(), [&](const auto& v) { return v.get() == sibling; });
    if (view && view->superview_ == this) {
        // moving within: take it out first so that the index stays right
        auto keep = view;
        subviews_.erase(std::remove(subviews_.begin(), subviews_.end(), keep), subviews_.end());
        it = std::find_if(subviews_.begin(), subviews_.end(), [&](const auto& v) { return v.get() == sibling; });
        std::size_t index = it == subviews_.end() ? 0 : static_cast<std::size_t>(it - subviews_.begin());
        subviews_.insert(subviews_.begin() + static_cast<std::ptrdiff_t>(index), keep);
        if (it != subviews_.end()) layer_->insertSublayerBelow(keep->layer_, sibling->layer_.get());
        return;
    }
    attach(view, it == subviews_.end() ? 0 : static_cast<std::size_t>(it - subviews_.begin()));
}

void View::insertSubviewAbove(const std::shared_ptr<View>& view, const View* sibling) {
    auto it = std::find_if(subviews_.begin(), subviews_.end(), [&](const auto& v) { return v.get() == sibling; });
    if (it == subviews_.end()) {
        addSubview(view);
        return;
    }
    if (view && view->superview_ == this) {
        auto keep = view;
        subviews_.erase(std::remove(subviews_.begin(), subviews_.end(), keep), subviews_.end());
        it = std::find_if(subviews_.begin(), subviews_.end(), [&](const auto& v) { return v.get() == sibling; });
        subviews_.insert(it + 1, keep);
        layer_->insertSublayerAbove(keep->layer_, sibling->layer_.get());
        return;
    }
    attach(view, static_cast<std::size_t>(it - subviews_.begin()) + 1);
}

void View::removeFromSuperview() {
    View* parent = superview_;
    if (!parent) return;
    auto self = sharedAs<View>();
    auto oldWindow = window();
    if (oldWindow) {
        // a first responder leaving the window resigns
        Responder* first = oldWindow->firstResponder();
        if (auto* firstView = dynamic_cast<View*>(first); firstView && firstView->isDescendantOf(this)) {
            firstView->resignFirstResponder();
            oldWindow->clearFirstResponder();
        }
    }
    willMoveToSuperview(nullptr);
    parent->willRemoveSubview(this);
    auto& list = parent->subviews_;
    list.erase(std::remove_if(list.begin(), list.end(), [this](const auto& v) { return v.get() == this; }), list.end());
    superview_ = nullptr;
    layer_->removeFromSuperlayer();
    // constraints held by the old parent that name this view go with it
    auto& held = parent->constraints_;
    for (auto it = held.begin(); it != held.end();) {
        auto first = (*it)->firstItem();
        auto second = (*it)->secondItem();
        if ((first && first->isDescendantOf(this)) || (second && second->isDescendantOf(this))) {
            (*it)->active_ = false;
            (*it)->holder_ = nullptr;
            it = held.erase(it);
        } else {
            ++it;
        }
    }
    didMoveToSuperview();
    if (oldWindow) notifyWindowChange();
}

void View::bringSubviewToFront(const View* view) {
    auto it = std::find_if(subviews_.begin(), subviews_.end(), [&](const auto& v) { return v.get() == view; });
    if (it == subviews_.end()) return;
    auto keep = *it;
    subviews_.erase(it);
    subviews_.push_back(keep);
    layer_->addSublayer(keep->layer_);
}

void View::sendSubviewToBack(const View* view) {
    auto it = std::find_if(subviews_.begin(), subviews_.end(), [&](const auto& v) { return v.get() == view; });
    if (it == subviews_.end()) return;
    auto keep = *it;
    subviews_.erase(it);
    subviews_.insert(subviews_.begin(), keep);
    layer_->insertSublayer(keep->layer_, 0);
}

bool View::isDescendantOf(const View* view) const {
    if (!view) return false;
    for (const View* v = this; v; v = v->superview_) {
        if (v == view) return true;
    }
    return false;
}

Window* View::rawWindow() const {
    const View* top = this;
    while (top->superview_) top = top->superview_;
    return dynamic_cast<Window*>(const_cast<View*>(top));
}

std::shared_ptr<Window> View::window() const {
    Window* w = rawWindow();
    return w ? w->sharedAs<Window>() : nullptr;
}

void View::notifyWindowChange() {
    didMoveToWindow();
    auto children = subviews_;
    for (auto& sub : children) sub->notifyWindowChange();
}

std::shared_ptr<View> View::viewWithTag(int tag) {
    if (tag_ == tag) return sharedAs<View>();
    for (auto& sub : subviews_) {
        if (auto found = sub->viewWithTag(tag)) return found;
    }
    return nullptr;
}

std::vector<std::shared_ptr<View>> View::allDescendants() const {
    std::vector<std::shared_ptr<View>> out;
    for (const auto& sub : subviews_) {
        out.push_back(sub);
        auto below = sub->allDescendants();
        out.insert(out.end(), below.begin(), below.end());
    }
    return out;
}

bool View::isHidden() const { return layer_->isHidden(); }
void View::setHidden(bool hidden) { layer_->setHidden(hidden); }

bool View::isHiddenOnScreen() const {
    if (!rawWindow()) return true;
    for (const View* v = this; v; v = v->superview_) {
        if (v->isHidden() || v->alpha() <= 0.01) return true;
    }
    return false;
}

double View::alpha() const { return layer_->opacity(); }
void View::setAlpha(double alpha) { layer_->setOpacity(std::clamp(alpha, 0.0, 1.0)); }

std::optional<Color> View::backgroundColor() const { return layer_->backgroundColor(); }
void View::setBackgroundColor(std::optional<Color> color) { layer_->setBackgroundColor(std::move(color)); }

Color View::tintColor() const {
    for (const View* v = this; v; v = v->superview_) {
        if (v->tintColor_) return *v->tintColor_;
    }
    return Color::systemBlue();
}

void View::setTintColor(std::optional<Color> color) { tintColor_ = std::move(color); }

bool View::clipsToBounds() const { return layer_->masksToBounds(); }
void View::setClipsToBounds(bool clips) { layer_->setMasksToBounds(clips); }

void View::setMaskView(std::shared_ptr<View> mask) {
    maskView_ = std::move(mask);
    layer_->setMask(maskView_ ? maskView_->layer_ : nullptr);
}

EdgeInsets View::safeAreaInsets() const {
    Window* w = rawWindow();
    if (!w) return {};
    EdgeInsets windowInsets = w->windowSafeAreaInsets();
    Rect inWindow = convertRect(bounds(), nullptr);
    Rect windowBounds = w->bounds();
    EdgeInsets out;
    out.top = std::max(0.0, windowInsets.top - inWindow.minY());
    out.left = std::max(0.0, windowInsets.left - inWindow.minX());
    out.bottom = std::max(0.0, inWindow.maxY() - (windowBounds.height() - windowInsets.bottom));
    out.right = std::max(0.0, inWindow.maxX() - (windowBounds.width() - windowInsets.right));
    return out;
}

void View::layoutIfNeeded() {
    if (needsLayout_) {
        needsLayout_ = false;
        if (controller_) controller_->viewWillLayoutSubviews();
        layoutSubviews();
        if (controller_) controller_->viewDidLayoutSubviews();
    }
    auto children = subviews_;
    for (auto& sub : children) sub->layoutIfNeeded();
}

void View::layoutSubviews() { solveConstraints(*this); }

Size View::sizeThatFits(Size) const {
    Size intrinsic = intrinsicContentSize();
    Size current = bounds().size;
    return {intrinsic.width >= 0 ? intrinsic.width : current.width,
            intrinsic.height >= 0 ? intrinsic.height : current.height};
}

void View::sizeToFit() {
    Rect f = frame();
    f.size = sizeThatFits(f.size);
    setFrame(f);
}

void View::addConstraint(const std::shared_ptr<LayoutConstraint>& constraint) {
    if (!constraint) return;
    if (constraint->holder_ && constraint->holder_ != this) constraint->holder_->removeConstraint(constraint.get());
    if (std::find(constraints_.begin(), constraints_.end(), constraint) == constraints_.end()) {
        constraints_.push_back(constraint);
    }
    constraint->holder_ = this;
    constraint->active_ = true;
    setNeedsLayout();
}

void View::addConstraints(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints) {
    for (const auto& c : constraints) addConstraint(c);
}

void View::removeConstraint(const LayoutConstraint* constraint) {
    auto it = std::find_if(constraints_.begin(), constraints_.end(), [&](const auto& c) { return c.get() == constraint; });
    if (it == constraints_.end()) return;
    auto keep = *it;
    constraints_.erase(it);
    keep->active_ = false;
    keep->holder_ = nullptr;
    setNeedsLayout();
}

void View::draw(const Rect&) {}

void View::drawLayer(gfx::Layer&, gfx::GraphicsContext& context) {
    gfx::ContextScope scope(context);
    draw(bounds());
}

std::optional<Image> View::snapshotImage() {
    Rect b = bounds();
    return gfx::ImageRenderer(b.size).image([&](gfx::GraphicsContext& context) { layer_->renderInContext(context); });
}

namespace {

// The transform from a view's bounds space to its window's (or topmost
// view's) space, as a translation.
Point originInRoot(const View* view) {
    Point p{0, 0};
    for (const View* v = view; v; v = v->superviewPointer()) {
        Rect f = v->frame();
        Rect b = v->bounds();
        p.x += f.minX() - b.origin.x;
        p.y += f.minY() - b.origin.y;
    }
    return p;
}

}  // namespace

Point View::convertPoint(Point point, const View* to) const {
    Point from = originInRoot(this);
    Point target = to ? originInRoot(to) : Point{0, 0};
    if (!to) {
        if (Window* w = rawWindow()) target = originInRoot(w);
    }
    return {point.x + from.x - target.x, point.y + from.y - target.y};
}

Rect View::convertRect(const Rect& rect, const View* to) const {
    Point o = convertPoint(rect.origin, to);
    return {o, rect.size};
}

std::shared_ptr<View> View::hitTest(Point point) {
    if (isHidden() || alpha() <= 0.01 || !userInteraction_) return nullptr;
    Rect b = bounds();
    if (!b.contains(point)) return nullptr;
    for (auto it = subviews_.rbegin(); it != subviews_.rend(); ++it) {
        Point inChild = convertPoint(point, it->get());
        if (auto hit = (*it)->hitTest(inChild)) return hit;
    }
    return sharedAs<View>();
}

Responder* View::nextResponder() const {
    if (controller_) return controller_;
    return superview_;
}

void View::describe(std::vector<std::string>& notes) const {
    if (isHidden()) notes.push_back("hidden");
    if (alpha() != 1) notes.push_back("alpha=" + gfx::formatNumber(alpha()));
    if (tag_ != 0) notes.push_back("tag=" + std::to_string(tag_));
    if (!accessibilityIdentifier_.empty()) notes.push_back("id=" + accessibilityIdentifier_);
    if (auto bg = backgroundColor()) notes.push_back("bg=" + bg->description());
    if (tintColor_) notes.push_back("tint=" + tintColor_->description());
    layer_->describe(notes);
}

namespace {
bool animationsEnabled = true;
}

void View::animate(double duration, double delay, AnimationOptions, const std::function<void()>& animations,
                   std::function<void(bool)> completion) {
    if (animations) animations();
    if (!completion) return;
    double span = animationsEnabled ? std::max(0.0, delay) + std::max(0.0, duration) : 0;
    gfx::runOnMainAfter(span, [completion = std::move(completion)] { completion(true); });
}

void View::animate(double duration, const std::function<void()>& animations, std::function<void(bool)> completion) {
    animate(duration, 0, {}, animations, std::move(completion));
}

void View::transition(View&, double duration, AnimationOptions options, const std::function<void()>& animations,
                      std::function<void(bool)> completion) {
    animate(duration, 0, std::move(options), animations, std::move(completion));
}

void View::performWithoutAnimation(const std::function<void()>& actions) {
    bool previous = animationsEnabled;
    animationsEnabled = false;
    if (actions) actions();
    animationsEnabled = previous;
}

bool View::areAnimationsEnabled() { return animationsEnabled; }
void View::setAnimationsEnabled(bool enabled) { animationsEnabled = enabled; }

}  // namespace platform::ui
