// The shell's hooks into the pages, with their fallbacks.
#include "velmora/screens/shell_hooks.h"


namespace velmora {

ShellHooks& shellHooks() {
    static ShellHooks hooks;
    return hooks;
}

void showToast(const std::string& message) {
    if (shellHooks().showToast) shellHooks().showToast(message);
}

void presentManual(platform::ui::ViewController& presenter, const std::string& imageName) {
    if (shellHooks().presentManual) shellHooks().presentManual(presenter, imageName);
}

void setSegmentImagesAspectFit(platform::ui::View& root) {
    if (shellHooks().setSegmentImagesAspectFit) shellHooks().setSegmentImagesAspectFit(root);
}

std::vector<std::string> videoTutorialAddresses(const std::string& calculatorCode) {
    if (!shellHooks().videoTutorialAddresses) return {};
    return shellHooks().videoTutorialAddresses(calculatorCode);
}

std::optional<RatedApp> currentApp() {
    if (!shellHooks().currentApp) return std::nullopt;
    return shellHooks().currentApp();
}

std::shared_ptr<platform::ui::ViewController> makeAppToolbarController() {
    if (!shellHooks().makeAppToolbarController) return nullptr;
    return shellHooks().makeAppToolbarController();
}

void showLoadingOverlayOnMain() {
    if (shellHooks().showLoadingOverlayOnMain) shellHooks().showLoadingOverlayOnMain();
}

void hideLoadingOverlayOnMain() {
    if (shellHooks().hideLoadingOverlayOnMain) shellHooks().hideLoadingOverlayOnMain();
}

}  // namespace velmora
