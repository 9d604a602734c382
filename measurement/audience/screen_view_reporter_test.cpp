// Screen views: manual tracking and naming, the screen parameters of other
// events, the application's activity and the Info.plist switch.
#include <doctest/doctest.h>

#include <set>
#include <thread>

#include "measurement/audience/reporter_codes.h"
#include "measurement/audience/reporter_test_support.h"
#include "measurement/audience/view_controller_tracking.h"
#include "platform/ui/runtime_class.h"

using namespace reporter_test;
using platform::Value;

namespace {

std::vector<std::string> keys(const Value::Dictionary& parameters) {
    std::vector<std::string> names;
    for (const auto& [name, value] : parameters) names.push_back(name);
    return names;
}

}  // namespace

TEST_CASE("screen parameters of a screen, and of the screen left") {
    struct Case {
        std::optional<std::string> name;
        std::optional<std::string> className;
        std::vector<std::string> current;
        std::vector<std::string> previous;
        std::vector<long> codes;
    };
    const std::string tooLong(501, 'x');
    const Case cases[] = {
        {"Home", "HomePage", {"_sc", "_si", "_sn"}, {"_pc", "_pi", "_pn"}, {}},
        {std::nullopt, std::nullopt, {"_si"}, {"_pi"}, {kAPMEmptyScreenClassNameCode}},
        {"Home", std::nullopt, {"_si", "_sn"}, {"_pi", "_pn"}, {kAPMEmptyScreenClassNameCode}},
        // An invalid class leaves the instance ID alone.
        {"Home", "", {"_si"}, {"_pi", "_pn"}, {kAPMEmptyScreenClassNameCode, kAPMInvalidScreenClassNameCode}},
        {"Home", tooLong, {"_si"}, {"_pi", "_pn"}, {kAPMInvalidScreenClassNameCode}},
        {tooLong, "HomePage", {"_sc", "_si"}, {"_pc", "_pi"}, {}},
    };
    for (const auto& c : cases) {
        APMMonitorCapture monitor;
        const APMScreen screen(c.name, c.className, -4);
        const auto current = APMScreenEventParameters(screen, 500);
        CHECK(keys(current) == c.current);
        CHECK(current.at("_si") == Value(-4));
        CHECK(keys(APMPreviousScreenEventParameters(screen, 500)) == c.previous);
        CHECK(monitor.codes() == c.codes);
    }
}

TEST_CASE("default screen classes and the Info.plist switch") {
    const std::pair<std::string, std::string> names[] = {
        {"Velmora.CalculateViewController", "CalculateViewController"},
        {"CalculateViewController", "CalculateViewController"},
        {"A.B.Page", "Page"},
        {"Module.", "Module."},
        {".Page", "Page"},
        {"", ""},
    };
    for (const auto& [name, expected] : names) CHECK(APMDefaultScreenClassName(name) == expected);

    struct Case {
        Value::Dictionary info;
        bool enabled;
    };
    const Case cases[] = {
        {{}, true},
        {{{"RerudodoScreenReportingEnabled", false}}, false},
        {{{"RerudodoScreenReportingEnabled", true}, {"RerudodoAutomaticScreenReportingEnabled", false}}, true},
        {{{"RerudodoAutomaticScreenReportingEnabled", false}}, false},
        {{{"RerudodoAutomaticScreenReportingEnabled", 1}}, true},
        {{{"RerudodoScreenReportingEnabled", 0}}, false},
        {{{"RerudodoScreenReportingEnabled", "NO"}}, true},
    };
    for (const auto& c : cases) {
        InfoPlist info(c.info);
        CHECK(APMIsScreenReportingEnabled() == c.enabled);
    }
}

