// Tests of the drawer menu: its sections and titles, the rows' actions and events, and its refresh while on screen.
#include <doctest/doctest.h>

#include "platform/foundation/bundle.h"
#include "platform/foundation/http_client.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/user_defaults.h"
#include "platform/frameworks/onboarding/onboard_view_controller.h"
#include "platform/ui/application.h"
#include "platform/ui/interaction.h"
#include "platform/ui/label.h"
#include "platform/ui/storyboard.h"
#include "testsupport/scoped_launch_options.h"
#include "velmora/engine/console_line.h"
#include "velmora/screens/calculate_view_controller.h"
#include "velmora/screens/controller_utilities.h"
#include "velmora/screens/history_table_view_controller.h"
#include "velmora/shell/app_test_support.h"
#include "velmora/shell/dsgvo_manager.h"
#include "velmora/shell/onboarding_manager.h"

using namespace velmora;
using platform::ui::IndexPath;

namespace {

std::string text(const std::string& key) { return platform::Bundle::main().localizedString(key); }

// The menu's rows as shown, section by section.
std::vector<std::vector<std::string>> rowTexts(LeftViewController& menu) {
    auto table = menu.tableView();
    table->layoutIfNeeded();
    std::vector<std::vector<std::string>> out;
    for (int section = 0; section < table->numberOfSections(); ++section) {
        std::vector<std::string> rows;
        for (int row = 0; row < table->numberOfRows(section); ++row) {
            auto cell = menu.cellForRow(*table, {section, row});
            rows.push_back(cell->textLabel()->text());
        }
        out.push_back(rows);
    }
    return out;
}

std::string headerText(LeftViewController& menu, int section) {
    auto header = menu.viewForHeader(*menu.tableView(), section);
    if (!header || header->subviews().empty()) return "(none)";
    auto label = std::dynamic_pointer_cast<platform::ui::Label>(header->subviews().front());
    return label ? label->text() : "(no label)";
}

std::string appJson(const std::string& id, const std::string& names, bool multi, const std::string& urls) {
    return R"({"appIdentifiers": [")" + id + R"("], "appName": {)" + names + R"(}, )" + urls +
           R"(, "ratingURL": "https://r.example/", "ratingURLPro": "https://r.example/p", "storeURL": "https://s.example/",
           "isMultiApp": )" + (multi ? "true" : "false") + R"(, "shouldShow": true, "calculationsUntilInterstitial": 3})";
}

// A launch with both first-launch questions answered, events recorded.
struct Menu {
    testing::AppStage stage;
    std::shared_ptr<platform::RecordingHTTPClient> probe = std::make_shared<platform::RecordingHTTPClient>();

    explicit Menu(const std::string& remoteValues = "") {
        auto defaults = platform::UserDefaults::standard();
        defaults.setBool(true, OnboardingManager::isOnboardingFinishedKey);
        defaults.setBool(true, DsgvoManager::isDsgvoAcceptedKey);
        stage.setRemoteValues(remoteValues);
        setConnectionProbeClient(probe);
        setConnectionProbeURL("https://probe.example/");
        stage.launch();
        stage.recordEvents();
        stage.drawer()->openLeftView();
        stage.settle();
    }
    ~Menu() {
        setConnectionProbeClient(nullptr);
        setConnectionProbeURL("");
    }

    LeftViewController& menu() { return *stage.menu(); }
    void tapRow(int section, int row) {
        REQUIRE(menu().tableView()->tapRow({section, row}));
    }
};

}  // namespace

