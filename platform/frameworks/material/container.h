#pragma once

#include <functional>
#include <initializer_list>
#include <memory>

#include "platform/ui/view.h"
#include "platform/ui/view_controller.h"

// Shared by the framework's containers; not part of the public surface.
namespace platform::material::detail {

// A view that calls back when it lays out, so that a container places its
// parts whatever its subclasses override.
class LayoutHostView : public ui::View {
public:
    using ui::View::View;
    std::function<void()> onLayout;
    void layoutSubviews() override {
        ui::View::layoutSubviews();
        if (onLayout) onLayout();
    }
};

// A screen-sized host view holding `parts` from back to front; it calls
// `layout` whenever it lays out. The container makes it its view.
std::shared_ptr<LayoutHostView> makeHostView(std::initializer_list<std::shared_ptr<ui::View>> parts,
                                             std::function<void()> layout);

// How long the containers' animated changes take on the clock.
constexpr double transitionDuration = 0.25;

// Makes `next` the child shown in `host` in place of `old` (either may be
// null): the change applies at once, appearance callbacks begin at once and
// end, with the completion, on the main queue after the transition.
void swapChild(ui::ViewController& parent, ui::View& host, const std::shared_ptr<ui::ViewController>& old,
               const std::shared_ptr<ui::ViewController>& next, bool animated,
               std::function<void(bool)> completion);

// Puts a child controller's view into a host view of the parent, filling it.
void installChild(ui::ViewController& parent, const std::shared_ptr<ui::ViewController>& child, ui::View& host);

// Stops a container's host view from calling back into a controller that
// is going away.
void unbindHost(ui::ViewController& container);

// The controller itself or its nearest ancestor of a class.
template <class T>
std::shared_ptr<T> selfOrEnclosing(const ui::ViewController& vc) {
    auto self = std::dynamic_pointer_cast<T>(std::const_pointer_cast<ui::ViewController>(vc.sharedAs<ui::ViewController>()));
    if (self) return self;
    return vc.enclosing<T>();
}

}  // namespace platform::material::detail
