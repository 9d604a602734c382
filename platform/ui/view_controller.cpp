#include "platform/ui/view_controller.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "platform/gfx/animation.h"
#include "platform/ui/application.h"
#include "platform/ui/ui_log.h"
#include "platform/ui/storyboard.h"
#include "platform/ui/tab_bar_controller.h"
#include "platform/ui/window.h"

namespace platform::ui {

ModalPresentationStyle PresentationControllerDelegate::adaptivePresentationStyle(PresentationController&,
                                                                                 const TraitCollection&) {
    return ModalPresentationStyle::fullScreen;
}

namespace {

struct HookTable {
    std::mutex mutex;
    std::uint64_t next = 1;
    std::map<std::uint64_t, std::pair<LifecycleHandler, LifecycleHooks::Hook>> hooks;
};

HookTable& hookTable() {
    static HookTable table;
    return table;
}

}  // namespace

std::optional<LifecycleHandler> LifecycleHooks::handlerNamed(const std::string& selector) {
    static const std::map<std::string, LifecycleHandler> handlers = {
        {"viewDidLoad", LifecycleHandler::viewDidLoad},
        {"viewWillAppear:", LifecycleHandler::viewWillAppear},
        {"viewDidAppear:", LifecycleHandler::viewDidAppear},
        {"viewWillDisappear:", LifecycleHandler::viewWillDisappear},
        {"viewDidDisappear:", LifecycleHandler::viewDidDisappear},
    };
    auto it = handlers.find(selector);
    if (it == handlers.end()) return std::nullopt;
    return it->second;
}

std::uint64_t LifecycleHooks::addAfterHook(LifecycleHandler handler, Hook hook) {
    if (!hook) return 0;
    auto& table = hookTable();
    std::lock_guard lock(table.mutex);
    const auto identifier = table.next++;
    table.hooks.emplace(identifier, std::make_pair(handler, std::move(hook)));
    return identifier;
}

void LifecycleHooks::removeAfterHook(std::uint64_t identifier) {
    LifecycleHooks::Hook removed;  // destroyed outside the lock
    auto& table = hookTable();
    std::lock_guard lock(table.mutex);
    if (auto it = table.hooks.find(identifier); it != table.hooks.end()) {
        removed = std::move(it->second.second);
        table.hooks.erase(it);
    }
}

std::size_t LifecycleHooks::hookCount(LifecycleHandler handler) {
    auto& table = hookTable();
    std::lock_guard lock(table.mutex);
    return static_cast<std::size_t>(std::count_if(table.hooks.begin(), table.hooks.end(),
                                                  [&](const auto& entry) { return entry.second.first == handler; }));
}

void LifecycleHooks::runAfterHooks(LifecycleHandler handler, ViewController& controller, bool animated) {
    // Copied first, so that a hook may add or remove hooks.
    std::vector<Hook> hooks;
    {
        auto& table = hookTable();
        std::lock_guard lock(table.mutex);
        for (const auto& [identifier, entry] : table.hooks) {
            if (entry.first == handler) hooks.push_back(entry.second);
        }
    }
    for (const auto& hook : hooks) hook(controller, animated);
}

void ViewController::runViewDidLoad() {
    viewDidLoad();
    LifecycleHooks::runAfterHooks(LifecycleHandler::viewDidLoad, *this, false);
}

void ViewController::runViewWillAppear(bool animated) {
    viewWillAppear(animated);
    LifecycleHooks::runAfterHooks(LifecycleHandler::viewWillAppear, *this, animated);
}

void ViewController::runViewDidAppear(bool animated) {
    viewDidAppear(animated);
    LifecycleHooks::runAfterHooks(LifecycleHandler::viewDidAppear, *this, animated);
}

void ViewController::runViewWillDisappear(bool animated) {
    viewWillDisappear(animated);
    LifecycleHooks::runAfterHooks(LifecycleHandler::viewWillDisappear, *this, animated);
}

void ViewController::runViewDidDisappear(bool animated) {
    viewDidDisappear(animated);
    LifecycleHooks::runAfterHooks(LifecycleHandler::viewDidDisappear, *this, animated);
}

ViewController::ViewController() = default;

ViewController::ViewController(std::string nibName) : nibName_(std::move(nibName)) {}

ViewController::~ViewController() {
    if (view_ && view_->viewController() == this) view_->setViewController(nullptr);
    for (auto& child : children_) child->parent_ = nullptr;
}

std::shared_ptr<ViewController> ViewController::parent() const {
    return parent_ ? parent_->sharedAs<ViewController>() : nullptr;
}

std::shared_ptr<View> ViewController::view() {
    loadViewIfNeeded();
    return view_;
}

void ViewController::loadViewIfNeeded() {
    if (view_ || loading_) return;
    loading_ = true;
    loadView();
    if (!view_) setView(std::make_shared<View>(Screen::main().bounds()));
    loading_ = false;
    runViewDidLoad();
}

void ViewController::setView(std::shared_ptr<View> view) {
    if (view_ && view_->viewController() == this) view_->setViewController(nullptr);
    view_ = std::move(view);
    if (view_) view_->setViewController(this);
}

void ViewController::setViewLoader(std::function<std::shared_ptr<View>(ViewController&)> loader) {
    viewLoader_ = std::move(loader);
}

void ViewController::loadView() {
    if (viewLoader_) {
        setView(viewLoader_(*this));
        return;
    }
    if (!nibName_.empty()) {
        if (auto nib = Nib::named(nibName_)) {
            auto views = nib->instantiate(this);
            // the builder may have set the view as the owner's outlet
            if (!view_ && !views.empty()) setView(views.front());
            return;
        }
        logMessage("Could not load NIB in bundle with name '" + nibName_ + "'");
    }
    setView(std::make_shared<View>(Screen::main().bounds()));
}

void ViewController::addChild(const std::shared_ptr<ViewController>& child) {
    if (!child || child.get() == this) return;
    if (child->parent_ == this) return;
    child->removeFromParent();
    child->willMove(this);
    children_.push_back(child);
    child->parent_ = this;
}

void ViewController::removeFromParent() {
    ViewController* p = parent_;
    if (!p) return;
    auto self = sharedAs<ViewController>();  // the parent may hold the last reference
    auto& list = p->children_;
    list.erase(std::remove_if(list.begin(), list.end(), [this](const auto& c) { return c.get() == this; }), list.end());
    parent_ = nullptr;
    didMove(nullptr);
}

std::shared_ptr<TabBarController> ViewController::tabBarController() const { return enclosing<TabBarController>(); }

std::shared_ptr<ViewController> ViewController::presentingViewController() const {
    if (auto p = presenting_.lock()) return p;
    // a child of a presented controller is presented by the same one
    for (auto p = parent(); p; p = p->parent()) {
        if (auto presenter = p->presenting_.lock()) return presenter;
    }
    return nullptr;
}

void ViewController::setModalPresentationStyle(ModalPresentationStyle style) {
    presentationStyle_ = style;
    if (style == ModalPresentationStyle::popover) {
        if (!dynamic_cast<PopoverPresentationController*>(presentationController_.get())) {
            presentationController_ = std::make_unique<PopoverPresentationController>();
        }
    }
}

PresentationController* ViewController::presentationController() {
    if (!presentationController_) {
        if (presentationStyle_ == ModalPresentationStyle::popover) {
            presentationController_ = std::make_unique<PopoverPresentationController>();
        } else {
            presentationController_ = std::make_unique<PresentationController>();
        }
    }
    return presentationController_.get();
}

PopoverPresentationController* ViewController::popoverPresentationController() {
    if (presentationStyle_ != ModalPresentationStyle::popover) return nullptr;
    return dynamic_cast<PopoverPresentationController*>(presentationController());
}

std::shared_ptr<ViewController> ViewController::presentationRoot() {
    return std::const_pointer_cast<ViewController>(presentationRootPointer()->sharedAs<ViewController>());
}

// The controller a presentation really starts from, whatever its style: this
// one or the nearest ancestor that defines a presentation context, else the
// outermost ancestor (the window's root or a presented controller).
const ViewController* ViewController::presentationRootPointer() const {
    const ViewController* vc = this;
    while (vc->parent_) {
        if (vc->definesContext_) break;
        vc = vc->parent_;
    }
    return vc;
}

std::shared_ptr<ViewController> ViewController::presentedViewController() const {
    if (presented_) return presented_;
    const ViewController* root = presentationRootPointer();
    return root != this ? root->presented_ : nullptr;
}

ModalPresentationStyle ViewController::adaptedStyle(ModalPresentationStyle style) {
    if (style == ModalPresentationStyle::automatic) style = ModalPresentationStyle::pageSheet;
    if (style == ModalPresentationStyle::popover && currentTraits().horizontalSizeClass == SizeClass::compact) {
        PresentationController* pc = presentationController();
        ModalPresentationStyle adapted = ModalPresentationStyle::fullScreen;
        if (auto delegate = pc->delegate()) adapted = delegate->adaptivePresentationStyle(*pc, currentTraits());
        if (adapted != ModalPresentationStyle::none) style = adapted;
    }
    return style;
}

namespace {

std::string label(const ViewController& vc) { return "<" + vc.className() + ">"; }

bool coversPresenter(ModalPresentationStyle style) {
    return style == ModalPresentationStyle::fullScreen || style == ModalPresentationStyle::currentContext;
}

double durationFor(bool animated) { return animated && View::areAnimationsEnabled() ? presentationDuration : 0; }

}  // namespace

Rect ViewController::presentationFrame(const Window& window, ModalPresentationStyle style) const {
    Rect bounds = window.bounds();
    bool pad = currentTraits().userInterfaceIdiom == UserInterfaceIdiom::pad;
    switch (style) {
        case ModalPresentationStyle::pageSheet:
        case ModalPresentationStyle::formSheet: {
            if (pad) {
                double w = std::min(bounds.width(), style == ModalPresentationStyle::formSheet ? 540.0 : 704.0);
                double h = std::min(bounds.height(), 620.0);
                return {(bounds.width() - w) / 2, (bounds.height() - h) / 2, w, h};
            }
            double top = window.windowSafeAreaInsets().top + 10;
            return {0, top, bounds.width(), std::max(0.0, bounds.height() - top)};
        }
        case ModalPresentationStyle::popover: {
            Size size = preferredContentSize();
            if (!(size.width > 0) || !(size.height > 0)) size = {320, 480};
            return {(bounds.width() - size.width) / 2, (bounds.height() - size.height) / 2, size.width, size.height};
        }
        default: return bounds;
    }
}

namespace {
ViewController::RefusedPresentationObserver& refusedPresentationObserver() {
    static ViewController::RefusedPresentationObserver observer;
    return observer;
}
}  // namespace

void ViewController::setRefusedPresentationObserver(RefusedPresentationObserver observer) {
    refusedPresentationObserver() = std::move(observer);
}

void ViewController::present(const std::shared_ptr<ViewController>& controller, bool animated,
                             std::function<void()> completion) {
    if (!controller) return;
    auto presenter = presentationRoot();
    if (auto busy = presenter->presented_) {
        logMessage("Attempt to present " + label(*controller) + " on " + label(*presenter) + " (from " + label(*this) +
                   ") which is already presenting " + label(*busy) + ".");
        if (refusedPresentationObserver()) refusedPresentationObserver()(*controller, *busy);
        return;
    }
    if (controller->presenting_.lock() || controller->parentPointer() || controller.get() == presenter.get()) {
        logMessage("Application tried to present modally a view controller " + label(*controller) +
                   " that is already presented or shown as a child.");
        return;
    }
    auto window = presenter->view_ ? presenter->view_->window() : nullptr;
    if (!window) {
        logMessage("Attempt to present " + label(*controller) + " on " + label(*presenter) +
                   " whose view is not in the window hierarchy.");
        return;
    }
    ModalPresentationStyle style = controller->adaptedStyle(controller->presentationStyle_);
    if (style == ModalPresentationStyle::popover) {
        auto* popover = controller->popoverPresentationController();
        if (!popover || !popover->sourceView()) {
            logMessage("A popover presentation of " + label(*controller) + " needs a source view; not presented.");
            return;
        }
    }
    presenter->presented_ = controller;
    controller->presenting_ = presenter;
    controller->presentedStyle_ = style;
    controller->beingPresented_ = true;
    auto shown = controller->view();
    shown->setFrame(controller->presentationFrame(*window, style));
    window->addSubview(shown);
    bool covered = coversPresenter(style);
    if (covered) presenter->beginAppearanceTransition(false, animated);
    controller->beginAppearanceTransition(true, animated);
    window->layoutIfNeeded();
    gfx::runOnMainAfter(durationFor(animated), [controller, presenter, covered, completion = std::move(completion)] {
        // Still being presented while its did-appear runs, as the platform
        // reports it.
        controller->endAppearanceTransition();
        controller->beingPresented_ = false;
        if (covered) presenter->endAppearanceTransition();
        if (completion) completion();
    });
}

void ViewController::dismiss(bool animated, std::function<void()> completion) {
    if (presented_) {
        auto presented = presented_;
        // everything the presented controller presents goes too
        std::vector<std::shared_ptr<ViewController>> stack;
        for (auto vc = presented; vc; vc = vc->presented_) stack.push_back(vc);
        for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
            auto& vc = *it;
            auto owner = vc->presenting_.lock();
            if (owner) owner->presented_.reset();
            vc->presenting_.reset();
            vc->beingDismissed_ = true;
            vc->beginAppearanceTransition(false, animated);
            if (vc->view_) vc->view_->removeFromSuperview();
        }
        bool covered = coversPresenter(presented->presentedStyle_);
        if (covered) beginAppearanceTransition(true, animated);
        finishDismissal(presented, covered, animated, std::move(completion));
        for (std::size_t i = 1; i < stack.size(); ++i) {
            auto vc = stack[i];
            gfx::runOnMainAfter(durationFor(animated), [vc] {
                vc->endAppearanceTransition();
                vc->beingDismissed_ = false;
            });
        }
        return;
    }
    auto root = presentationRoot();
    if (root.get() != this && root->presented_) {
        root->dismiss(animated, std::move(completion));
    } else if (auto presenter = presentingViewController()) {
        presenter->dismiss(animated, std::move(completion));
    }
}

