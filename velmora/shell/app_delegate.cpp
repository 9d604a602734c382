// The launch sequence and the fetch on activation.
#include "velmora/shell/app_delegate.h"

#include "platform/ui/storyboard.h"
#include "velmora/screens/calc_manager.h"
#include "velmora/screens/screen_scenes.h"
#include "velmora/shell/add_cell_table_view_cell.h"
#include "velmora/shell/first_launch.h"
#include "velmora/shell/kuvo_ads_view_controller.h"
#include "velmora/shell/left_view_controller.h"
#include "velmora/analytics/measurement_analytics.h"
#include "velmora/shell/page_factory.h"
#include "velmora/shell/remote_config_manager.h"
#include "velmora/shell/shell_pages.h"

namespace velmora {

void registerApplicationInterface(std::shared_ptr<RemoteConfigManager> manager) {
    registerScreenScenes();
    registerDrawerMenuScene();
    registerKuvoAdsNib();
    registerAddCellNib();
    installShellPages(std::move(manager));
}

AppDelegate::AppDelegate(std::shared_ptr<RemoteConfigManager> manager) : manager_(std::move(manager)) {}

RemoteConfigManager& AppDelegate::remoteConfigManager() const {
    return manager_ ? *manager_ : sharedRemoteConfigManager();
}

bool AppDelegate::didFinishLaunching(platform::ui::Application&) { return launchApplication(); }

void AppDelegate::didBecomeActive(platform::ui::Application&) { refetchRemoteConfig(); }

std::shared_ptr<LeftViewController> AppDelegate::leftViewController() {
    if (!leftViewController_) {
        if (auto board = platform::ui::Storyboard::named(LeftViewController::storyboardName)) {
            leftViewController_ = board->instantiate<LeftViewController>(LeftViewController::storyboardIdentifier);
        }
        if (leftViewController_ && manager_) leftViewController_->setRemoteConfigManager(manager_);
    }
    return leftViewController_;
}

bool AppDelegate::launchApplication() {
    registerApplicationInterface(manager_);
    configureMeasurementAnalytics();
    auto& manager = remoteConfigManager();
    manager.loadAllConfigValues(*manager.remoteConfig());
    CalcManager::shared().handleFirstStart();
    auto menu = std::make_shared<MenuToolbarController>(leftViewController());
    // The launch's own factory: the drawer owns the tree it builds, so a
    // tree the drawer replaces later is not kept alive here.
    drawer_ = std::make_shared<AppNavigationDrawerController>(PageFactory().appToolbarController(), menu);
    window_ = std::make_shared<platform::ui::Window>(platform::ui::Screen::main().bounds());
    // What no page covers shows the system background of the style in force.
    window_->setBackgroundColor(platform::gfx::Color::systemBackground());
    window_->setRootViewController(drawer_);
    window_->makeKeyAndVisible();
    presentOnboardingAndConsentIfNeeded(drawer_);
    return true;
}

void AppDelegate::refetchRemoteConfig() { remoteConfigManager().fetchConfig(kRemoteConfigFetchExpiration); }

}  // namespace velmora
