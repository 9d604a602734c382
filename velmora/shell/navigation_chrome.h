// The application's container controllers: the drawer, the two toolbars, the tabs, and closing the drawer.
#pragma once

#include <memory>

#include "platform/frameworks/material/buttons.h"
#include "platform/frameworks/material/navigation_drawer.h"
#include "platform/frameworks/material/tabs.h"
#include "platform/frameworks/material/toolbar.h"

namespace velmora {

// A toolbar without shadow in the palette's light blue, its title in dark
// grey "Avenir-Heavy" 20, left aligned.
class BasicToolbarController : public platform::material::ToolbarController {
public:
    using platform::material::ToolbarController::ToolbarController;
    void prepare() override;
    void prepareToolbar();
};

// The toolbar above the pages, with the menu button on its left.
class AppToolbarController : public BasicToolbarController {
public:
    static constexpr const char* menuButtonIdentifier = "menuButton";

    using BasicToolbarController::BasicToolbarController;

    // Made when the view is prepared.
    std::shared_ptr<platform::material::IconButton> menuButton;

    void prepare() override;
    // Logs "tapped_menu_button", then toggles the drawer unless a
    // calculation is running.
    void handleMenuButton();

private:
    void prepareMenuButton();
};

// The toolbar above the drawer menu: 90 points high, its title 57 points
// down, no status bar.
class MenuToolbarController : public BasicToolbarController {
public:
    using BasicToolbarController::BasicToolbarController;
    void prepare() override;
    void prepareTitle();
};

// The window's root: the pages' toolbar with the menu on the left. Its own
// delegate; every callback does nothing.
class AppNavigationDrawerController : public platform::material::NavigationDrawerController,
                                      public platform::material::NavigationDrawerControllerDelegate {
public:
    using platform::material::NavigationDrawerController::NavigationDrawerController;
    void prepare() override;
};

// The calculator and solution pages under a tab bar along the top. Its own
// delegate; pages title their tab items themselves.
class AppPageTabBarController : public platform::material::TabsController,
                                public platform::material::TabsControllerDelegate {
public:
    using platform::material::TabsController::TabsController;
    void prepare() override;
};

// Closes the left panel of the drawer around the controller; nothing when
// there is none.
void closeNavigationDrawer(const platform::ui::ViewController& controller);

}  // namespace velmora
