#include <doctest/doctest.h>

#include "platform/dispatch/timer.h"
#include "platform/frameworks/material/buttons.h"
#include "platform/frameworks/material/navigation_drawer.h"
#include "platform/frameworks/material/style.h"
#include "platform/frameworks/material/tabs.h"
#include "platform/frameworks/material/toolbar.h"
#include "platform/ui/application.h"
#include "platform/ui/image_view.h"
#include "platform/ui/interaction.h"
#include "platform/ui/window.h"

using namespace platform;
using namespace platform::material;

namespace {

struct Page : ui::ViewController {
    std::string name;
    std::vector<std::string>* log;
    Page(std::string n, std::vector<std::string>* l) : name(std::move(n)), log(l) {}
    void viewWillAppear(bool) override { log->push_back(name + " willAppear"); }
    void viewDidAppear(bool) override { log->push_back(name + " didAppear"); }
    void viewWillDisappear(bool) override { log->push_back(name + " willDisappear"); }
    void viewDidDisappear(bool) override { log->push_back(name + " didDisappear"); }
};

struct AppToolbar : ToolbarController {
    using ToolbarController::ToolbarController;
    int prepared = 0;
    std::shared_ptr<IconButton> menuButton;
    void prepare() override {
        ++prepared;
        toolbar()->setBackgroundColor(gfx::Color::rgb(0.56, 0.61, 1.0));
        menuButton = std::make_shared<IconButton>(Icon::menu(), gfx::Color::white(0.1));
        toolbar()->setLeftViews({menuButton});
    }
};

struct DrawerLog : NavigationDrawerControllerDelegate {
    std::vector<std::string> events;
    void willOpen(NavigationDrawerController&, DrawerPosition) override { events.push_back("willOpen"); }
    void didOpen(NavigationDrawerController&, DrawerPosition) override { events.push_back("didOpen"); }
    void willClose(NavigationDrawerController&, DrawerPosition) override { events.push_back("willClose"); }
    void didClose(NavigationDrawerController&, DrawerPosition) override { events.push_back("didClose"); }
    void didTap(NavigationDrawerController&, gfx::Point, DrawerPosition) override { events.push_back("didTap"); }
};

// The application's tree: a drawer around a toolbar around tabs of two pages.
struct Tree {
    dispatch::ManualTime time;
    std::vector<std::string> log;
    std::shared_ptr<Page> calculator = std::make_shared<Page>("calculator", &log);
    std::shared_ptr<Page> solution = std::make_shared<Page>("solution", &log);
    std::shared_ptr<Page> menu = std::make_shared<Page>("menu", &log);
    std::shared_ptr<TabsController> tabs;
    std::shared_ptr<AppToolbar> toolbar;
    std::shared_ptr<NavigationDrawerController> drawer;
    std::shared_ptr<ui::Window> window = std::make_shared<ui::Window>();

    Tree() {
        ui::Application::shared().reset();
        tabs = std::make_shared<TabsController>(std::vector<std::shared_ptr<ui::ViewController>>{calculator, solution});
        toolbar = std::make_shared<AppToolbar>(tabs);
        drawer = std::make_shared<NavigationDrawerController>(toolbar, std::make_shared<ToolbarController>(menu));
        window->setRootViewController(drawer);
        window->makeKeyAndVisible();
    }
};

}  // namespace

