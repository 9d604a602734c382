// Connecting the pages to the shell: interface files and hooks.
#include "velmora/shell/shell_pages.h"

#include "velmora/screens/shell_hooks.h"
#include "velmora/shell/calculator_type.h"
#include "velmora/shell/manual_view_controller.h"
#include "velmora/shell/page_factory.h"
#include "velmora/shell/remote_config_manager.h"
#include "velmora/shell/video_tutorial_cells.h"
#include "velmora/shell/view_manager.h"

namespace velmora {

namespace {

// The type behind a short code; none for a code no calculator has.
std::optional<CalculatorType> calculatorTypeForCode(const std::string& code) {
    for (CalculatorType type : allCalculatorTypes()) {
        if (calculatorShortCode(type) == code) return type;
    }
    return std::nullopt;
}

}  // namespace

void installShellPages(std::shared_ptr<RemoteConfigManager> manager) {
    registerManualPageNib();
    registerVideoTutorialNibs();
    auto& hooks = shellHooks();
    hooks.showToast = [](const std::string& message) { ViewManager::showToast(message); };
    hooks.setSegmentImagesAspectFit = [](platform::ui::View& root) { ViewManager::setSegmentImagesAspectFit(root); };
    hooks.showLoadingOverlayOnMain = [] { ViewManager::showLoadingOverlayOnMain(); };
    hooks.hideLoadingOverlayOnMain = [] { ViewManager::hideLoadingOverlayOnMain(); };
    hooks.presentManual = [](platform::ui::ViewController& presenter, const std::string& imageName) {
        ManualViewController::present(presenter, imageName);
    };
    hooks.makeAppToolbarController = [] { return PageFactory::makeAppToolbarController(); };
    hooks.videoTutorialAddresses = [manager](const std::string& code) {
        const RemoteConfigManager& source = manager ? *manager : sharedRemoteConfigManager();
        auto type = calculatorTypeForCode(code);
        return type ? source.videoTutorialAddresses(type) : std::vector<std::string>{};
    };
    hooks.currentApp = [manager]() -> std::optional<RatedApp> {
        const RemoteConfigManager& source = manager ? *manager : sharedRemoteConfigManager();
        auto entry = source.currentApp();
        if (!entry) return std::nullopt;
        auto english = entry->appName.find("en");
        return RatedApp{entry->ratingURLPro,
                        english == entry->appName.end() ? std::nullopt : std::optional<std::string>(english->second)};
    };
}

}  // namespace velmora
