#include <doctest/doctest.h>

#include "platform/dispatch/timer.h"
#include "platform/foundation/notification_center.h"
#include "platform/ui/application.h"
#include "platform/ui/window.h"

using namespace platform::ui;
using platform::URL;

TEST_CASE("the application opens addresses it can open, by scheme") {
    platform::dispatch::ManualTime time;
    auto& app = Application::shared();
    app.reset();
    auto store = *URL::parse("https://apps.example.com/app/id123?action=write-review");
    auto sibling = *URL::parse("kuvoapp://open");
    CHECK(app.canOpenURL(store));
    CHECK(app.canOpenURL(*URL::parse("HTTPS://example.com")));
    CHECK_FALSE(app.canOpenURL(sibling));
    std::vector<bool> results;
    app.openURL(sibling, {}, [&](bool ok) { results.push_back(ok); });
    app.openURL(store, {}, [&](bool ok) { results.push_back(ok); });
    CHECK(results.empty());  // completions come on the main queue
    time.settle();
    CHECK(results == std::vector<bool>{false, true});
    REQUIRE(app.openedURLs().size() == 1);
    CHECK(app.openedURLs()[0].string() == store.string());
    app.setOpenableSchemes({"kuvoapp"});
    CHECK(app.canOpenURL(sibling));
    CHECK_FALSE(app.canOpenURL(store));
    app.reset();
    CHECK(app.openedURLs().empty());
    CHECK(app.canOpenURL(store));
}

TEST_CASE("launch and activation") {
    auto& app = Application::shared();
    app.reset();
    std::vector<std::string> log;
    struct Delegate : ApplicationDelegate {
        std::vector<std::string>* log;
        explicit Delegate(std::vector<std::string>* l) : log(l) {}
        bool didFinishLaunching(Application& a) override {
            log->push_back(a.applicationState() == ApplicationState::inactive ? "launch (inactive)" : "launch");
            return true;
        }
        void didBecomeActive(Application&) override { log->push_back("active"); }
        void willResignActive(Application&) override { log->push_back("resign"); }
        void didEnterBackground(Application&) override { log->push_back("background"); }
    };
    auto& center = platform::NotificationCenter::defaultCenter();
    auto launched = center.addObserver(Application::didFinishLaunchingNotification, &app,
                                       [&](const platform::Notification& n) {
                                           log.push_back("launched " + n.userInfo.at(Application::launchOptionsURLKey)
                                                                           .stringValue());
                                       });
    auto token = center.addObserver(Application::didBecomeActiveNotification, &app,
                                    [&](const platform::Notification&) { log.push_back("posted"); });
    auto resigned = center.addObserver(Application::willResignActiveNotification, &app,
                                       [&](const platform::Notification&) { log.push_back("posted resign"); });
    auto backgrounded = center.addObserver(Application::didEnterBackgroundNotification, &app,
                                           [&](const platform::Notification&) { log.push_back("posted background"); });
    CHECK(app.launch(std::make_shared<Delegate>(&log), {{Application::launchOptionsURLKey, "bern://open?k=2"}}));
    CHECK(app.applicationState() == ApplicationState::active);
    app.enterBackground();
    app.enterForeground();
    app.becomeActive();
    CHECK(log == std::vector<std::string>{"launch (inactive)", "launched bern://open?k=2", "active", "posted", "resign",
                                          "posted resign", "background", "posted background", "active", "posted"});
}

TEST_CASE("scenes, windows and the key window") {
    auto& app = Application::shared();
    app.reset();
    SUBCASE("a window shown joins the first scene and becomes its key window") {
        auto window = std::make_shared<Window>();
        CHECK(app.keyWindow() == nullptr);
        window->makeKeyAndVisible();
        CHECK(app.keyWindow() == window);
        CHECK(app.connectedScenes().front()->windows() == std::vector<std::shared_ptr<Window>>{window});
        std::vector<const void*> resigned;
        auto token = platform::NotificationCenter::defaultCenter().addObserver(
            Window::didResignKeyNotification, nullptr,
            [&](const platform::Notification& note) { resigned.push_back(note.object); });
        auto second = std::make_shared<Window>();
        second->makeKeyAndVisible();
        CHECK(app.keyWindow() == second);
        CHECK_FALSE(window->isKeyWindow());
        second->makeKey();  // already key: nothing resigns
        window->makeKey();
        CHECK(resigned == std::vector<const void*>{window.get(), second.get()});
        second->makeKey();
        second.reset();  // a window that goes leaves its scene
        CHECK(app.windows().size() == 1);
    }
    SUBCASE("without a connected scene there is no key window") {
        app.disconnectScene(app.connectedScenes().front());
        auto window = std::make_shared<Window>();
        window->makeKeyAndVisible();
        CHECK(app.keyWindow() == nullptr);
        CHECK(window->isVisible());
    }
    SUBCASE("the screen and the device are configurable") {
        Rect saved = Screen::main().bounds();
        Screen::main().setBounds({0, 0, 820, 1180});
        Device::current().setUserInterfaceIdiom(UserInterfaceIdiom::pad);
        CHECK(std::make_shared<Window>()->frame() == Rect(0, 0, 820, 1180));
        CHECK(currentTraits().horizontalSizeClass == SizeClass::regular);
        Screen::main().setBounds(saved);
        Device::current().setUserInterfaceIdiom(UserInterfaceIdiom::phone);
        CHECK(currentTraits().horizontalSizeClass == SizeClass::compact);
    }
}
