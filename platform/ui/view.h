#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/gfx/layer.h"
#include "platform/ui/layout_constraint.h"
#include "platform/ui/responder.h"
#include "platform/ui/types.h"

namespace platform::ui {

class ViewController;
class Window;

enum class ContentMode {
    scaleToFill = 0, scaleAspectFit = 1, scaleAspectFill = 2, redraw = 3, center = 4, top = 5, bottom = 6,
    left = 7, right = 8, topLeft = 9, topRight = 10, bottomLeft = 11, bottomRight = 12
};

// Autoresizing masks, combined with |.
namespace autoresizing {
constexpr unsigned none = 0;
constexpr unsigned flexibleLeftMargin = 1;
constexpr unsigned flexibleWidth = 2;
constexpr unsigned flexibleRightMargin = 4;
constexpr unsigned flexibleTopMargin = 8;
constexpr unsigned flexibleHeight = 16;
constexpr unsigned flexibleBottomMargin = 32;
}  // namespace autoresizing

// Options of view animations (the curve is recorded, not played).
enum class AnimationCurve { easeInOut = 0, easeIn = 1, easeOut = 2, linear = 3 };
struct AnimationOptions {
    AnimationCurve curve = AnimationCurve::easeInOut;
    bool allowUserInteraction = false;
    bool beginFromCurrentState = false;
    std::string transition;  // "crossDissolve", "flipFromLeft", ... for transition()
};

// A rectangle of the screen and the root of everything shown. A view owns
// its subviews (shared) and knows its superview weakly; its layer is part of
// the superview's layer tree. Frames are set by code or by the small
// constraint solver of layoutSubviews (see layout_constraint.h).
class View : public Responder, public gfx::LayerDelegate {
public:
    static constexpr double noIntrinsicMetric = -1;

    View();
    explicit View(const Rect& frame);
    ~View() override;

    // Geometry.
    Rect frame() const;
    virtual void setFrame(const Rect& frame);
    Rect bounds() const;
    virtual void setBounds(const Rect& bounds);
    Point center() const;
    void setCenter(Point center);
    const AffineTransform& transform() const;
    void setTransform(const AffineTransform& transform);

    // Hierarchy.
    std::shared_ptr<View> superview() const;
    View* superviewPointer() const { return superview_; }
    const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }
    void addSubview(const std::shared_ptr<View>& view);
    void insertSubview(const std::shared_ptr<View>& view, std::size_t index);
    void insertSubviewBelow(const std::shared_ptr<View>& view, const View* sibling);
    void insertSubviewAbove(const std::shared_ptr<View>& view, const View* sibling);
    void removeFromSuperview();
    void bringSubviewToFront(const View* view);
    void sendSubviewToBack(const View* view);
    bool isDescendantOf(const View* view) const;  // true for the view itself
    std::shared_ptr<Window> window() const;
    // This view or the first descendant (depth first) with the tag.
    std::shared_ptr<View> viewWithTag(int tag);
    // Every descendant, depth first: each view followed by its own descendants.
    std::vector<std::shared_ptr<View>> allDescendants() const;

    // Appearance.
    bool isHidden() const;
    void setHidden(bool hidden);
    // Hidden itself or below a hidden view, or outside any window.
    bool isHiddenOnScreen() const;
    double alpha() const;
    void setAlpha(double alpha);
    int tag() const { return tag_; }
    void setTag(int tag) { tag_ = tag; }
    std::optional<Color> backgroundColor() const;
    virtual void setBackgroundColor(std::optional<Color> color);
    // Inherited from the superview when not set; the system blue at the top.
    Color tintColor() const;
    void setTintColor(std::optional<Color> color);
    bool hasOwnTintColor() const { return tintColor_.has_value(); }
    bool clipsToBounds() const;
    void setClipsToBounds(bool clips);
    ContentMode contentMode() const { return contentMode_; }
    void setContentMode(ContentMode mode) { contentMode_ = mode; }
    unsigned autoresizingMask() const { return autoresizingMask_; }
    void setAutoresizingMask(unsigned mask) { autoresizingMask_ = mask; }
    bool translatesAutoresizingMaskIntoConstraints() const { return translatesMask_; }
    void setTranslatesAutoresizingMaskIntoConstraints(bool t) { translatesMask_ = t; }
    bool isUserInteractionEnabled() const { return userInteraction_; }
    void setUserInteractionEnabled(bool enabled) { userInteraction_ = enabled; }
    const std::string& accessibilityIdentifier() const { return accessibilityIdentifier_; }
    void setAccessibilityIdentifier(std::string id) { accessibilityIdentifier_ = std::move(id); }
    const std::string& accessibilityLabel() const { return accessibilityLabel_; }
    void setAccessibilityLabel(std::string label) { accessibilityLabel_ = std::move(label); }
    const std::shared_ptr<gfx::Layer>& layer() const { return layer_; }
    const std::shared_ptr<View>& maskView() const { return maskView_; }
    void setMaskView(std::shared_ptr<View> mask);
    TraitCollection traitCollection() const { return currentTraits(); }
    // The window's safe-area insets where the view overlaps them; zero
    // outside a window.
    EdgeInsets safeAreaInsets() const;

