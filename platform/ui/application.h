#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/url.h"
#include "platform/foundation/value.h"
#include "platform/ui/responder.h"
#include "platform/ui/types.h"

namespace platform::ui {

class Application;
class Window;

// The main screen: its size in points and its scale. Configurable.
class Screen {
public:
    static Screen& main();
    Rect bounds() const;
    void setBounds(const Rect& bounds);
    double scale() const;
    void setScale(double scale);  // also the scale images are rendered at

private:
    Rect bounds_{0, 0, 390, 844};
};

// The device the process runs on. Configurable.
class Device {
public:
    static Device& current();
    UserInterfaceIdiom userInterfaceIdiom() const { return idiom_; }
    void setUserInterfaceIdiom(UserInterfaceIdiom idiom) { idiom_ = idiom; }
    const std::string& model() const { return model_; }
    void setModel(std::string model) { model_ = std::move(model); }
    const std::string& systemName() const { return systemName_; }
    const std::string& systemVersion() const { return systemVersion_; }
    void setSystemVersion(std::string version) { systemVersion_ = std::move(version); }
    const std::string& name() const { return name_; }
    void setName(std::string name) { name_ = std::move(name); }

private:
    UserInterfaceIdiom idiom_ = UserInterfaceIdiom::phone;
    std::string model_ = "Phone";
    std::string systemName_ = "PhoneOS";
    std::string systemVersion_ = "15.0";
    std::string name_ = "Headless Phone";
};

enum class SceneActivationState { unattached, foregroundActive, foregroundInactive, background };

// A scene of the application: an ordered set of windows (held weakly; their
// owners keep them alive).
class WindowScene {
public:
    std::vector<std::shared_ptr<Window>> windows() const;
    std::shared_ptr<Window> keyWindow() const;
    SceneActivationState activationState() const { return state_; }
    void setActivationState(SceneActivationState s) { state_ = s; }

private:
    friend class Window;
    void add(const std::shared_ptr<Window>& window);
    void remove(const Window* window);
    void setKey(const Window* window);

    std::vector<std::weak_ptr<Window>> windows_;
    const Window* key_ = nullptr;
    SceneActivationState state_ = SceneActivationState::foregroundInactive;
};

// What the platform calls on the application's delegate.
class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    virtual bool didFinishLaunching(Application&) { return true; }
    virtual void didBecomeActive(Application&) {}
    virtual void willResignActive(Application&) {}
    virtual void didEnterBackground(Application&) {}
    virtual void willEnterForeground(Application&) {}
    virtual void willTerminate(Application&) {}
};

enum class ApplicationState { active = 0, inactive = 1, background = 2 };

// The running application: its delegate and state, its scenes and windows,
// and the addresses it opens. Opening is recorded, not performed; which
// schemes can be opened is configurable.
class Application : public Responder {
public:
    static Application& shared();

    // Posted on the default notification centre, sender the application.
    static constexpr const char* didFinishLaunchingNotification = "UIApplicationDidFinishLaunchingNotification";
    static constexpr const char* didBecomeActiveNotification = "UIApplicationDidBecomeActiveNotification";
    static constexpr const char* willResignActiveNotification = "UIApplicationWillResignActiveNotification";
    static constexpr const char* didEnterBackgroundNotification = "UIApplicationDidEnterBackgroundNotification";

    std::shared_ptr<ApplicationDelegate> delegate() const { return delegate_; }
    ApplicationState applicationState() const { return state_; }

    // The launch options' key of the link the application is launched with.
    static constexpr const char* launchOptionsURLKey = "UIApplicationLaunchOptionsURLKey";

    // didFinishLaunching (then its notification, whose user information
    // holds the launch options), then becomeActive. Answers what the delegate
    // answered.
    bool launch(const std::shared_ptr<ApplicationDelegate>& delegate, const Value::Dictionary& launchOptions = {});
    // launch, then runs the main queue until it is stopped; answers 0.
    int run(const std::shared_ptr<ApplicationDelegate>& delegate);
    void becomeActive();
    void resignActive();
    void enterBackground();
    void enterForeground();
    void terminate();

    const std::vector<std::shared_ptr<WindowScene>>& connectedScenes() const { return scenes_; }
    std::shared_ptr<WindowScene> connectScene();
    void disconnectScene(const std::shared_ptr<WindowScene>& scene);
    std::vector<std::shared_ptr<Window>> windows() const;
    std::shared_ptr<Window> keyWindow() const;

    // Addresses: can-open answers by scheme (case-insensitive); open
    // records an address it can open and calls the completion (on the main
    // queue) with whether it could.
    bool canOpenURL(const URL& url) const;
    void openURL(const URL& url, const std::map<std::string, std::string>& options = {},
                 std::function<void(bool)> completion = {});
    const std::vector<URL>& openedURLs() const { return opened_; }
    void clearOpenedURLs() { opened_.clear(); }
    void setOpenableSchemes(std::set<std::string> schemes) { schemes_ = std::move(schemes); }
    const std::set<std::string>& openableSchemes() const { return schemes_; }

    // Back to a fresh process: no delegate, one connected scene, nothing
    // opened, the default schemes, the inactive state.
    void reset();

private:
    Application();
    void post(const std::string& notification, const Value::Dictionary& userInfo = {});

    std::shared_ptr<ApplicationDelegate> delegate_;
    ApplicationState state_ = ApplicationState::inactive;
    std::vector<std::shared_ptr<WindowScene>> scenes_;
    std::vector<URL> opened_;
    std::set<std::string> schemes_;
};

}  // namespace platform::ui