void ViewController::finishDismissal(const std::shared_ptr<ViewController>& presented, bool covered, bool animated,
                                     std::function<void()> completion) {
    auto self = sharedAs<ViewController>();
    gfx::runOnMainAfter(durationFor(animated), [self, presented, covered, completion = std::move(completion)] {
        presented->endAppearanceTransition();
        presented->beingDismissed_ = false;
        if (covered) self->endAppearanceTransition();
        if (completion) completion();
    });
}

void ViewController::forwardAppearance(const std::function<void(ViewController&)>& step) {
    if (!shouldAutomaticallyForwardAppearanceMethods() || !view_) return;
    auto children = children_;
    for (auto& child : children) {
        if (child->view_ && child->view_->isDescendantOf(view_.get())) step(*child);
    }
}

void ViewController::beginAppearanceTransition(bool isAppearing, bool animated) {
    if (isAppearing) {
        if (appearance_ == AppearanceState::appeared || appearance_ == AppearanceState::appearing) return;
        loadViewIfNeeded();
        appearance_ = AppearanceState::appearing;
        runViewWillAppear(animated);
    } else {
        if (appearance_ == AppearanceState::disappeared || appearance_ == AppearanceState::disappearing) return;
        appearance_ = AppearanceState::disappearing;
        runViewWillDisappear(animated);
    }
    forwardAppearance([&](ViewController& child) { child.beginAppearanceTransition(isAppearing, animated); });
}

