#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::ui {
class View;
class ViewController;
}  // namespace platform::ui

// What the pages need of the application shell, which is built on top of
// them: start-up installs each hook. Until it does, each does what its
// comment says. Main thread only.
namespace velmora {

// The running application's entry in the list of applications.
struct RatedApp {
    std::string ratingURL;                   // the store's rating page
    std::optional<std::string> englishName;  // its name for "en", when it has one
};

struct ShellHooks {
    // A short message at the bottom of the screen. Unset: shown nowhere.
    std::function<void(const std::string& message)> showToast;
    // The manual page with the image, presented from the presenter. Unset: nothing opens.
    std::function<void(platform::ui::ViewController& presenter, const std::string& imageName)> presentManual;
    // Every image of the segmented controls in the tree made aspect-fit. Unset: nothing.
    std::function<void(platform::ui::View& root)> setSegmentImagesAspectFit;
    // The video tutorial addresses of a calculator, by its code ("QZT"). Unset: none.
    std::function<std::vector<std::string>(const std::string& calculatorCode)> videoTutorialAddresses;
    // The running application's entry. Unset: none (remote configuration has not supplied it).
    std::function<std::optional<RatedApp>()> currentApp;
    // A new toolbar controller around a new calculator and solution page.
    // Unset: none, and a screen that asks for one stays as it is.
    std::function<std::shared_ptr<platform::ui::ViewController>()> makeAppToolbarController;
    // The loading overlay over the key window, shown and hidden from the
    // main queue. Unset: nothing covers the window.
    std::function<void()> showLoadingOverlayOnMain;
    std::function<void()> hideLoadingOverlayOnMain;
};

ShellHooks& shellHooks();

// The hooks called, with the fallbacks above.
void showToast(const std::string& message);
void presentManual(platform::ui::ViewController& presenter, const std::string& imageName);
void setSegmentImagesAspectFit(platform::ui::View& root);
std::vector<std::string> videoTutorialAddresses(const std::string& calculatorCode);
std::optional<RatedApp> currentApp();
std::shared_ptr<platform::ui::ViewController> makeAppToolbarController();
void showLoadingOverlayOnMain();
void hideLoadingOverlayOnMain();

}  // namespace velmora
