// Tests of the launch: the tree in its window, the first launch's introduction and consent, the engine started, remote values applied and fetched.
#include <doctest/doctest.h>

#include "platform/foundation/bundle.h"
#include "platform/foundation/user_defaults.h"
#include "platform/frameworks/app_core/app.h"
#include "platform/frameworks/app_core/background_task.h"
#include "platform/frameworks/onboarding/onboard_view_controller.h"
#include "platform/ui/application.h"
#include "platform/ui/interaction.h"
#include "velmora/screens/calc_manager.h"
#include "velmora/screens/calculate_view_controller.h"
#include "velmora/screens/solution_view_controller.h"
#include "velmora/shell/app_test_support.h"
#include "velmora/shell/dsgvo_manager.h"
#include "velmora/shell/onboarding_manager.h"

using namespace velmora;
using platform::onboard::OnboardViewController;

namespace {

// One promoted application as the "apps" value lists it.
std::string appJson(const std::string& id, const std::string& name, bool multi) {
    return R"({"appIdentifiers": [")" + id + R"("], "appName": {"en": ")" + name +
           R"("}, "appURL": "a-)" + id + R"(://", "appURLPro": "p-)" + id +
           R"(://", "ratingURL": "https://r.example/", "ratingURLPro": "https://r.example/p", "storeURL": "https://s.example/",
           "storeURLPro": "https://s.example/)" + id + R"(", "isMultiApp": )" + (multi ? "true" : "false") +
           R"(, "shouldShow": true, "calculationsUntilInterstitial": 3})";
}

std::string appsEntry(const std::vector<std::string>& apps) {
    std::string list;
    for (const auto& app : apps) list += (list.empty() ? "" : ", ") + app;
    return R"("apps": {"apps": [)" + list + "]}";
}

std::vector<std::string> names(const std::vector<AppMetaData>& apps) {
    std::vector<std::string> out;
    for (const auto& app : apps) out.push_back(app.appName.at("en"));
    return out;
}

std::vector<std::string> chainNames(platform::ui::Window& window) {
    std::vector<std::string> out;
    for (const auto& controller : window.presentationChain()) out.push_back(controller->className());
    return out;
}

}  // namespace

TEST_CASE("a first launch: the tree in the key window, the introduction, and the consent alert above it") {
    testing::AppStage stage;
    stage.launch(false);

    auto drawer = stage.drawer();
    REQUIRE(drawer);
    CHECK(stage.window().rootViewController() == drawer);
    CHECK(stage.window().isKeyWindow());
    CHECK(stage.window().frame() == platform::ui::Screen::main().bounds());
    auto toolbar = std::dynamic_pointer_cast<AppToolbarController>(drawer->rootViewController());
    REQUIRE(toolbar);
    auto tabs = std::dynamic_pointer_cast<AppPageTabBarController>(toolbar->rootViewController());
    REQUIRE(tabs);
    REQUIRE(tabs->viewControllers().size() == 2);
    CHECK(std::dynamic_pointer_cast<CalculateViewController>(tabs->viewControllers()[0]));
    CHECK(std::dynamic_pointer_cast<SolutionViewController>(tabs->viewControllers()[1]));
    CHECK(tabs->selectedIndex() == 0);
    auto menuToolbar = std::dynamic_pointer_cast<MenuToolbarController>(drawer->leftViewController());
    REQUIRE(menuToolbar);
    CHECK(menuToolbar->rootViewController() == stage.menu());
    CHECK(stage.delegate->leftViewController() == stage.menu());  // built once, kept

    // the introduction at once, over the whole screen and without animation;
    // the consent alert once the launch has returned, on top of it
    CHECK(chainNames(stage.window()) == std::vector<std::string>{"AppNavigationDrawerController", "OnboardViewController"});
    auto onboarding = std::dynamic_pointer_cast<OnboardViewController>(stage.window().topViewController());
    REQUIRE(onboarding);
    CHECK(onboarding->presentedStyle() == platform::ui::ModalPresentationStyle::overFullScreen);
    stage.settle();
    REQUIRE(stage.shownAlert());
    CHECK(stage.shownAlert()->presentingViewController() == onboarding);
    CHECK(stage.shownAlert()->alertTitle() == platform::Bundle::main().localizedString("dsgvoTitlePro"));
    CHECK_FALSE(OnboardingManager::isOnboardingFinished());
    CHECK_FALSE(DsgvoManager::isDsgvoAccepted());

    // the history opened and its first start handled
    CHECK(CalcManager::shared().calculations().size() == 1);
    CHECK(platform::UserDefaults::standard().dateForKey(CalcManager::firstAppStartAtKey));

    // the engine started with the application, and the application's events reach it
    CHECK(platform::VEZApp::isDefaultAppConfigured());
    stage.shownAlert()->tapAction(platform::Bundle::main().localizedString("dsgvoAccept"));
    stage.settle();
    onboarding->dismiss(false);
    stage.settle();
    REQUIRE(platform::ui::tap(*toolbar->menuButton));
    stage.settle();
    auto stored = stage.engine.rawEventNames();
    CHECK(std::find(stored.begin(), stored.end(), "tapped_menu_button") != stored.end());

    // and the engine hears the application's lifecycle: resigning active
    // starts its upload's background task
    auto& tasks = platform::BackgroundTasks::shared();
    tasks.reset();
    platform::ui::Application::shared().resignActive();
    stage.settle();
    auto records = tasks.records();
    CHECK(std::count_if(records.begin(), records.end(), [](const auto& r) { return r.name == "APMMeasurement upload"; }) ==
          1);
}

