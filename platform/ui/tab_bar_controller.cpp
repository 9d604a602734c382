#include "platform/ui/tab_bar_controller.h"

namespace platform::ui {

void TabBarController::setViewControllers(const std::vector<std::shared_ptr<ViewController>>& controllers) {
    for (auto& old : tabs_) {
        if (auto v = old->viewIfLoaded()) v->removeFromSuperview();
        old->removeFromParent();
    }
    tabs_ = controllers;
    for (auto& vc : tabs_) {
        addChild(vc);
        vc->didMove(this);
    }
    selected_ = -1;
    if (!tabs_.empty()) show(0);
}

std::shared_ptr<ViewController> TabBarController::selectedViewController() const {
    if (selected_ < 0 || selected_ >= static_cast<int>(tabs_.size())) return nullptr;
    return tabs_[static_cast<std::size_t>(selected_)];
}

void TabBarController::setSelectedIndex(int index) {
    if (index < 0 || index >= static_cast<int>(tabs_.size()) || index == selected_) return;
    show(index);
}

void TabBarController::show(int index) {
    bool visible = appearanceState() == AppearanceState::appeared;
    auto old = selectedViewController();
    if (old && visible) old->beginAppearanceTransition(false, false);
    if (old) {
        if (auto v = old->viewIfLoaded()) v->removeFromSuperview();
    }
    selected_ = index;
    auto next = selectedViewController();
    if (isViewLoaded()) showSelectedView();
    if (next && visible) next->beginAppearanceTransition(true, false);
    if (old && visible) old->endAppearanceTransition();
    if (next && visible) next->endAppearanceTransition();
}

void TabBarController::viewDidLoad() { showSelectedView(); }

void TabBarController::showSelectedView() {
    auto selected = selectedViewController();
    if (!selected) return;
    auto v = selected->view();
    v->setFrame(view()->bounds());
    v->setAutoresizingMask(autoresizing::flexibleWidth | autoresizing::flexibleHeight);
    view()->addSubview(v);
}

void TabBarController::describe(std::vector<std::string>& notes) const {
    notes.push_back("selectedIndex=" + std::to_string(selected_));
    ViewController::describe(notes);
}

}  // namespace platform::ui