TEST_CASE("the menu's sections: navigation, contact, then the maker's applications under their headers") {
    SUBCASE("the bundle's list: multi-applications, then the others, without the running one") {
        Menu f;
        CHECK(rowTexts(f.menu()) == std::vector<std::vector<std::string>>{
                                        {text("Calculate Title"), text("History"), text("introduction"), text("privacyPolicy")},
                                        {text("Discord"), text("Rate this App")},
                                        {"Math Suite", "Geometry Suite"},
                                        {"Quadratic Equations", "Percentages", "Fractions"}});
        CHECK(f.menu().numberOfSections() == 4);
        auto& table = *f.menu().tableView();
        CHECK(f.menu().heightForHeader(table, 0) == 0.0);
        CHECK(f.menu().viewForHeader(table, 0)->frame().height() == 0);
        CHECK(headerText(f.menu(), 1) == " " + text("Visit us:"));
        CHECK(headerText(f.menu(), 2) == " " + text("All in one:"));
        CHECK(headerText(f.menu(), 3) == " " + text("Other apps:"));
        CHECK(headerText(f.menu(), 4) == "");  // beyond the sections: a label without text
        auto header = f.menu().viewForHeader(table, 1);
        CHECK(header->frame() == platform::gfx::Rect(0, 0, table.bounds().width(), 30));
        CHECK(header->subviews().front()->frame() == platform::gfx::Rect(3, 0, table.bounds().width() - 3, 30));
    }
    SUBCASE("names in the device's language, else English, else nothing") {
        const std::string urls = R"("appURL": "a://", "appURLPro": "p://", "storeURLPro": "https://s.example/x")";
        Menu f(R"("apps": {"apps": [)" + appJson("com.velmora.suite", R"("en": "Suite")", true, urls) + ", " +
               appJson("com.velmora.de", R"("en": "Fractions", "de": "Brüche")", false, urls) + ", " +
               appJson("com.velmora.en", R"("en": "Percentages")", false, urls) + ", " +
               appJson("com.velmora.none", R"("fr": "Fractions")", false, urls) + "]}");
        CHECK(rowTexts(f.menu()).at(3) == std::vector<std::string>{"Fractions", "Percentages", ""});
        platform::ProcessInfo::setLocaleIdentifier("de_DE");
        CHECK(rowTexts(f.menu()).at(3) == std::vector<std::string>{"Brüche", "Percentages", ""});
        // the empty name is logged as it is shown
        f.stage.recorder->clear();
        f.tapRow(3, 2);
        REQUIRE(f.stage.recorded("Tapped App Link").size() == 1);
        CHECK(f.stage.recorded("Tapped App Link")[0].parameters.at("kuvoApp") == platform::Value(""));
    }
    SUBCASE("one list alone: navigation and contact only, no application shown") {
        const std::string urls = R"("appURL": "a://", "appURLPro": "p://", "storeURLPro": "https://s.example/x")";
        for (const bool multi : {false, true}) {
            CAPTURE(multi);
            Menu f(R"("apps": {"apps": [)" + appJson("com.velmora.x", R"("en": "Statistics")", multi, urls) + "]}");
            CHECK(rowTexts(f.menu()) == std::vector<std::vector<std::string>>{
                                            {text("Calculate Title"), text("History"), text("introduction"),
                                             text("privacyPolicy")},
                                            {text("Discord"), text("Rate this App")}});
            CHECK(f.menu().numberOfSections() == 2);
            f.menu().handleAppRow(0, multi);
            f.stage.settle();
            CHECK(f.stage.recordedEventNames().empty());
        }
    }
}

TEST_CASE("the navigation rows") {
    Menu f;
    auto drawer = f.stage.drawer();
    SUBCASE("calculate: a new calculator tree replaces the old one, which is let go, and the drawer closes") {
        std::weak_ptr<platform::ui::ViewController> oldTree = drawer->rootViewController();
        std::weak_ptr<platform::ui::ViewController> oldPage = f.stage.tabs()->viewControllers()[0];
        f.tapRow(0, 0);
        f.stage.advance(1);  // the transition, then the drawer's closing
        CHECK(f.stage.recordedEventNames() == std::vector<std::string>{"tapped_menu_calculate"});
        CHECK(std::dynamic_pointer_cast<AppToolbarController>(drawer->rootViewController()));
        CHECK(oldTree.expired());
        CHECK(oldPage.expired());
        CHECK(f.stage.tabs()->selectedIndex() == 0);
        CHECK_FALSE(drawer->isLeftViewOpened());
    }
    SUBCASE("history: the history screen under the toolbar, a new one each time") {
        auto toolbar = std::dynamic_pointer_cast<AppToolbarController>(drawer->rootViewController());
        f.tapRow(0, 1);
        f.stage.advance(1);
        auto history = std::dynamic_pointer_cast<HistoryTableViewController>(toolbar->rootViewController());
        REQUIRE(history);
        CHECK_FALSE(drawer->isLeftViewOpened());
        drawer->openLeftView();
        f.stage.advance(1);
        f.tapRow(0, 1);
        f.stage.advance(1);
        auto again = std::dynamic_pointer_cast<HistoryTableViewController>(toolbar->rootViewController());
        REQUIRE(again);
        CHECK(again != history);
        CHECK(drawer->rootViewController() == toolbar);
        CHECK(f.stage.recordedEventNames() == std::vector<std::string>{"tapped_menu_history", "tapped_menu_history"});
    }
    SUBCASE("introduction: the pages over the whole window, finishing them marks the introduction seen") {
        platform::UserDefaults::standard().removeObjectForKey(OnboardingManager::isOnboardingFinishedKey);
        f.tapRow(0, 2);
        auto pager = std::dynamic_pointer_cast<platform::onboard::OnboardViewController>(
            f.stage.window().topViewController());
        REQUIRE(pager);
        CHECK(pager->presentedStyle() == platform::ui::ModalPresentationStyle::overFullScreen);
        CHECK(f.stage.recordedEventNames() == std::vector<std::string>{"tapped_onboarding"});
        f.stage.settle();
        // As at the first launch: nothing of the drawer or the toolbar shows
        // above the pages.
        CHECK(pager->view()->convertRect(pager->view()->bounds(), nullptr) == f.stage.window().bounds());
        for (std::size_t page = 0; page < pager->pageItems().size(); ++page) pager->advance();
        f.stage.advance(1);  // the pager's dismissal, then its completion
        CHECK(OnboardingManager::isOnboardingFinished());
        CHECK(f.stage.window().topViewController() == f.stage.drawer());
    }
    SUBCASE("privacy policy: the consent alert, once the main queue runs") {
        f.tapRow(0, 3);
        CHECK(f.stage.shownAlert() == nullptr);
        f.stage.settle();
        REQUIRE(f.stage.shownAlert());
        CHECK(f.stage.shownAlert()->alertTitle() == text("dsgvoTitlePro"));
        CHECK(f.stage.recordedEventNames() == std::vector<std::string>{"tapped_privacy_policy"});
    }
    SUBCASE("a row outside the section does nothing") {
        f.menu().handleMainRow(4);
        f.menu().handleContactRow(2);
        f.menu().handleAppRow(9, true);
        f.stage.settle();
        CHECK(f.stage.recordedEventNames().empty());
        CHECK(platform::ui::Application::shared().openedURLs().empty());
    }
}

