// The calculator tree, built page by page on first use.
#include "velmora/shell/page_factory.h"

#include "platform/ui/storyboard.h"
#include "velmora/screens/calculate_view_controller.h"
#include "velmora/screens/screen_scenes.h"
#include "velmora/screens/solution_view_controller.h"

namespace velmora {

namespace {

// The pages' storyboards are registered at start-up; a process (a test, a
// tool) that builds a tree without launching gets them registered here.
std::optional<platform::ui::Storyboard> storyboard(const char* name) {
    if (!platform::ui::Storyboard::named(name)) registerScreenScenes();
    return platform::ui::Storyboard::named(name);
}

template <class Page>
std::shared_ptr<Page> instantiatePage() {
    auto board = storyboard(Page::storyboardName);
    return board ? board->template instantiate<Page>(Page::storyboardIdentifier) : nullptr;
}

}  // namespace

std::shared_ptr<CalculateViewController> PageFactory::calculateViewController() {
    if (!calculate_) calculate_ = instantiatePage<CalculateViewController>();
    return calculate_;
}

std::shared_ptr<SolutionViewController> PageFactory::solutionViewController() {
    if (!solution_) solution_ = instantiatePage<SolutionViewController>();
    return solution_;
}

std::shared_ptr<AppPageTabBarController> PageFactory::pageTabBarController() {
    if (!tabs_) {
        tabs_ = std::make_shared<AppPageTabBarController>(
            std::vector<std::shared_ptr<platform::ui::ViewController>>{calculateViewController(),
                                                                       solutionViewController()},
            0);
    }
    return tabs_;
}

std::shared_ptr<AppToolbarController> PageFactory::appToolbarController() {
    if (!toolbar_) toolbar_ = std::make_shared<AppToolbarController>(pageTabBarController());
    return toolbar_;
}

std::shared_ptr<AppToolbarController> PageFactory::makeAppToolbarController() {
    return PageFactory().appToolbarController();
}

}  // namespace velmora
