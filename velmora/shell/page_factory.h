// The page factory: a calculator tree (toolbar, tabs, calculator and solution pages) built on demand.
#pragma once

#include <memory>

#include "velmora/shell/navigation_chrome.h"

namespace velmora {

class CalculateViewController;
class SolutionViewController;

// Each page is built the first time it is asked for and then kept, so a
// factory builds exactly one tree: asking for the toolbar controller builds
// the tabs and both pages. A new factory builds a wholly new tree with a new
// calculator page (which restores the inputs as it loads) and an empty
// solution page. Start-up, the drawer and the history each use a factory of
// their own; none of them creates another application delegate, so nothing
// of the launch runs again. Main thread only.
class PageFactory {
public:
    // Scene "CalculateViewController" of the storyboard "Main".
    std::shared_ptr<CalculateViewController> calculateViewController();
    // Scene "SolutionViewController" of the storyboard of the same name.
    std::shared_ptr<SolutionViewController> solutionViewController();
    // The calculator page, then the solution page; the first selected.
    std::shared_ptr<AppPageTabBarController> pageTabBarController();
    // The toolbar with the menu button above the tabs.
    std::shared_ptr<AppToolbarController> appToolbarController();

    // A new factory's toolbar controller: what replaces the drawer's root.
    static std::shared_ptr<AppToolbarController> makeAppToolbarController();

private:
    std::shared_ptr<CalculateViewController> calculate_;
    std::shared_ptr<SolutionViewController> solution_;
    std::shared_ptr<AppPageTabBarController> tabs_;
    std::shared_ptr<AppToolbarController> toolbar_;
};

}  // namespace velmora