TEST_CASE("the containers nest, and every page finds the one around it") {
    Tree t;
    CHECK(t.toolbar->prepared == 1);
    CHECK(toolbarController(*t.calculator) == t.toolbar);
    CHECK(tabsController(*t.solution) == t.tabs);
    CHECK(navigationDrawerController(*t.calculator) == t.drawer);
    CHECK(navigationDrawerController(*t.menu) == t.drawer);
    CHECK(toolbarController(*t.toolbar) == t.toolbar);  // itself
    CHECK(tabsController(*t.menu) == nullptr);
    CHECK(navigationDrawerController(*std::make_shared<ui::ViewController>()) == nullptr);
    // the first tab shows; the menu's page appears with the drawer, its panel closed
    CHECK(t.calculator->appearanceState() == ui::AppearanceState::appeared);
    CHECK(t.solution->appearanceState() == ui::AppearanceState::disappeared);
    CHECK(t.menu->view()->isHiddenOnScreen());

    SUBCASE("the toolbar sits below the status bar; the page below the toolbar") {
        t.window->layoutIfNeeded();
        CHECK(t.toolbar->statusBar()->frame() == gfx::Rect(0, 0, 390, 47));
        CHECK(t.toolbar->toolbar()->frame() == gfx::Rect(0, 47, 390, 56));
        CHECK(t.tabs->view()->frame() == gfx::Rect(0, 0, 390, 844 - 103));
        CHECK(t.tabs->view()->convertPoint({0, 0}, nullptr) == gfx::Point{0, 103});
        CHECK(t.toolbar->menuButton->frame().minX() == 8);
    }
    SUBCASE("a hidden status bar and a taller toolbar move the content") {
        t.toolbar->statusBar()->setHidden(true);
        auto bar = t.toolbar->toolbar();
        bar->setFrame({0, 0, 390, 90});
        bar->setContentEdgeInsets({57, 0, 0, 0});
        bar->setTitle("  Bernoulli Formula  ");
        t.toolbar->view()->setNeedsLayout();
        t.window->layoutIfNeeded();
        CHECK(bar->frame() == gfx::Rect(0, 0, 390, 90));
        CHECK(bar->titleLabel()->frame().minY() == 57);
        CHECK(t.tabs->view()->convertPoint({0, 0}, nullptr) == gfx::Point{0, 90});
    }
}

TEST_CASE("tabs") {
    Tree t;
    struct Veto : TabsControllerDelegate {
        bool allow = true;
        std::vector<std::string> events;
        bool shouldSelect(TabsController&, ui::ViewController&) override { return allow; }
        void didSelect(TabsController& tabs, ui::ViewController&) override {
            events.push_back("didSelect " + std::to_string(tabs.selectedIndex()));
        }
    };
    auto veto = std::make_shared<Veto>();
    t.tabs->setDelegate(veto);
    auto item = tabItem(*t.solution);
    CHECK(item == tabItem(*t.solution));  // kept with the page
    CHECK(t.tabs->tabBar()->tabItems()[1] == item);

    SUBCASE("selecting swaps the pages' views and appearance") {
        t.log.clear();
        t.tabs->select(1);
        CHECK(t.tabs->selectedViewController() == t.solution);
        CHECK(t.solution->view()->window() == t.window);
        CHECK(t.calculator->view()->window() == nullptr);
        CHECK(t.log == std::vector<std::string>{"calculator willDisappear", "solution willAppear",
                                                "calculator didDisappear", "solution didAppear"});
        CHECK(t.tabs->tabBar()->selectedTabItem() == item);
        CHECK(veto->events.empty());  // selecting in code tells no delegate
    }
    SUBCASE("a tap on an item asks the delegate; a disabled item takes none") {
        CHECK(ui::tap(*item));
        CHECK(veto->events == std::vector<std::string>{"didSelect 1"});
        ui::tap(*tabItem(*t.calculator));
        veto->allow = false;
        ui::tap(*item);
        CHECK(t.tabs->selectedIndex() == 0);
        veto->allow = true;
        item->setEnabled(false);
        CHECK_FALSE(ui::tap(*item));
        CHECK(t.tabs->selectedIndex() == 0);
    }
    SUBCASE("the bar at the top puts the pages under it") {
        t.tabs->setTabBarAlignment(TabBarAlignment::top);
        CHECK(t.tabs->tabBar()->frame().minY() == 0);
        CHECK(t.calculator->view()->convertPoint({0, 0}, t.tabs->view().get()) == gfx::Point{0, TabBar::height});
    }
}