TEST_CASE("the contact rows log first, then test the connection") {
    Menu f;
    auto& app = platform::ui::Application::shared();
    SUBCASE("no connection: the no-internet alert, nothing opened") {
        f.tapRow(1, 0);
        CHECK(f.stage.recordedEventNames() == std::vector<std::string>{"tapped_discord"});
        f.stage.settle();
        REQUIRE(f.stage.shownAlert());
        CHECK(f.stage.shownAlert()->alertTitle() == text("noInternet"));
        CHECK(app.openedURLs().empty());
    }
    SUBCASE("any answer counts as a connection: the community page opens") {
        f.probe->enqueue(platform::makeHTTPResponse(500));
        f.tapRow(1, 0);
        f.stage.settle();
        CHECK(f.stage.shownAlert() == nullptr);
        REQUIRE(app.openedURLs().size() == 1);
        CHECK(app.openedURLs()[0].string() == LeftViewController::communityInviteAddress);
    }
    SUBCASE("no probe address given: nothing is asked, the console says how to give one, nothing opened") {
        setConnectionProbeURL("");
        testsupport::ScopedLaunchOptions launch([](platform::LaunchOptions& o) { o.connectionProbeURL.reset(); });
        std::vector<std::string> console;
        setConsoleSink([&](const std::string& line) { console.push_back(line); });
        for (const int row : {0, 1}) {
            CAPTURE(row);
            f.probe->enqueue(platform::makeHTTPResponse(200));
            f.tapRow(1, row);
            f.stage.settle();
            REQUIRE(f.stage.shownAlert());
            CHECK(f.stage.shownAlert()->alertTitle() == text("noInternet"));
            REQUIRE(f.stage.shownAlert()->tapAction("OK"));
            f.stage.settle();
        }
        CHECK(f.probe->requestCount() == 0);
        CHECK(app.openedURLs().empty());
        CHECK(console == std::vector<std::string>(2, kNoConnectionProbeNotice));
        CHECK(f.stage.recordedEventNames() == std::vector<std::string>{"tapped_discord", "tapped_rate_app"});
    }
    SUBCASE("rating: the running application's rating page, logged as such") {
        f.probe->enqueue(platform::makeHTTPResponse(200));
        f.tapRow(1, 1);
        f.stage.settle();
        REQUIRE(app.openedURLs().size() == 1);
        CHECK(app.openedURLs()[0].string() == f.stage.manager->currentApp()->ratingURLPro);
        CHECK(f.stage.recordedEventNames() == std::vector<std::string>{"tapped_rate_app", "Tapped Rating in Menu"});
        CHECK(f.stage.recorded("Tapped Rating in Menu")[0].parameters.at("kuvoApp") == platform::Value("Bernoulli Formula"));
    }
}