    // Layout.
    void setNeedsLayout() { needsLayout_ = true; }
    bool needsLayout() const { return needsLayout_; }
    // Lays out this view and its descendants that need it.
    void layoutIfNeeded();
    // Places subviews: solves the constraints held by this view, then
    // stack views and the like arrange themselves. Subclasses call the base.
    virtual void layoutSubviews();
    virtual Size sizeThatFits(Size size) const;
    void sizeToFit();
    virtual Size intrinsicContentSize() const { return {noIntrinsicMetric, noIntrinsicMetric}; }
    void invalidateIntrinsicContentSize() { setNeedsLayout(); }
    const std::vector<std::shared_ptr<LayoutConstraint>>& constraints() const { return constraints_; }
    void addConstraint(const std::shared_ptr<LayoutConstraint>& constraint);
    void addConstraints(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints);
    void removeConstraint(const LayoutConstraint* constraint);
    LayoutAnchor leadingAnchor() { return {this, LayoutAttribute::leading}; }
    LayoutAnchor trailingAnchor() { return {this, LayoutAttribute::trailing}; }
    LayoutAnchor leftAnchor() { return {this, LayoutAttribute::left}; }
    LayoutAnchor rightAnchor() { return {this, LayoutAttribute::right}; }
    LayoutAnchor topAnchor() { return {this, LayoutAttribute::top}; }
    LayoutAnchor bottomAnchor() { return {this, LayoutAttribute::bottom}; }
    LayoutAnchor widthAnchor() { return {this, LayoutAttribute::width}; }
    LayoutAnchor heightAnchor() { return {this, LayoutAttribute::height}; }
    LayoutAnchor centerXAnchor() { return {this, LayoutAttribute::centerX}; }
    LayoutAnchor centerYAnchor() { return {this, LayoutAttribute::centerY}; }

    // Drawing: draw() paints the view's own content into the current
    // graphics context, in bounds coordinates.
    virtual void draw(const Rect& rect);
    void setNeedsDisplay() { layer_->setNeedsDisplay(); }
    // A recorded image of the view and its subviews, of the bounds' size;
    // none for a view without area.
    std::optional<Image> snapshotImage();

    // Coordinates: to another view of the same window (null: the window).
    Point convertPoint(Point point, const View* to) const;
    Rect convertRect(const Rect& rect, const View* to) const;
    // The deepest visible, interactive view at a point of this view.
    std::shared_ptr<View> hitTest(Point point);

    // Hooks.
    virtual void awakeFromNib() {}
    virtual void willMoveToSuperview(View*) {}
    virtual void didMoveToSuperview() {}
    virtual void didMoveToWindow() {}
    virtual void didAddSubview(View*) {}
    virtual void willRemoveSubview(View*) {}

    // The controller whose root view this is.
    ViewController* viewController() const { return controller_; }
    void setViewController(ViewController* controller) { controller_ = controller; }
    Responder* nextResponder() const override;
    std::shared_ptr<Window> responderWindow() const override { return window(); }

    // Short notes for the tree dump ("text=...", "hidden"); subclasses add theirs.
    virtual void describe(std::vector<std::string>& notes) const;
    // Whether a subview has a line of its own in dumps (a button's title
    // label has not: the button's notes show its title).
    virtual bool showsSubviewInDump(const View&) const { return true; }

    // Animations apply at once; the completion runs on the main queue once
    // delay + duration have passed on the process clock.
    static void animate(double duration, double delay, AnimationOptions options, const std::function<void()>& animations,
                        std::function<void(bool)> completion = {});
    static void animate(double duration, const std::function<void()>& animations,
                        std::function<void(bool)> completion = {});
    static void transition(View& view, double duration, AnimationOptions options,
                           const std::function<void()>& animations, std::function<void(bool)> completion = {});
    static void performWithoutAnimation(const std::function<void()>& actions);
    static bool areAnimationsEnabled();
    static void setAnimationsEnabled(bool enabled);

    // LayerDelegate.
    void drawLayer(gfx::Layer& layer, gfx::GraphicsContext& context) override;

protected:
    // A view backed by a layer of its own class (a shape layer, say), as a
    // view class that names its layer class is.
    View(std::shared_ptr<gfx::Layer> layer, const Rect& frame);
    // Called when the window of this view or an ancestor changes.
    void notifyWindowChange();

private:
    void attach(const std::shared_ptr<View>& view, std::size_t index);
    void resizeSubviews(Size oldSize);
    void sizeChanged(Size oldSize);
    Window* rawWindow() const;

    std::shared_ptr<gfx::Layer> layer_;
    View* superview_ = nullptr;  // the superview owns this view
    std::vector<std::shared_ptr<View>> subviews_;
    std::vector<std::shared_ptr<LayoutConstraint>> constraints_;
    std::optional<Color> tintColor_;
    std::shared_ptr<View> maskView_;
    int tag_ = 0;
    ContentMode contentMode_ = ContentMode::scaleToFill;
    unsigned autoresizingMask_ = autoresizing::none;
    bool translatesMask_ = true;
    bool userInteraction_ = true;
    bool needsLayout_ = true;
    std::string accessibilityIdentifier_;
    std::string accessibilityLabel_;
    ViewController* controller_ = nullptr;
};

// Exact-class and kind-of tests: isExactly<StackView>(view) is false for a
// subclass of StackView; isKindOf<Button>(view) is true for any button.
template <class T, class V>
bool isExactly(const V& view) {
    return typeid(view) == typeid(T);
}
template <class T, class V>
bool isKindOf(const V& view) {
    return dynamic_cast<const T*>(&view) != nullptr;
}

}  // namespace platform::ui
