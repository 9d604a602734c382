// Tests of the application's drawer, toolbars and tabs: their styling, the menu button and closing the drawer.
#include <doctest/doctest.h>

#include "platform/frameworks/material/style.h"
#include "platform/ui/interaction.h"
#include "velmora/engine/analytics_sink.h"
#include "velmora/screens/calculating_flag.h"
#include "velmora/screens/kuvo_color.h"
#include "velmora/screens/screen_texts.h"
#include "velmora/shell/navigation_chrome.h"
#include "velmora/shell/shell_pages_test_support.h"

using namespace velmora;
using platform::ui::ViewController;

namespace {

struct Tree {
    std::shared_ptr<ViewController> calculator = std::make_shared<ViewController>();
    std::shared_ptr<ViewController> solution = std::make_shared<ViewController>();
    std::shared_ptr<ViewController> menu = std::make_shared<ViewController>();
    std::shared_ptr<AppPageTabBarController> tabs =
        std::make_shared<AppPageTabBarController>(std::vector<std::shared_ptr<ViewController>>{calculator, solution}, 0);
    std::shared_ptr<AppToolbarController> toolbar = std::make_shared<AppToolbarController>(tabs);
    std::shared_ptr<MenuToolbarController> menuToolbar = std::make_shared<MenuToolbarController>(menu);
    std::shared_ptr<AppNavigationDrawerController> drawer =
        std::make_shared<AppNavigationDrawerController>(toolbar, menuToolbar);
    std::shared_ptr<RecordingAnalytics> events = std::make_shared<RecordingAnalytics>();

    explicit Tree(testing::ShellStage& stage) {
        setAnalytics(events);
        isCalculating = false;
        stage.window().setRootViewController(drawer);
        stage.settle();
    }
    ~Tree() {
        setAnalytics(nullptr);
        isCalculating = false;
    }
};

platform::gfx::RGBA palette(const RGBColor& value) { return *KuvoColor::color(value).rgba(); }

}  // namespace

TEST_CASE("the menu button logs every tap and opens the drawer unless a calculation runs") {
    testing::ShellStage stage;
    Tree tree(stage);
    REQUIRE(tree.toolbar->menuButton);
    auto button = platform::ui::findView(stage.window(), AppToolbarController::menuButtonIdentifier);
    REQUIRE(button == tree.toolbar->menuButton);
    CHECK(tree.toolbar->toolbar()->leftViews() ==
          std::vector<std::shared_ptr<platform::ui::View>>{tree.toolbar->menuButton});

    struct Step {
        bool calculating;
        bool openAfter;
    };
    const std::vector<Step> steps = {{false, true}, {false, false}, {true, false}, {false, true}, {true, true}};
    for (std::size_t i = 0; i < steps.size(); ++i) {
        CAPTURE(i);
        isCalculating = steps[i].calculating;
        REQUIRE(platform::ui::tap(*tree.toolbar->menuButton));
        stage.advance(0.3);
        CHECK(tree.drawer->isLeftViewOpened() == steps[i].openAfter);
        CHECK(tree.events->eventNames() == std::vector<std::string>(i + 1, "tapped_menu_button"));
        CHECK(tree.events->events().back().parameters.empty());
    }
}

TEST_CASE("closing the drawer from a controller inside it, and from one outside") {
    testing::ShellStage stage;
    Tree tree(stage);
    tree.drawer->openLeftView();
    stage.advance(0.3);
    REQUIRE(tree.drawer->isLeftViewOpened());
    closeNavigationDrawer(*tree.menu);
    CHECK_FALSE(tree.drawer->isLeftViewOpened());
    tree.drawer->openLeftView();
    closeNavigationDrawer(*tree.solution);
    CHECK_FALSE(tree.drawer->isLeftViewOpened());
    auto outside = std::make_shared<ViewController>();
    closeNavigationDrawer(*outside);  // nothing to close, nothing happens
    CHECK(tree.drawer->delegate().get() == static_cast<platform::material::NavigationDrawerControllerDelegate*>(tree.drawer.get()));
}

TEST_CASE("the toolbars and tabs are styled as the application's") {
    testing::ShellStage stage;
    Tree tree(stage);
    SUBCASE("the pages' toolbar") {
        auto& bar = *tree.toolbar->toolbar();
        CHECK(platform::material::depthPreset(bar) == platform::material::DepthPreset::none);
        CHECK(bar.backgroundColor()->rgba() == palette(KuvoColor::paletteLightBlue));
        CHECK(bar.titleLabel()->font() == *platform::gfx::Font::named("Avenir-Heavy", 20));
        for (const auto& label : {bar.titleLabel(), bar.detailLabel()}) {
            CHECK(label->textColor().rgba() == platform::gfx::RGBA{0.1, 0.1, 0.1, 1});
            CHECK(label->textAlignment() == platform::ui::TextAlignment::left);
        }
        CHECK(bar.titleLabel()->adjustsFontSizeToFitWidth());
        CHECK(tree.toolbar->statusBarStyle() == platform::material::StatusBarStyle::lightContent);
        CHECK(tree.toolbar->statusBar()->backgroundColor()->rgba() == palette(KuvoColor::paletteDarkBlue));
        CHECK(tree.toolbar->menuButton->tintColor().rgba() == platform::gfx::RGBA{0.1, 0.1, 0.1, 1});
    }
    SUBCASE("the menu's toolbar: 90 high, its title 57 down, no status bar") {
        auto& bar = *tree.menuToolbar->toolbar();
        CHECK(bar.frame().height() == 90);
        CHECK(bar.frame().origin.y == 0);  // the hidden status bar takes no room
        CHECK(bar.contentEdgeInsets().top == 57);
        CHECK(bar.contentEdgeInsets().left == 0);
        CHECK(tree.menuToolbar->statusBar()->isHidden());
        CHECK(bar.backgroundColor()->rgba() == palette(KuvoColor::paletteDarkBlue));
        CHECK(bar.title() == "  " + LocalizedString::localized(LocalizedString::bernoulliFormula()) + "  ");
        CHECK(bar.titleLabel()->adjustsFontSizeToFitWidth());
        CHECK(tree.menuToolbar->statusBarStyle() == platform::material::StatusBarStyle::defaultStyle);
    }
    SUBCASE("the tabs along the top") {
        auto& bar = *tree.tabs->tabBar();
        CHECK(tree.tabs->tabBarAlignment() == platform::material::TabBarAlignment::top);
        CHECK(tree.tabs->selectedIndex() == 0);
        CHECK_FALSE(bar.dividerColor());
        CHECK(bar.lineColor().rgba() == palette(KuvoColor::paletteGreen));
        CHECK(bar.lineAlignment() == platform::material::TabBarLineAlignment::bottom);
        CHECK(bar.backgroundColor()->rgba() == palette(KuvoColor::paletteBlue));
        CHECK(tree.tabs->view()->backgroundColor() == platform::material::palette::blueGrey().lighten5);
        CHECK(tree.tabs->delegate().get() == static_cast<platform::material::TabsControllerDelegate*>(tree.tabs.get()));
        CHECK(bar.frame().origin.y < tree.calculator->view()->convertRect(tree.calculator->view()->bounds(), nullptr).origin.y);
    }
}
