// The drawer, toolbars and tabs as the application styles them, and the menu button.
#include "velmora/shell/navigation_chrome.h"

#include "platform/frameworks/material/style.h"
#include "velmora/engine/analytics_sink.h"
#include "velmora/engine/engine_texts.h"
#include "velmora/screens/calculating_flag.h"
#include "velmora/screens/kuvo_color.h"
#include "velmora/screens/screen_texts.h"

namespace velmora {

using platform::material::DepthPreset;

void BasicToolbarController::prepare() {
    platform::material::ToolbarController::prepare();
    prepareToolbar();
}

void BasicToolbarController::prepareToolbar() {
    auto& bar = *toolbar();
    platform::material::setDepthPreset(bar, DepthPreset::none);
    bar.setBackgroundColor(KuvoColor::color(KuvoColor::paletteLightBlue));
    for (const auto& label : {bar.titleLabel(), bar.detailLabel()}) {
        label->setTextColor(KuvoColor::darkGray());
        label->setTextAlignment(platform::ui::TextAlignment::left);
    }
    if (auto font = platform::gfx::Font::named("Avenir-Heavy", 20)) bar.titleLabel()->setFont(*font);
}

void AppToolbarController::prepare() {
    BasicToolbarController::prepare();
    prepareMenuButton();
    setStatusBarStyle(platform::material::StatusBarStyle::lightContent);
    statusBar()->setBackgroundColor(KuvoColor::color(KuvoColor::paletteDarkBlue));
    toolbar()->setLeftViews({menuButton});
    toolbar()->titleLabel()->setAdjustsFontSizeToFitWidth(true);
}

void AppToolbarController::prepareMenuButton() {
    menuButton = std::make_shared<platform::material::IconButton>(platform::material::Icon::menu(), KuvoColor::darkGray());
    menuButton->setAccessibilityIdentifier(menuButtonIdentifier);
    std::weak_ptr<AppToolbarController> weak = sharedAs<AppToolbarController>();
    menuButton->addTarget(
        [weak](platform::ui::Control&) {
            if (auto self = weak.lock()) self->handleMenuButton();
        },
        platform::ui::controlEvent::touchUpInside, "handleMenuButton");
}

void AppToolbarController::handleMenuButton() {
    logEvent("tapped_menu_button");
    if (isCalculating) return;
    if (auto drawer = platform::material::navigationDrawerController(*this)) drawer->toggleLeftView(0);
}

void MenuToolbarController::prepare() {
    BasicToolbarController::prepare();
    statusBar()->setHidden(true);
    prepareTitle();
}

void MenuToolbarController::prepareTitle() {
    auto& bar = *toolbar();
    bar.setContentEdgeInsets({57, 0, 0, 0});
    bar.setBackgroundColor(KuvoColor::color(KuvoColor::paletteDarkBlue));
    bar.setTitle("  " + LocalizedString::localized(LocalizedString::bernoulliFormula()) + "  ");
    bar.titleLabel()->setAdjustsFontSizeToFitWidth(true);
    auto frame = bar.frame();
    bar.setFrame({frame.origin.x, frame.origin.y, frame.width(), 90});
}

void AppNavigationDrawerController::prepare() {
    platform::material::NavigationDrawerController::prepare();
    setDelegate(sharedAs<platform::material::NavigationDrawerControllerDelegate>());
}

void AppPageTabBarController::prepare() {
    platform::material::TabsController::prepare();
    view()->setBackgroundColor(platform::material::palette::blueGrey().lighten5);
    setDelegate(sharedAs<platform::material::TabsControllerDelegate>());
    setTabBarAlignment(platform::material::TabBarAlignment::top);
    auto& bar = *tabBar();
    bar.setDividerColor(std::nullopt);
    bar.setLineColor(KuvoColor::color(KuvoColor::paletteGreen));
    bar.setLineAlignment(platform::material::TabBarLineAlignment::bottom);
    bar.setBackgroundColor(KuvoColor::color(KuvoColor::paletteBlue));
}

void closeNavigationDrawer(const platform::ui::ViewController& controller) {
    if (auto drawer = platform::material::navigationDrawerController(controller)) drawer->closeLeftView(0);
}

}  // namespace velmora
