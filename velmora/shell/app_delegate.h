// Start-up and the application's lifecycle: the launch in its order, and the remote-configuration fetch on becoming active.
#pragma once

#include <memory>

#include "platform/ui/application.h"
#include "platform/ui/window.h"
#include "velmora/shell/navigation_chrome.h"

namespace velmora {

class LeftViewController;
class RemoteConfigManager;

// The application's delegate: it owns the window and the drawer menu and
// builds the screen tree once, at launch, with a page factory of its own.
// Later trees come from the drawer and the history, each with a new page
// factory; none of them creates another delegate. Main thread only.
class AppDelegate : public platform::ui::ApplicationDelegate {
public:
    // The remote-configuration manager to use; none: the shared one.
    explicit AppDelegate(std::shared_ptr<RemoteConfigManager> manager = nullptr);

    bool didFinishLaunching(platform::ui::Application& application) override;
    void didBecomeActive(platform::ui::Application& application) override;

    // In order: interface files and the pages' hooks registered; the default
    // application configured (which starts the measurement engine, the sink
    // of the application's events); the remote values held so far applied;
    // the history opened; the drawer built around the calculator tree and
    // its menu, shown in a new key window; then the introduction and the
    // consent alert when they are due. Always true.
    bool launchApplication();
    // One fetch of the remote configuration, expiring after six hours.
    void refetchRemoteConfig();

    const std::shared_ptr<platform::ui::Window>& window() const { return window_; }
    void setWindow(std::shared_ptr<platform::ui::Window> window) { window_ = std::move(window); }
    // The drawer menu, made from its storyboard scene on first use and kept.
    std::shared_ptr<LeftViewController> leftViewController();
    // The window's root once launched.
    const std::shared_ptr<AppNavigationDrawerController>& drawerController() const { return drawer_; }

private:
    RemoteConfigManager& remoteConfigManager() const;

    std::shared_ptr<RemoteConfigManager> manager_;
    std::shared_ptr<platform::ui::Window> window_;
    std::shared_ptr<LeftViewController> leftViewController_;
    std::shared_ptr<AppNavigationDrawerController> drawer_;
};

// What the application registers with the platform before it builds a
// page: the pages' storyboards and nibs, the shell's interface files (the
// drawer menu, the own advertisement page, the add cell) and the pages'
// hooks into the shell. Calling it again changes nothing.
void registerApplicationInterface(std::shared_ptr<RemoteConfigManager> manager = nullptr);

}  // namespace velmora
