// The stack container's pushes and pops, and the pager's pages.
#include "platform/ui/navigation_controller.h"

#include <algorithm>

#include "platform/gfx/animation.h"
#include "platform/ui/ui_log.h"

namespace platform::ui {

namespace {

double durationFor(bool animated) { return animated && View::areAnimationsEnabled() ? presentationDuration : 0; }

// Puts the child's view into the container's, filling it.
void fill(ViewController& container, const std::shared_ptr<ViewController>& child) {
    auto v = child->view();
    v->setFrame(container.view()->bounds());
    v->setAutoresizingMask(autoresizing::flexibleWidth | autoresizing::flexibleHeight);
    container.view()->addSubview(v);
}

void removeView(const std::shared_ptr<ViewController>& controller) {
    if (!controller) return;
    if (auto v = controller->viewIfLoaded()) v->removeFromSuperview();
}

}  // namespace

NavigationController::NavigationController(const std::shared_ptr<ViewController>& root) {
    if (!root) return;
    stack_.push_back(root);
    addChild(root);
    root->didMove(this);
}

std::shared_ptr<ViewController> NavigationController::topViewController() const {
    return stack_.empty() ? nullptr : stack_.back();
}

std::shared_ptr<ViewController> NavigationController::visibleViewController() const {
    auto top = topViewController();
    if (!top) return nullptr;
    if (auto presented = top->presentedViewController()) return presented;
    return top;
}

void NavigationController::pushViewController(const std::shared_ptr<ViewController>& controller, bool animated) {
    if (!controller) return;
    if (std::find(stack_.begin(), stack_.end(), controller) != stack_.end() || controller->parentPointer()) {
        logMessage("Pushing a view controller that is already in the stack or shown as a child is not supported (<" +
                   controller->className() + ">).");
        return;
    }
    auto from = topViewController();
    stack_.push_back(controller);
    addChild(controller);
    controller->didMove(this);
    transition(from, controller, animated);
}

std::shared_ptr<ViewController> NavigationController::popViewController(bool animated) {
    if (stack_.size() < 2) return nullptr;
    auto popped = stack_.back();
    stack_.pop_back();
    popped->removeFromParent();
    transition(popped, topViewController(), animated);
    return popped;
}

std::vector<std::shared_ptr<ViewController>> NavigationController::popToRootViewController(bool animated) {
    if (stack_.size() < 2) return {};
    std::vector<std::shared_ptr<ViewController>> popped(stack_.begin() + 1, stack_.end());
    auto from = stack_.back();
    stack_.resize(1);
    for (auto& vc : popped) vc->removeFromParent();
    transition(from, topViewController(), animated);
    return popped;
}

void NavigationController::transition(const std::shared_ptr<ViewController>& from,
                                      const std::shared_ptr<ViewController>& to, bool animated) {
    const bool visible = appearanceState() == AppearanceState::appeared;
    if (from && visible) from->beginAppearanceTransition(false, animated);
    removeView(from);
    if (isViewLoaded() && to) fill(*this, to);
    if (to && visible) to->beginAppearanceTransition(true, animated);
    if (!visible) return;
    gfx::runOnMainAfter(durationFor(animated), [from, to] {
        if (from) from->endAppearanceTransition();
        if (to) to->endAppearanceTransition();
    });
}

void NavigationController::viewDidLoad() { showTopView(); }

void NavigationController::showTopView() {
    if (auto top = topViewController()) fill(*this, top);
}

void NavigationController::describe(std::vector<std::string>& notes) const {
    notes.push_back("depth=" + std::to_string(stack_.size()));
    ViewController::describe(notes);
}

void PageViewController::setViewControllers(const std::vector<std::shared_ptr<ViewController>>& controllers,
                                            bool animated) {
    const bool visible = appearanceState() == AppearanceState::appeared;
    auto old = pages_.empty() ? nullptr : pages_.front();
    auto next = controllers.empty() ? nullptr : controllers.front();
    if (old && old != next && visible) old->beginAppearanceTransition(false, animated);
    for (auto& page : pages_) {
        if (page == next) continue;
        removeView(page);
        page->removeFromParent();
    }
    pages_ = controllers;
    for (auto& page : pages_) {
        if (page->parentPointer() == this) continue;
        addChild(page);
        page->didMove(this);
    }
    if (old == next) return;
    if (isViewLoaded()) showFirstView();
    if (next && visible) next->beginAppearanceTransition(true, animated);
    if (old && visible) old->endAppearanceTransition();
    if (next && visible) next->endAppearanceTransition();
}

void PageViewController::viewDidLoad() { showFirstView(); }

void PageViewController::showFirstView() {
    if (!pages_.empty()) fill(*this, pages_.front());
}

}  // namespace platform::ui
