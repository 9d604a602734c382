#include "platform/ui/window.h"

#include <algorithm>

#include "platform/foundation/notification_center.h"
#include "platform/ui/application.h"
#include "platform/ui/text_field.h"
#include "platform/ui/view_controller.h"

namespace platform::ui {

namespace {
EdgeInsets defaultInsets{47, 0, 34, 0};
}

EdgeInsets Window::defaultSafeAreaInsets() { return defaultInsets; }
void Window::setDefaultSafeAreaInsets(const EdgeInsets& insets) { defaultInsets = insets; }

Window::Window() : Window(Screen::main().bounds()) {}

Window::Window(const Rect& frame) : View(frame), safeArea_(defaultInsets) { setHidden(true); }

Window::~Window() {
    if (auto scene = scene_.lock()) scene->remove(this);
}

void Window::setRootViewController(const std::shared_ptr<ViewController>& controller) {
    if (controller == root_) return;
    auto old = root_;
    if (old) {
        if (visible_) old->beginAppearanceTransition(false, false);
        if (auto oldView = old->viewIfLoaded(); oldView && oldView->superview().get() == this) oldView->removeFromSuperview();
        if (visible_) old->endAppearanceTransition();
    }
    root_ = controller;
    if (!root_) return;
    auto rootView = root_->view();
    rootView->setFrame(bounds());
    rootView->setAutoresizingMask(autoresizing::flexibleWidth | autoresizing::flexibleHeight);
    insertSubview(rootView, 0);
    if (visible_) {
        root_->beginAppearanceTransition(true, false);
        layoutIfNeeded();
        root_->endAppearanceTransition();
    }
}

void Window::setWindowScene(const std::shared_ptr<WindowScene>& scene) {
    auto self = sharedAs<Window>();
    if (auto old = scene_.lock()) old->remove(this);
    scene_ = scene;
    if (scene && self) scene->add(self);
}

void Window::makeKeyAndVisible() {
    if (!scene_.lock()) {
        const auto& scenes = Application::shared().connectedScenes();
        if (!scenes.empty()) setWindowScene(scenes.front());
    }
    makeKey();
    if (visible_) return;
    visible_ = true;
    setHidden(false);
    if (root_) {
        root_->beginAppearanceTransition(true, false);
        layoutIfNeeded();
        root_->endAppearanceTransition();
    } else {
        layoutIfNeeded();
    }
}

void Window::makeKey() {
    auto scene = scene_.lock();
    if (!scene) return;
    auto previous = scene->keyWindow();
    scene->setKey(this);
    if (previous && previous.get() != this) {
        NotificationCenter::defaultCenter().post(didResignKeyNotification, previous.get());
    }
}

bool Window::isKeyWindow() const {
    auto scene = scene_.lock();
    return scene && scene->keyWindow().get() == this;
}

Responder* Window::firstResponder() const {
    if (!firstResponder_ || firstResponderRef_.expired()) return nullptr;
    return firstResponder_;
}

bool Window::makeFirstResponder(Responder* responder) {
    if (!responder) return false;
    if (firstResponder() == responder) return true;
    if (Responder* current = firstResponder()) {
        if (!current->resignFirstResponder()) return false;
        if (firstResponder() == current) clearFirstResponder();
    }
    firstResponder_ = responder;
    firstResponderRef_ = responder->weak_from_this();
    return true;
}

void Window::clearFirstResponder() {
    firstResponder_ = nullptr;
    firstResponderRef_.reset();
}

bool Window::isSystemKeyboardVisible() const {
    auto* field = dynamic_cast<TextField*>(firstResponder());
    return field && !field->inputView();
}

bool Window::isShortcutBarVisible() const {
    auto* field = dynamic_cast<TextField*>(firstResponder());
    if (!field) return false;
    const auto& assistant = field->inputAssistantItem();
    return !assistant.leadingBarButtonGroups.empty() || !assistant.trailingBarButtonGroups.empty();
}

std::vector<std::shared_ptr<ViewController>> Window::presentationChain() const {
    std::vector<std::shared_ptr<ViewController>> chain;
    for (auto vc = root_; vc; vc = vc->presentedViewController()) {
        if (std::find(chain.begin(), chain.end(), vc) != chain.end()) break;
        chain.push_back(vc);
    }
    return chain;
}

std::shared_ptr<ViewController> Window::topViewController() const {
    auto chain = presentationChain();
    return chain.empty() ? nullptr : chain.back();
}

void Window::describe(std::vector<std::string>& notes) const {
    if (isKeyWindow()) notes.push_back("key");
    if (!visible_) notes.push_back("notVisible");
    View::describe(notes);
    // a window is hidden until shown; the dump says so once, as notVisible
    notes.erase(std::remove(notes.begin(), notes.end(), std::string("hidden")), notes.end());
}

}  // namespace platform::ui
