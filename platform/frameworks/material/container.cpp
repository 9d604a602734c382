#include "platform/frameworks/material/container.h"

#include "platform/gfx/animation.h"
#include "platform/ui/application.h"

namespace platform::material::detail {

void swapChild(ui::ViewController& parent, ui::View& host, const std::shared_ptr<ui::ViewController>& old,
               const std::shared_ptr<ui::ViewController>& next, bool animated,
               std::function<void(bool)> completion) {
    bool visible = parent.appearanceState() == ui::AppearanceState::appeared ||
                   parent.appearanceState() == ui::AppearanceState::appearing;
    if (old == next) {
        if (completion) gfx::runOnMainAfter(0, [completion] { completion(true); });
        return;
    }
    if (next) parent.addChild(next);
    if (old) {
        if (visible) old->beginAppearanceTransition(false, animated);
        old->willMove(nullptr);
        if (auto v = old->viewIfLoaded(); v && v->isDescendantOf(&host)) v->removeFromSuperview();
        old->removeFromParent();
    }
    if (next) {
        auto v = next->view();
        v->setFrame({0, 0, host.bounds().width(), host.bounds().height()});
        v->setAutoresizingMask(ui::autoresizing::flexibleWidth | ui::autoresizing::flexibleHeight);
        host.addSubview(v);
        next->didMove(&parent);
        if (visible) next->beginAppearanceTransition(true, animated);
    }
    host.setNeedsLayout();
    double span = animated && ui::View::areAnimationsEnabled() ? transitionDuration : 0;
    gfx::runOnMainAfter(span, [old, next, visible, completion = std::move(completion)] {
        if (visible && old) old->endAppearanceTransition();
        if (visible && next) next->endAppearanceTransition();
        if (completion) completion(true);
    });
}

void installChild(ui::ViewController& parent, const std::shared_ptr<ui::ViewController>& child, ui::View& host) {
    if (!child) return;
    auto v = child->view();
    v->setAutoresizingMask(ui::autoresizing::flexibleWidth | ui::autoresizing::flexibleHeight);
    host.addSubview(v);
    child->didMove(&parent);
}

std::shared_ptr<LayoutHostView> makeHostView(std::initializer_list<std::shared_ptr<ui::View>> parts,
                                             std::function<void()> layout) {
    auto host = std::make_shared<LayoutHostView>(ui::Screen::main().bounds());
    for (const auto& part : parts) host->addSubview(part);
    host->onLayout = std::move(layout);
    return host;
}

void unbindHost(ui::ViewController& container) {
    if (auto host = std::dynamic_pointer_cast<LayoutHostView>(container.viewIfLoaded())) host->onLayout = nullptr;
}

}  // namespace platform::material::detail