TEST_CASE("later launches show what is still due, and nothing once both were answered") {
    testing::AppStage stage;
    auto defaults = platform::UserDefaults::standard();
    SUBCASE("introduction finished, consent never given: the alert alone, from the drawer") {
        defaults.setBool(true, OnboardingManager::isOnboardingFinishedKey);
        stage.launch();
        CHECK(chainNames(stage.window()) == std::vector<std::string>{"AppNavigationDrawerController", "AlertController"});
        CHECK(stage.shownAlert()->presentingViewController() == stage.drawer());
    }
    SUBCASE("both answered: nothing presented, the calculator page shown") {
        defaults.setBool(true, OnboardingManager::isOnboardingFinishedKey);
        defaults.setBool(true, DsgvoManager::isDsgvoAcceptedKey);
        stage.launch();
        CHECK(chainNames(stage.window()) == std::vector<std::string>{"AppNavigationDrawerController"});
        CHECK(stage.tabs()->selectedIndex() == 0);
        CHECK(stage.tabs()->selectedViewController()->view()->window() != nullptr);
    }
    SUBCASE("a second launch does not seed the history again") {
        stage.launch();
        CalcManager::shared().removeAllCalculations();
        stage.launch();
        CHECK(CalcManager::shared().calculations().empty());
    }
}

TEST_CASE("remote values: those held applied at launch, a fetch on every activation expiring after six hours") {
    testing::AppStage stage;
    const auto first = appsEntry({appJson("com.velmora.one", "One", false), appJson("com.velmora.two", "Two", true)});
    const auto second = appsEntry({appJson("com.velmora.three", "Three", false)});
    stage.setRemoteValues(first);
    stage.manager->loadApps(*stage.client);  // nothing active yet: the bundle's list
    const auto bundleApps = names(stage.manager->apps());
    REQUIRE(bundleApps.size() == 7);  // the bundle's property list, all of it

    stage.launch();  // becoming active fetched and activated the values
    CHECK(names(stage.manager->apps()) == std::vector<std::string>{"One", "Two"});

    stage.setRemoteValues(second);
    platform::ui::Application::shared().becomeActive();
    stage.settle();
    CHECK(names(stage.manager->apps()) == std::vector<std::string>{"One", "Two"});  // fresh: the source was not asked

    stage.advance(21600 + 1);
    platform::ui::Application::shared().becomeActive();
    stage.settle();
    CHECK(names(stage.manager->apps()) == std::vector<std::string>{"Three"});

    // a new process with an unreadable source starts from the values held
    std::filesystem::remove(stage.dir / "values.json");
    stage.manager = RemoteConfigManager::make(stage.client);
    CHECK(stage.manager->apps().empty());
    stage.launch();
    CHECK(names(stage.manager->apps()) == std::vector<std::string>{"Three"});
}