TEST_CASE("screen_view logged by the application") {
    ReporterFixture f;

    SUBCASE("before the first activation it is reported, with the application's own parameters") {
        f.screens->trackScreenWithParameters(
            {{"screen_name", "Intro"}, {"screen_class", "IntroPage"}, {"step", 2}, {"bad name!", 1}}, 1700000001.5);
        f.settle();
        const auto views = f.host->eventsNamed("_vs");
        REQUIRE(views.size() == 1);
        CHECK(views[0].origin == "app");
        CHECK(views[0].timestamp == 1700000001.5);
        CHECK(views[0].text("_sn") == "Intro");
        CHECK(views[0].text("_sc") == "IntroPage");
        CHECK(views[0].integer("step") == 2);
        CHECK_FALSE(views[0].has("screen_name"));
        CHECK_FALSE(views[0].has("bad name!"));
        CHECK(views[0].has("_err"));
        CHECK_FALSE(views[0].has("_pi"));
        CHECK(f.screens->screenParameters() ==
              Value::Dictionary{{"_si", views[0].integer("_si")}, {"_sc", "IntroPage"}, {"_sn", "Intro"}});

        SUBCASE("a second one names the first as previous and takes the next instance ID") {
            f.screens->trackScreenWithParameters({{"screen_name", "Menu"}}, 1700000002);
            f.settle();
            const auto second = f.host->eventsNamed("_vs").at(1);
            CHECK(static_cast<std::uint64_t>(second.integer("_si")) -
                      static_cast<std::uint64_t>(views[0].integer("_si")) ==
                  1);
            CHECK(second.integer("_pi") == views[0].integer("_si"));
            CHECK(second.text("_pn") == "Intro");
            CHECK(second.text("_pc") == "IntroPage");
            CHECK_FALSE(second.has("_sc"));  // no window, so no root controller to name it
        }
    }
    SUBCASE("after the application went to the background it is refused") {
        f.activate();
        f.enterBackground();
        f.host->clear();
        f.screens->trackScreenWithParameters({{"screen_name", "Late"}}, 1);
        f.settle();
        CHECK(f.host->events().empty());
        CHECK(f.monitor.hasCode(kAPMTrackScreenAppInactiveCode));
        CHECK_FALSE(f.screens->currentScreen());
        CHECK(f.screens->screenParameters().empty());
    }
    SUBCASE("invalid names and classes are refused") {
        struct Case {
            Value::Dictionary parameters;
            long code;
        };
        const Case cases[] = {
            {{{"screen_name", ""}}, kAPMInvalidTrackedScreenNameCode},
            {{{"screen_name", 5}}, kAPMInvalidTrackedScreenNameCode},
            {{{"screen_name", std::string(501, 'n')}}, kAPMInvalidTrackedScreenNameCode},
            {{{"screen_class", std::string(501, 'c')}}, kAPMInvalidTrackedScreenClassCode},
            {{{"screen_name", "Fine"}, {"screen_class", Value::Array{}}}, kAPMInvalidTrackedScreenClassCode},
        };
        for (const auto& c : cases) {
            f.monitor.clear();
            f.screens->trackScreenWithParameters(c.parameters, 1);
            f.settle();
            CHECK(f.monitor.codes() == std::vector<long>{c.code});
        }
        CHECK(f.host->events().empty());
        f.screens->trackScreenWithParameters({{"screen_class", std::string(500, 'c')}}, 1);
        f.settle();
        CHECK(f.host->eventsNamed("_vs").size() == 1);
    }
    SUBCASE("without a class: the root controller's on the main thread, the current screen's elsewhere") {
        platform::ui::declareRuntimeClass(typeid(HomePage), {"Velmora.HomePage", "", true});
        f.show(std::make_shared<HomePage>());
        f.screens->trackScreenWithParameters({{"screen_name", "Main"}}, 10);
        f.settle();
        CHECK(f.host->eventsNamed("_vs").at(0).text("_sc") == "HomePage");
        f.screens->trackScreenWithParameters({{"screen_name", "Named"}, {"screen_class", "Explicit"}}, 11);
        std::thread([&] { f.screens->trackScreenWithParameters({{"screen_name", "Elsewhere"}}, 12); }).join();
        f.settle();
        CHECK(f.host->eventsNamed("_vs").at(2).text("_sc") == "Explicit");
        platform::ui::forgetDeclaredRuntimeClass(typeid(HomePage));
    }
    SUBCASE("with automatic reporting off, views are still reported, marked \"_mst\"") {
        InfoPlist info({{"RerudodoAutomaticScreenReportingEnabled", false}});
        f.screens->trackScreenWithParameters({{"screen_name", "Manual"}}, 3);
        f.settle();
        CHECK(f.host->eventsNamed("_vs").at(0).integer("_mst") == 1);
    }
}

