#pragma once

#include <memory>

#include "platform/frameworks/material/tabs.h"
#include "platform/frameworks/material/toolbar.h"

// Stands in for the application's page factory until the application shell
// has its own: builds the calculator tree from the registered scenes.
namespace velmora {

class CalculateViewController;
class SolutionViewController;

class InterimPageFactory {
public:
    // Each is built on first use and then kept; a new factory builds a new tree.
    std::shared_ptr<CalculateViewController> calculateViewController();
    std::shared_ptr<SolutionViewController> solutionViewController();
    std::shared_ptr<platform::material::TabsController> pageTabBarController();
    std::shared_ptr<platform::material::ToolbarController> appToolbarController();

private:
    std::shared_ptr<CalculateViewController> calculate_;
    std::shared_ptr<SolutionViewController> solution_;
    std::shared_ptr<platform::material::TabsController> tabs_;
    std::shared_ptr<platform::material::ToolbarController> toolbar_;
};

}  // namespace velmora