TEST_CASE("an application row opens the application when it is installed, else its store page") {
    const std::vector<std::tuple<std::string, std::string, std::string, bool>> cases = {
        // installed scheme, what opens, why
        {"", "https://store.velmora.example/app/mathsuite-pro", "not installed: the store page", false},
        {"velmora-mathsuite-pro", "velmora-mathsuite-pro://", "the pro application first", true},
        {"velmora-mathsuite", "velmora-mathsuite://", "else the application", true},
    };
    for (const auto& row : cases) {
        const std::string& scheme = std::get<0>(row);
        const std::string& opened = std::get<1>(row);
        const std::string& why = std::get<2>(row);
        const bool hasApp = std::get<3>(row);
        CAPTURE(why);
        Menu f;
        auto& app = platform::ui::Application::shared();
        auto schemes = app.openableSchemes();
        if (!scheme.empty()) schemes.insert(scheme);
        app.setOpenableSchemes(schemes);
        f.tapRow(2, 0);
        f.stage.settle();
        REQUIRE(app.openedURLs().size() == 1);
        CHECK(app.openedURLs()[0].string() == opened);
        REQUIRE(f.stage.recorded("Tapped App Link").size() == 1);
        const auto parameters = f.stage.recorded("Tapped App Link")[0].parameters;
        CHECK(parameters.at("has_app") == platform::Value(hasApp));
        CHECK(parameters.at("kuvoApp") == platform::Value("Math Suite"));
    }
    SUBCASE("addresses that do not parse open nothing, and the tap is still logged") {
        Menu f(R"("apps": {"apps": [)" +
               appJson("com.velmora.x", R"("en": "Broken")", true,
                       R"("appURL": "not an address", "appURLPro": "", "storeURLPro": "::")") +
               ", " +
               appJson("com.velmora.y", R"("en": "Other")", false, R"("appURL": "", "appURLPro": "", "storeURLPro": "")") +
               "]}");
        f.tapRow(2, 0);
        f.stage.settle();
        CHECK(platform::ui::Application::shared().openedURLs().empty());
        REQUIRE(f.stage.recorded("Tapped App Link").size() == 1);
        CHECK(f.stage.recorded("Tapped App Link")[0].parameters.at("has_app") == platform::Value(false));
    }
}

TEST_CASE("the menu follows new application lists while on screen, and only then") {
    const std::string urls = R"("appURL": "a://", "appURLPro": "p://", "storeURLPro": "https://s.example/x")";
    // a multi-application beside each list, so that the menu shows them
    auto entry = [&](const std::string& name) {
        return R"("apps": {"apps": [)" + appJson("com.velmora.suite", R"("en": "Suite")", true, urls) + ", " +
               appJson("com.velmora." + name, R"("en": ")" + name + R"(")", false, urls) + "]}";
    };
    Menu f(entry("First"));
    REQUIRE(rowTexts(f.menu()).at(3) == std::vector<std::string>{"First"});

    // a fetch after the expiry on the next activation: "didLoadMenu", then the main queue
    f.stage.setRemoteValues(entry("Second"));
    f.stage.advance(21601);
    platform::ui::Application::shared().becomeActive();
    f.stage.settle();
    CHECK(rowTexts(f.menu()).at(3) == std::vector<std::string>{"Second"});

    // gone from the screen: no longer observing
    auto drawer = f.stage.drawer();
    f.stage.window().setRootViewController(nullptr);
    f.stage.settle();
    f.stage.setRemoteValues(entry("Third"));
    f.stage.advance(21601);
    platform::ui::Application::shared().becomeActive();
    f.stage.settle();
    CHECK(f.stage.manager->apps().at(1).appName.at("en") == "Third");
    CHECK(f.menu().appSections.at(1).apps.at(0).appName.at("en") == "Second");
}

TEST_CASE("a refresh queued for a menu that is gone finds nothing to do") {
    testing::AppStage stage;
    registerApplicationInterface(stage.manager);
    auto menu = platform::ui::Storyboard::named(LeftViewController::storyboardName)
                    ->instantiate<LeftViewController>(LeftViewController::storyboardIdentifier);
    REQUIRE(menu);
    menu->setRemoteConfigManager(stage.manager);
    menu->beginAppearanceTransition(true, false);
    menu->endAppearanceTransition();
    platform::NotificationCenter::defaultCenter().post("didLoadMenu");
    platform::NotificationCenter::defaultCenter().post(platform::ui::Application::didBecomeActiveNotification);
    std::weak_ptr<LeftViewController> weak = menu;
    menu.reset();
    CHECK(weak.expired());  // the queued refreshes do not keep it
    stage.settle();
}
