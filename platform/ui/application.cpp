#include "platform/ui/application.h"

#include <algorithm>
#include <cctype>

#include "platform/dispatch/queue.h"
#include "platform/foundation/notification_center.h"
#include "platform/gfx/animation.h"
#include "platform/gfx/image.h"
#include "platform/ui/window.h"

namespace platform::ui {

TraitCollection currentTraits() {
    TraitCollection traits;
    traits.userInterfaceStyle = gfx::interfaceStyle();
    traits.userInterfaceIdiom = Device::current().userInterfaceIdiom();
    traits.horizontalSizeClass =
        traits.userInterfaceIdiom == UserInterfaceIdiom::pad ? SizeClass::regular : SizeClass::compact;
    return traits;
}

Screen& Screen::main() {
    static Screen screen;
    return screen;
}

Rect Screen::bounds() const { return bounds_; }
void Screen::setBounds(const Rect& bounds) { bounds_ = bounds; }
double Screen::scale() const { return gfx::displayScale(); }
void Screen::setScale(double scale) { gfx::setDisplayScale(scale); }

Device& Device::current() {
    static Device device;
    return device;
}

std::vector<std::shared_ptr<Window>> WindowScene::windows() const {
    std::vector<std::shared_ptr<Window>> out;
    for (const auto& w : windows_) {
        if (auto window = w.lock()) out.push_back(window);
    }
    return out;
}

std::shared_ptr<Window> WindowScene::keyWindow() const {
    for (const auto& w : windows_) {
        auto window = w.lock();
        if (window && window.get() == key_) return window;
    }
    return nullptr;
}

void WindowScene::add(const std::shared_ptr<Window>& window) {
    remove(window.get());
    windows_.push_back(window);
}

void WindowScene::remove(const Window* window) {
    windows_.erase(std::remove_if(windows_.begin(), windows_.end(),
                                  [&](const auto& w) { return w.expired() || w.lock().get() == window; }),
                   windows_.end());
    if (key_ == window) key_ = nullptr;
}

void WindowScene::setKey(const Window* window) { key_ = window; }

Application::Application() { reset(); }

Application& Application::shared() {
    static std::shared_ptr<Application> app(new Application());
    return *app;
}

void Application::reset() {
    delegate_.reset();
    state_ = ApplicationState::inactive;
    scenes_.clear();
    scenes_.push_back(std::make_shared<WindowScene>());
    opened_.clear();
    schemes_ = {"http", "https", "mailto", "tel", "sms"};
}

bool Application::launch(const std::shared_ptr<ApplicationDelegate>& delegate, const Value::Dictionary& launchOptions) {
    delegate_ = delegate;
    state_ = ApplicationState::inactive;
    bool ok = delegate_ ? delegate_->didFinishLaunching(*this) : true;
    post(didFinishLaunchingNotification, launchOptions);
    becomeActive();
    return ok;
}

int Application::run(const std::shared_ptr<ApplicationDelegate>& delegate) {
    launch(delegate);
    dispatch::mainQueue().runUntilStopped();
    return 0;
}

void Application::post(const std::string& notification, const Value::Dictionary& userInfo) {
    NotificationCenter::defaultCenter().post(notification, this, userInfo);
}

void Application::becomeActive() {
    state_ = ApplicationState::active;
    for (auto& scene : scenes_) scene->setActivationState(SceneActivationState::foregroundActive);
    if (delegate_) delegate_->didBecomeActive(*this);
    post(didBecomeActiveNotification);
}

void Application::resignActive() {
    if (delegate_) delegate_->willResignActive(*this);
    post(willResignActiveNotification);
    state_ = ApplicationState::inactive;
    for (auto& scene : scenes_) scene->setActivationState(SceneActivationState::foregroundInactive);
}

void Application::enterBackground() {
    if (state_ == ApplicationState::active) resignActive();
    state_ = ApplicationState::background;
    for (auto& scene : scenes_) scene->setActivationState(SceneActivationState::background);
    if (delegate_) delegate_->didEnterBackground(*this);
    post(didEnterBackgroundNotification);
}

void Application::enterForeground() {
    if (delegate_) delegate_->willEnterForeground(*this);
    state_ = ApplicationState::inactive;
    for (auto& scene : scenes_) scene->setActivationState(SceneActivationState::foregroundInactive);
}

void Application::terminate() {
    if (delegate_) delegate_->willTerminate(*this);
}

std::shared_ptr<WindowScene> Application::connectScene() {
    scenes_.push_back(std::make_shared<WindowScene>());
    return scenes_.back();
}

void Application::disconnectScene(const std::shared_ptr<WindowScene>& scene) {
    scenes_.erase(std::remove(scenes_.begin(), scenes_.end(), scene), scenes_.end());
}

std::vector<std::shared_ptr<Window>> Application::windows() const {
    std::vector<std::shared_ptr<Window>> out;
    for (const auto& scene : scenes_) {
        auto ws = scene->windows();
        out.insert(out.end(), ws.begin(), ws.end());
    }
    return out;
}

std::shared_ptr<Window> Application::keyWindow() const {
    for (const auto& scene : scenes_) {
        if (auto key = scene->keyWindow()) return key;
    }
    return nullptr;
}

bool Application::canOpenURL(const URL& url) const {
    std::string scheme = url.scheme();
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return !scheme.empty() && schemes_.count(scheme) != 0;
}

void Application::openURL(const URL& url, const std::map<std::string, std::string>&,
                          std::function<void(bool)> completion) {
    bool ok = canOpenURL(url);
    if (ok) opened_.push_back(url);
    if (completion) gfx::runOnMainAfter(0, [completion = std::move(completion), ok] { completion(ok); });
}

}  // namespace platform::ui
