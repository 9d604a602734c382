#include "platform/frameworks/material/navigation_drawer.h"

#include <algorithm>

#include "platform/frameworks/material/container.h"
#include "platform/gfx/animation.h"

namespace platform::material {

namespace {
// How dark the shade makes the page beside an open panel.
constexpr double kShadeAlpha = 0.4;
}  // namespace

NavigationDrawerController::NavigationDrawerController(std::shared_ptr<ui::ViewController> rootViewController,
                                                       std::shared_ptr<ui::ViewController> leftViewController,
                                                       std::shared_ptr<ui::ViewController> rightViewController)
    : root_(std::move(rootViewController)), left_(std::move(leftViewController)),
      right_(std::move(rightViewController)) {
    for (auto* child : {&root_, &left_, &right_}) {
        if (*child) addChild(*child);
    }
}

void NavigationDrawerController::loadView() {
    content_ = std::make_shared<ui::View>();
    shade_ = std::make_shared<ui::View>();
    shade_->setBackgroundColor(gfx::Color::black().withAlphaComponent(kShadeAlpha));
    shade_->setHidden(true);
    leftPanel_ = std::make_shared<ui::View>();
    rightPanel_ = std::make_shared<ui::View>();
    leftPanel_->setHidden(true);
    rightPanel_->setHidden(true);
    setView(detail::makeHostView({content_, shade_, leftPanel_, rightPanel_}, [this] { layoutParts(); }));
    detail::installChild(*this, root_, *content_);
    detail::installChild(*this, left_, *leftPanel_);
    detail::installChild(*this, right_, *rightPanel_);
    layoutParts();
}

void NavigationDrawerController::viewDidLoad() { prepare(); }

NavigationDrawerController::~NavigationDrawerController() { detail::unbindHost(*this); }

void NavigationDrawerController::layoutParts() {
    auto host = viewIfLoaded();
    if (!host) return;
    gfx::Rect b = host->bounds();
    content_->setFrame({0, 0, b.width(), b.height()});
    shade_->setFrame({0, 0, b.width(), b.height()});
    shade_->setHidden(!leftOpened_ && !rightOpened_);
    double lw = std::min(leftWidth_, b.width()), rw = std::min(rightWidth_, b.width());
    leftPanel_->setFrame({leftOpened_ ? 0 : -lw, 0, lw, b.height()});
    rightPanel_->setFrame({rightOpened_ ? b.width() - rw : b.width(), 0, rw, b.height()});
    for (auto& [vc, panel] : {std::pair{root_, content_}, std::pair{left_, leftPanel_}, std::pair{right_, rightPanel_}}) {
        if (!vc) continue;
        if (auto v = vc->viewIfLoaded()) v->setFrame({0, 0, panel->bounds().width(), panel->bounds().height()});
    }
}

void NavigationDrawerController::slide(DrawerPosition position, bool open) {
    bool left = position == DrawerPosition::left;
    bool& opened = left ? leftOpened_ : rightOpened_;
    const auto& panelController = left ? left_ : right_;
    bool enabled = left ? leftEnabled_ : rightEnabled_;
    if (opened == open || !panelController || (open && !enabled)) return;
    loadViewIfNeeded();
    auto d = delegate();
    if (d) open ? d->willOpen(*this, position) : d->willClose(*this, position);
    opened = open;
    (left ? leftPanel_ : rightPanel_)->setHidden(!open);
    layoutParts();
    auto self = sharedAs<NavigationDrawerController>();
    double span = ui::View::areAnimationsEnabled() ? detail::transitionDuration : 0;
    gfx::runOnMainAfter(span, [self, position, open] {
        if (auto d = self->delegate()) open ? d->didOpen(*self, position) : d->didClose(*self, position);
    });
}

void NavigationDrawerController::openLeftView(double) { slide(DrawerPosition::left, true); }
void NavigationDrawerController::closeLeftView(double) { slide(DrawerPosition::left, false); }
void NavigationDrawerController::toggleLeftView(double) { slide(DrawerPosition::left, !leftOpened_); }
void NavigationDrawerController::openRightView(double) { slide(DrawerPosition::right, true); }
void NavigationDrawerController::closeRightView(double) { slide(DrawerPosition::right, false); }
void NavigationDrawerController::toggleRightView(double) { slide(DrawerPosition::right, !rightOpened_); }

bool NavigationDrawerController::tapShade(gfx::Point point) {
    if (!shade_ || shade_->isHidden()) return false;
    const bool left = leftOpened_;
    const auto& panel = left ? leftPanel_ : rightPanel_;
    if (panel->frame().contains(point)) return false;
    const auto position = left ? DrawerPosition::left : DrawerPosition::right;
    if (auto d = delegate()) d->didTap(*this, point, position);
    slide(position, false);
    return true;
}

void NavigationDrawerController::transition(const std::shared_ptr<ui::ViewController>& to,
                                            std::function<void(bool)> completion, bool animated) {
    loadViewIfNeeded();
    auto old = root_;
    root_ = to;
    detail::swapChild(*this, *content_, old, to, animated, std::move(completion));
    layoutParts();
}

void NavigationDrawerController::describe(std::vector<std::string>& notes) const {
    if (leftOpened_) notes.push_back("leftOpened");
    if (rightOpened_) notes.push_back("rightOpened");
    ui::ViewController::describe(notes);
}

std::shared_ptr<NavigationDrawerController> navigationDrawerController(const ui::ViewController& controller) {
    return detail::selfOrEnclosing<NavigationDrawerController>(controller);
}

}  // namespace platform::material
