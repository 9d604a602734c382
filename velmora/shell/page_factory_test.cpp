// Tests of the page factory: one tree per factory, pages built once, replaced trees let go.
#include <doctest/doctest.h>

#include "velmora/screens/calculate_view_controller.h"
#include "velmora/screens/screen_scenes.h"
#include "velmora/screens/shell_hooks.h"
#include "velmora/screens/solution_view_controller.h"
#include "velmora/shell/page_factory.h"
#include "velmora/shell/shell_pages.h"
#include "velmora/shell/shell_pages_test_support.h"

using namespace velmora;

TEST_CASE("a page factory builds one calculator tree, a new factory a new one") {
    testing::ShellStage stage;
    registerScreenScenes();
    PageFactory factory;
    auto toolbar = factory.appToolbarController();
    REQUIRE(toolbar);

    SUBCASE("every page is built once and kept") {
        CHECK(factory.appToolbarController() == toolbar);
        CHECK(factory.pageTabBarController() == toolbar->rootViewController());
        CHECK(factory.calculateViewController() == factory.pageTabBarController()->viewControllers().at(0));
        CHECK(factory.solutionViewController() == factory.pageTabBarController()->viewControllers().at(1));
        CHECK(factory.pageTabBarController()->viewControllers().size() == 2);
    }
    SUBCASE("the tabs show the calculator page first") {
        stage.window().setRootViewController(toolbar);
        stage.settle();
        auto tabs = factory.pageTabBarController();
        CHECK(tabs->selectedIndex() == 0);
        CHECK(tabs->selectedViewController() == factory.calculateViewController());
        CHECK(factory.calculateViewController()->view()->window() != nullptr);
        CHECK_FALSE(factory.solutionViewController()->isViewLoaded());
    }
    SUBCASE("a new factory shares no page with the first") {
        PageFactory other;
        CHECK(other.appToolbarController() != toolbar);
        CHECK(other.pageTabBarController() != factory.pageTabBarController());
        CHECK(other.calculateViewController() != factory.calculateViewController());
        CHECK(other.solutionViewController() != factory.solutionViewController());
    }
}

TEST_CASE("the pages ask the shell for a new tree, and a replaced tree is let go") {
    testing::ShellStage stage;
    CHECK(makeAppToolbarController() == nullptr);  // no shell yet: nothing to build with
    installShellPages();
    auto first = std::dynamic_pointer_cast<AppToolbarController>(makeAppToolbarController());
    REQUIRE(first);
    std::weak_ptr<platform::ui::ViewController> oldCalculator =
        std::dynamic_pointer_cast<platform::material::TabsController>(first->rootViewController())->viewControllers()[0];
    auto drawer = std::make_shared<AppNavigationDrawerController>(first, std::make_shared<platform::ui::ViewController>());
    stage.window().setRootViewController(drawer);
    stage.settle();
    auto second = makeAppToolbarController();
    REQUIRE(second);
    CHECK(second != first);
    first.reset();
    drawer->transition(second, {}, false);
    stage.settle();
    CHECK(drawer->rootViewController() == second);
    CHECK(oldCalculator.expired());
    shellHooks() = ShellHooks{};
}