void ViewController::endAppearanceTransition() {
    if (appearance_ == AppearanceState::appearing) {
        appearance_ = AppearanceState::appeared;
        runViewDidAppear(false);
    } else if (appearance_ == AppearanceState::disappearing) {
        appearance_ = AppearanceState::disappeared;
        runViewDidDisappear(false);
    } else {
        return;
    }
    forwardAppearance([](ViewController& child) { child.endAppearanceTransition(); });
}

Responder* ViewController::nextResponder() const {
    if (view_) {
        if (auto super = view_->superview()) return super.get();
    }
    if (parent_) return parent_;
    return presenting_.lock().get();
}

std::shared_ptr<Window> ViewController::responderWindow() const { return view_ ? view_->window() : nullptr; }

void ViewController::describe(std::vector<std::string>& notes) const {
    if (!title_.empty()) notes.push_back("title=\"" + title_ + "\"");
    if (presenting_.lock()) {
        static const char* names[] = {"fullScreen", "pageSheet", "formSheet", "currentContext",
                                      "custom", "overFullScreen", "overCurrentContext", "popover"};
        int style = static_cast<int>(presentedStyle_);
        notes.push_back(std::string("presented=") + (style >= 0 && style <= 7 ? names[style] : "other"));
    }
    switch (appearance_) {
        case AppearanceState::appeared: break;
        case AppearanceState::appearing: notes.push_back("appearing"); break;
        case AppearanceState::disappearing: notes.push_back("disappearing"); break;
        case AppearanceState::disappeared: notes.push_back("notVisible"); break;
    }
}

}  // namespace platform::ui
