// The engine's reporters in a headless application: a scripted session of
// screens read back from the measurement database, the session start at
// engine start, background work, the wipe, and the switches the engine
// hands its session reporter.
#include <doctest/doctest.h>

#include "measurement/core/arurerudo.h"
#include "measurement/core/core_test_support.h"
#include "measurement/core/facade.h"
#include "measurement/core/measurement.h"
#include "platform/frameworks/app_core/app.h"
#include "platform/ui/application.h"
#include "platform/ui/navigation_controller.h"
#include "platform/ui/window.h"

using namespace measurement;
using measurement::testing::EngineFixture;
using measurement::testing::intParameter;
using measurement::testing::stringParameter;

namespace {

struct HomePage : platform::ui::ViewController {};
struct DetailPage : platform::ui::ViewController {};
struct SettingsPage : platform::ui::ViewController {};

// Configures the default application at launch and shows its window, as the
// application's delegate does.
struct LaunchingDelegate : platform::ui::ApplicationDelegate {
    std::shared_ptr<platform::ui::Window> window = std::make_shared<platform::ui::Window>();
    std::shared_ptr<platform::ui::ViewController> root;
    bool didFinishLaunching(platform::ui::Application&) override {
        platform::VEZApp::configure();
        window->setRootViewController(root);
        window->makeKeyAndVisible();
        return true;
    }
};

// A fresh application around the engine fixture.
struct HeadlessApplication {
    HeadlessApplication() {
        platform::ui::Application::shared().reset();
        delegate->root = navigation;
    }
    ~HeadlessApplication() { platform::ui::Application::shared().reset(); }

    void launch() {
        platform::ui::Application::shared().launch(delegate);
        engine.settle();
    }
    void wait(double seconds) { engine.time().advance(seconds); }

    EngineFixture engine;
    std::shared_ptr<HomePage> home = std::make_shared<HomePage>();
    std::shared_ptr<platform::ui::NavigationController> navigation =
        std::make_shared<platform::ui::NavigationController>(home);
    std::shared_ptr<LaunchingDelegate> delegate = std::make_shared<LaunchingDelegate>();
};

std::vector<APMEvent> storedEvents(EngineFixture& engine) {
    std::vector<APMEvent> events;
    for (const auto& raw : engine.rawEvents()) events.push_back(raw.event());
    return events;
}

std::optional<std::int64_t> userProperty(EngineFixture& engine, const std::string& name) {
    for (const auto& property : engine.userAttributes()) {
        if (property.name() == name) return property.value().int64Value();
    }
    return std::nullopt;
}

}  // namespace

TEST_CASE("a scripted session of screens, read back from the measurement database") {
    HeadlessApplication app;
    const double launchedAt = app.engine.time().now();
    app.launch();
    // Transitions without animation finish on the next turn of the main
    // queue, so that the times engaged are whole seconds.
    app.wait(10);
    auto detail = std::make_shared<DetailPage>();
    app.navigation->pushViewController(detail, false);
    app.wait(5);
    auto settings = std::make_shared<SettingsPage>();
    detail->present(settings, false);
    app.wait(2);
    settings->dismiss(false);
    app.wait(3);
    app.navigation->popViewController(false);
    app.wait(4);
    platform::ui::Application::shared().resignActive();
    platform::ui::Application::shared().enterBackground();
    app.wait(31 * 60);
    const double reactivatedAt = app.engine.time().now();
    platform::ui::Application::shared().enterForeground();
    platform::ui::Application::shared().becomeActive();
    app.engine.settle();

    const auto events = storedEvents(app.engine);
    std::vector<std::string> names;
    for (const auto& event : events) names.push_back(event.name());
    REQUIRE(names == std::vector<std::string>{"_f", "_s", "_vs", "_e", "_vs", "_e", "_vs", "_e", "_vs", "_e", "_vs",
                                              "_e", "_s"});
    for (const auto& event : events) CHECK(event.origin() == "auto");

    // The screens: Home, Detail, Settings, Detail again, Home again.
    const auto homeID = intParameter(events[2], "_si");
    const auto detailID = intParameter(events[4], "_si");
    const auto settingsID = intParameter(events[6], "_si");
    struct Expected {
        std::size_t index;
        const char* screenClass;
        std::int64_t id;
        std::optional<std::int64_t> previousID;
    };
    const Expected views[] = {
        {2, "HomePage", homeID, std::nullopt},  {4, "DetailPage", detailID, homeID},
        {6, "SettingsPage", settingsID, detailID}, {8, "DetailPage", detailID, settingsID},
        {10, "HomePage", homeID, detailID},
    };
    for (const auto& view : views) {
        CAPTURE(view.index);
        const auto& event = events[view.index];
        CHECK(stringParameter(event, "_sc") == view.screenClass);
        CHECK(intParameter(event, "_si") == view.id);
        if (view.previousID) {
            CHECK(intParameter(event, "_pi") == *view.previousID);
        } else {
            CHECK(event.parameter("_pi") == nullptr);
        }
    }
    CHECK(homeID != detailID);
    CHECK(detailID != settingsID);

    // Engagement, credited to the screen that was left (or shown at the
    // resignation), in milliseconds.
    const std::pair<std::size_t, std::pair<std::int64_t, std::int64_t>> engaged[] = {
        {3, {10000, homeID}}, {5, {5000, detailID}}, {7, {2000, settingsID}}, {9, {3000, detailID}}, {11, {4000, homeID}},
    };
    for (const auto& row : engaged) {
        const std::size_t index = row.first;
        const auto& expected = row.second;
        CAPTURE(index);
        CHECK(intParameter(events[index], "_et") == expected.first);
        CHECK(intParameter(events[index], "_si") == expected.second);
    }

    // Two sessions: at launch and after 31 minutes in the background.
    CHECK(intParameter(events[1], "_sno") == 1);
    CHECK(intParameter(events[1], "_sid") == static_cast<std::int64_t>(launchedAt));
    CHECK(stringParameter(events[1], "_sc") == "HomePage");
    CHECK(intParameter(events[12], "_sno") == 2);
    CHECK(intParameter(events[12], "_sid") == static_cast<std::int64_t>(reactivatedAt));
    CHECK(intParameter(events[12], "_si") == homeID);
    CHECK(events[12].timestamp() == reactivatedAt);
    CHECK(userProperty(app.engine, "_sno") == 2);
    CHECK(userProperty(app.engine, "_sid") == static_cast<std::int64_t>(reactivatedAt));
}

