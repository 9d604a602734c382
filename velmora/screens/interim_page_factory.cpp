// The stand-in page factory: calculator and solution pages in tabs, in a toolbar.
#include "velmora/screens/interim_page_factory.h"

#include "platform/ui/storyboard.h"
#include "velmora/screens/calculate_view_controller.h"
#include "velmora/screens/screen_scenes.h"
#include "velmora/screens/solution_view_controller.h"

namespace velmora {

namespace {

// The pages come from their storyboards; a process that has not registered
// them yet gets them registered here.
std::optional<platform::ui::Storyboard> storyboard(const char* name) {
    if (!platform::ui::Storyboard::named(name)) registerScreenScenes();
    return platform::ui::Storyboard::named(name);
}

}  // namespace

std::shared_ptr<CalculateViewController> InterimPageFactory::calculateViewController() {
    if (!calculate_) {
        if (auto board = storyboard(CalculateViewController::storyboardName)) {
            calculate_ = board->instantiate<CalculateViewController>(CalculateViewController::storyboardIdentifier);
        }
    }
    return calculate_;
}

std::shared_ptr<SolutionViewController> InterimPageFactory::solutionViewController() {
    if (!solution_) {
        if (auto board = storyboard(SolutionViewController::storyboardName)) {
            solution_ = board->instantiate<SolutionViewController>(SolutionViewController::storyboardIdentifier);
        }
    }
    return solution_;
}

std::shared_ptr<platform::material::TabsController> InterimPageFactory::pageTabBarController() {
    if (!tabs_) {
        tabs_ = std::make_shared<platform::material::TabsController>(
            std::vector<std::shared_ptr<platform::ui::ViewController>>{calculateViewController(),
                                                                       solutionViewController()},
            0);
        tabs_->setTabBarAlignment(platform::material::TabBarAlignment::top);
    }
    return tabs_;
}

std::shared_ptr<platform::material::ToolbarController> InterimPageFactory::appToolbarController() {
    if (!toolbar_) toolbar_ = std::make_shared<platform::material::ToolbarController>(pageTabBarController());
    return toolbar_;
}

}  // namespace velmora