TEST_CASE("the drawer") {
    Tree t;
    auto delegate = std::make_shared<DrawerLog>();
    t.drawer->setDelegate(delegate);
    SUBCASE("toggling opens and closes the left panel; didOpen comes after the slide") {
        t.drawer->toggleLeftView();
        CHECK(t.drawer->isLeftViewOpened());
        CHECK_FALSE(t.menu->view()->isHiddenOnScreen());
        CHECK(delegate->events == std::vector<std::string>{"willOpen"});
        t.time.advance(0.25);
        CHECK(delegate->events == std::vector<std::string>{"willOpen", "didOpen"});
        t.drawer->openLeftView();  // already open: nothing
        t.drawer->closeLeftView();
        t.time.advance(0.25);
        CHECK(delegate->events == std::vector<std::string>{"willOpen", "didOpen", "willClose", "didClose"});
        CHECK(t.menu->view()->isHiddenOnScreen());
    }
    SUBCASE("a tap on the shade beside the open panel closes it; one on the panel or with none open does not") {
        const double beside = t.drawer->leftViewWidth() + 10;
        CHECK_FALSE(t.drawer->tapShade({beside, 100}));
        t.drawer->openLeftView();
        CHECK_FALSE(t.drawer->tapShade({10, 100}));
        CHECK(t.drawer->isLeftViewOpened());
        CHECK(t.drawer->tapShade({beside, 100}));
        CHECK_FALSE(t.drawer->isLeftViewOpened());
        t.time.advance(0.25);
        CHECK(delegate->events == std::vector<std::string>{"willOpen", "didTap", "willClose", "didOpen", "didClose"});
    }
    SUBCASE("no right panel, or a disabled left one, does not open") {
        t.drawer->openRightView();
        t.drawer->setLeftViewEnabled(false);
        t.drawer->openLeftView();
        CHECK(delegate->events.empty());
    }
    SUBCASE("a new root tree replaces the old one; the completion follows the transition") {
        std::vector<std::string> log;
        auto fresh = std::make_shared<Page>("fresh", &log);
        auto freshToolbar = std::make_shared<AppToolbar>(fresh);
        bool completed = false;
        t.log.clear();
        t.drawer->transition(freshToolbar, [&](bool) { completed = true; });
        CHECK(t.drawer->rootViewController() == freshToolbar);
        CHECK(t.toolbar->parent() == nullptr);
        CHECK(t.calculator->view()->window() == nullptr);
        CHECK(fresh->view()->window() == t.window);
        CHECK(navigationDrawerController(*fresh) == t.drawer);
        CHECK(log == std::vector<std::string>{"fresh willAppear"});
        CHECK_FALSE(completed);
        t.time.advance(0.25);
        CHECK(completed);
        CHECK(log == std::vector<std::string>{"fresh willAppear", "fresh didAppear"});
        CHECK(std::count(t.log.begin(), t.log.end(), "calculator didDisappear") == 1);
    }
    SUBCASE("a toolbar controller swaps its root the same way") {
        std::vector<std::string> log;
        auto history = std::make_shared<Page>("history", &log);
        t.toolbar->transition(history);
        CHECK(t.toolbar->rootViewController() == history);
        CHECK(toolbarController(*history) == t.toolbar);
        t.time.advance(0.25);
        CHECK(log == std::vector<std::string>{"history willAppear", "history didAppear"});
    }
}