TEST_CASE("the engine's session reporter follows the engine") {
    HeadlessApplication app;
    app.launch();
    auto engine = APMMeasurement::sharedInstance();
    const auto sessions = engine->sessionReporter();
    REQUIRE(sessions);
    CHECK(sessions->reportingEnabled());
    CHECK(APMIsAppActive());
    CHECK(ZUDOScreenViewReporter::sharedInstance() == engine->screenViewReporter());

    SUBCASE("collection switched off and on switches session reporting") {
        VEZArurerudo::setAnalyticsCollectionEnabled(false);
        app.engine.settle();
        CHECK_FALSE(sessions->reportingEnabled());
        CHECK_FALSE(sessions->userEngagementTimer().scheduledTimestamp());
        VEZArurerudo::setAnalyticsCollectionEnabled(true);
        app.engine.settle();
        CHECK(sessions->reportingEnabled());
    }
    SUBCASE("the public session timeout reaches it") {
        VEZArurerudo::setSessionTimeoutInterval(120);
        app.engine.settle();
        CHECK(sessions->timeoutSessionInterval() == 120);
    }
    SUBCASE("wiping analytics data makes a new one with the engine's state") {
        VEZArurerudo::setAnalyticsCollectionEnabled(false);
        VEZArurerudo::resetAnalyticsData();
        app.engine.settle();
        const auto fresh = engine->sessionReporter();
        REQUIRE(fresh);
        CHECK(fresh != sessions);
        CHECK_FALSE(fresh->reportingEnabled());
    }
}

TEST_CASE("sessions from the worker queue: at engine start and for background work") {
    SUBCASE("an engine started while the application is active starts one session") {
        HeadlessApplication app;
        platform::ui::Application::shared().becomeActive();  // before the engine exists
        app.engine.configure();
        const auto starts = storedEvents(app.engine);
        REQUIRE(starts.size() == 2);
        CHECK(starts[1].name() == "_s");
        CHECK(intParameter(starts[1], "_sno") == 1);
    }
    SUBCASE("an event of background work starts or extends a session; other events leave it expired") {
        HeadlessApplication app;
        app.engine.configure();  // never active: no session
        CHECK_FALSE(APMIsAppActive());
        VEZArurerudo::logEventWithName("refresh", {{"extend_session", 1}});
        app.engine.settle();
        auto events = storedEvents(app.engine);
        REQUIRE(events.size() == 3);
        CHECK(events[1].name() == "_s");
        CHECK(intParameter(events[1], "_aib") == 1);
        CHECK(events[1].parameter("_si") == nullptr);
        CHECK(events[2].name() == "refresh");
        const double lastActivity = APMMeasurement::sharedInstance()->persistedConfig()->lastSessionActivityClockTime();

        app.wait(60);
        VEZArurerudo::logEventWithName("refresh", {{"extend_session", 1}});
        VEZArurerudo::logEventWithName("refresh", {{"extend_session", "yes"}});
        app.engine.settle();
        CHECK(storedEvents(app.engine).size() == 5);  // extended, no new "_s"
        CHECK(APMMeasurement::sharedInstance()->persistedConfig()->lastSessionActivityClockTime() == lastActivity + 60);
        CHECK(app.engine.monitor().hasCode(23179));
        CHECK(userProperty(app.engine, "_sno") == 1);

        // Once expired, the session's properties go with the next event.
        app.wait(1801);
        VEZArurerudo::logEventWithName("later");
        app.engine.settle();
        CHECK_FALSE(userProperty(app.engine, "_sno"));
        CHECK_FALSE(userProperty(app.engine, "_sid"));
    }
}