TEST_CASE("setScreenName names the screen of the controller on top") {
    ReporterFixture f;
    Interception hooks(f);

    SUBCASE("before any controller appeared it is refused") {
        f.screens->setScreenName("Early", std::nullopt);
        CHECK(f.monitor.hasCode(kAPMNoViewControllerAppearedCode));
        CHECK(f.host->events().empty());
    }
    SUBCASE("a name, a duplicate and a new class") {
        auto home = std::make_shared<HomePage>();
        f.show(home);
        const auto automatic = f.host->eventsNamed("_vs").at(0);
        f.host->clear();
        f.screens->setScreenName("Welcome", std::nullopt);
        f.settle();
        auto views = f.host->eventsNamed("_vs");
        REQUIRE(views.size() == 1);
        CHECK(views[0].origin == "auto");
        CHECK(views[0].text("_sn") == "Welcome");
        CHECK(views[0].text("_sc") == "HomePage");
        CHECK(views[0].integer("_pi") == automatic.integer("_si"));
        CHECK(APMViewControllerScreen(*home)->isManuallySet());
        CHECK(f.screens->currentViewController() == home);

        f.screens->setScreenName("Welcome", std::string("HomePage"));
        f.settle();
        CHECK(f.host->eventsNamed("_vs").size() == 1);
        CHECK(f.monitor.hasCode(kAPMDuplicateScreenCode));
        f.screens->setScreenName("Welcome", std::string("Custom"));
        f.settle();
        views = f.host->eventsNamed("_vs");
        REQUIRE(views.size() == 2);
        CHECK(views[1].text("_sc") == "Custom");

        std::optional<std::string> name, screenClass;
        f.screens->getScreenName(&name, &screenClass);
        CHECK(name == "Welcome");
        CHECK(screenClass == "Custom");
    }
    SUBCASE("invalid names and classes, and reporting switched off") {
        f.show(std::make_shared<HomePage>());
        f.monitor.clear();
        f.screens->setScreenName(std::string(""), std::nullopt);
        f.screens->setScreenName("Fine", std::string(501, 'c'));
        {
            InfoPlist info({{"RerudodoScreenReportingEnabled", false}});
            f.screens->setScreenName("Fine", std::nullopt);
        }
        CHECK(f.monitor.codes() == std::vector<long>{kAPMInvalidScreenNameCode, kAPMInvalidScreenClassCode,
                                                     kAPMScreenNameReportingDisabledCode});
    }
}

TEST_CASE("the application's activity decides what is reported") {
    ReporterFixture f;
    Interception hooks(f);
    f.show(std::make_shared<HomePage>());
    f.activate();
    CHECK(f.screens->isAppActive());
    CHECK(f.screens->appHasBeenInitialized());
    CHECK(f.host->eventsNamed("_vs").size() == 1);

    SUBCASE("resigning and becoming active again without a change logs no extra view") {
        f.resign();
        CHECK(f.screens->isAppActive());  // until it enters the background
        f.activate();
        CHECK(f.host->eventsNamed("_vs").size() == 1);
    }
    SUBCASE("a screen that changed in the background is reported at the next activation") {
        f.enterBackground();
        CHECK_FALSE(f.screens->isAppActive());
        CHECK(f.screens->screenParameters().empty());
        auto detail = std::make_shared<DetailPage>();
        f.window->setRootViewController(detail);
        f.settle();
        CHECK(f.host->eventsNamed("_vs").size() == 1);
        CHECK(f.monitor.hasCode(kAPMScreenViewAppInactiveCode));
        f.activate();
        const auto views = f.host->eventsNamed("_vs");
        REQUIRE(views.size() == 2);
        CHECK(views[1].text("_sc") == "DetailPage");
        CHECK(views[1].text("_pc") == "HomePage");
    }
}

TEST_CASE("screen instance IDs rise by one from a random start, also when taken at once") {
    ReporterFixture f;
    const auto first = f.screens->incrementScreenInstanceID();
    CHECK(static_cast<std::uint64_t>(f.screens->incrementScreenInstanceID()) - static_cast<std::uint64_t>(first) == 1);

    std::vector<std::int64_t> taken(4 * 500);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) taken[static_cast<std::size_t>(t * 500 + i)] = f.screens->incrementScreenInstanceID();
        });
    }
    for (auto& thread : threads) thread.join();
    const std::set<std::int64_t> distinct(taken.begin(), taken.end());
    CHECK(distinct.size() == taken.size());
    CHECK(static_cast<std::uint64_t>(f.screens->incrementScreenInstanceID()) - static_cast<std::uint64_t>(first) ==
          2 + taken.size());
}