TEST_CASE("buttons, icons and view extras") {
    SUBCASE("an icon button shows its icon as a template in its tint") {
        IconButton edit(Icon::edit(), gfx::Color::white(0.1));
        REQUIRE(edit.imageView());
        CHECK(edit.currentImage()->name() == "ic_edit");
        CHECK(edit.currentImage()->renderingMode() == gfx::RenderingMode::alwaysTemplate);
        CHECK(edit.tintColor() == gfx::Color::white(0.1));
        CHECK(edit.frame().width() >= 44);
        IconButton clear("Clear", gfx::Color::white(0.1));
        CHECK(clear.currentTitle() == "Clear");
        CHECK(clear.currentTitleColor() == gfx::Color::white(0.1));
        CHECK(clear.imageView() == nullptr);
    }
    SUBCASE("the button classes are distinct for exact-class tests") {
        FlatButton flat;
        FABButton fab;
        CHECK(ui::isKindOf<ui::Button>(flat));
        CHECK_FALSE(ui::isExactly<FlatButton>(fab));
        CHECK(ui::isExactly<FABButton>(fab));
    }
    SUBCASE("icons by name") {
        CHECK(Icon::named("arrowBack")->name() == "ic_arrowBack");
        CHECK(Icon::named("check") == Icon::check());
        CHECK_FALSE(Icon::named("nope"));
    }
    SUBCASE("palette shades run from light to dark") {
        const auto& f = palette::blueGrey();
        auto brightness = [](const gfx::Color& c) { return c.hsba()->brightness; };
        CHECK(brightness(f.lighten5) > brightness(f.lighten1));
        CHECK(brightness(f.lighten1) > brightness(f.base));
        CHECK(brightness(f.base) > brightness(f.darken1));
        CHECK(brightness(f.darken1) > brightness(f.darken4));
        CHECK(f.lighten5.rgba()->red > 0.9);
    }
    SUBCASE("depth presets set the layer's shadow; none removes it") {
        ui::View view;
        setDepthPreset(view, DepthPreset::depth3);
        CHECK(depthPreset(view) == DepthPreset::depth3);
        CHECK(view.layer()->shadowOpacity() > 0);
        CHECK(view.layer()->shadowRadius() == 3);
        setDepthPreset(view, DepthPreset::none);
        CHECK(depthPreset(view) == DepthPreset::none);
        CHECK(view.layer()->shadowOpacity() == 0);
    }
    SUBCASE("a label's font size keeps the font") {
        ui::Label label;
        label.setFont(*gfx::Font::named("Avenir-Medium", 14));
        setFontSize(label, 38);
        CHECK(fontSize(label) == 38);
        CHECK(label.font().name() == "Avenir-Medium");
        CHECK(center(gfx::Rect(0, 0, 390, 844)) == gfx::Point{195, 422});
    }
}

TEST_CASE("the tab bar draws the selection line under the selected item and its divider") {
    const gfx::Color green = gfx::Color::rgb(0, 0.8, 0.4), grey = gfx::Color::rgb(0.5, 0.5, 0.5);
    struct Case {
        const char* name;
        int selected;
        TabBarLineAlignment alignment;
        std::optional<gfx::Color> divider;
        std::optional<gfx::Rect> line;     // where the green line lies; none: no line
    };
    const std::vector<Case> cases{
        {"first, under", 0, TabBarLineAlignment::bottom, grey, gfx::Rect(0, 46, 100, 3)},
        {"third, under, no divider", 2, TabBarLineAlignment::bottom, std::nullopt, gfx::Rect(200, 46, 100, 3)},
        {"second, over", 1, TabBarLineAlignment::top, grey, gfx::Rect(100, 0, 100, 3)},
        {"none selected", -1, TabBarLineAlignment::bottom, grey, std::nullopt},
    };
    for (const auto& c : cases) {
        CAPTURE(c.name);
        TabBar bar;
        bar.setFrame({0, 0, 300, TabBar::height});
        bar.setTabItems({std::make_shared<TabItem>(), std::make_shared<TabItem>(), std::make_shared<TabItem>()});
        bar.setLineColor(green);
        bar.setLineAlignment(c.alignment);
        bar.setDividerColor(c.divider);
        bar.setSelectedIndex(c.selected);
        bar.layoutIfNeeded();
        auto image = bar.snapshotImage();
        REQUIRE(image);
        std::vector<gfx::Rect> lines, dividers;
        for (const auto& op : image->drawing().ops()) {
            if (op.kind != gfx::DrawOp::Kind::fillRect || !op.color) continue;
            if (*op.color == green) lines.push_back(op.rect);
            if (*op.color == grey) dividers.push_back(op.rect);
        }
        CHECK(lines == (c.line ? std::vector<gfx::Rect>{*c.line} : std::vector<gfx::Rect>{}));
        CHECK(dividers == (c.divider ? std::vector<gfx::Rect>{gfx::Rect(0, 48, 300, 1)} : std::vector<gfx::Rect>{}));
    }
}
