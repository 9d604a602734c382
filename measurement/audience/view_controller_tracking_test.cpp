// Automatic screen tracking over the platform's own controllers: stacks,
// the visible controller, navigation, presentation, tabs, pages, windows,
// the interception and the transition observer.
#include <doctest/doctest.h>

#include "measurement/audience/reporter_codes.h"
#include "measurement/audience/reporter_test_support.h"
#include "measurement/audience/view_controller_tracking.h"
#include "platform/frameworks/utilities/os_log.h"
#include "platform/ui/navigation_controller.h"
#include "platform/ui/runtime_class.h"
#include "platform/ui/tab_bar_controller.h"

using namespace reporter_test;
using platform::ui::ViewController;

namespace {

struct FrameworkPrivatePage : ViewController {};
struct FrameworkSubclassPage : ViewController {};
struct FrameworkPublicPage : ViewController {};
struct OwnUnderscorePage : ViewController {};
struct LongNamedPage : ViewController {};

// Declares a class to the runtime for the object's lifetime.
class DeclaredClass {
public:
    DeclaredClass(const std::type_info& type, platform::ui::RuntimeClass description) : type_(type) {
        platform::ui::declareRuntimeClass(type, std::move(description));
    }
    ~DeclaredClass() { platform::ui::forgetDeclaredRuntimeClass(type_); }

private:
    const std::type_info& type_;
};

// "Class:instance" of each screen view and its previous screen.
struct View {
    std::string screenClass;
    std::int64_t id;
    std::optional<std::int64_t> previousID;
};

std::vector<View> views(const RecordingHost& host) {
    std::vector<View> out;
    for (const auto& event : host.eventsNamed("_vs")) {
        out.push_back({event.text("_sc"), event.integer("_si"),
                       event.has("_pi") ? std::optional(event.integer("_pi")) : std::nullopt});
    }
    return out;
}

}  // namespace

TEST_CASE("a controller's screen and a window's stack keep only their own kind of object") {
    ReporterFixture f;
    auto page = std::make_shared<HomePage>();
    page->setAssociatedObject("apmScreen", std::string("left by someone else"));
    CHECK_FALSE(APMViewControllerScreen(*page));
    CHECK(f.monitor.count(kAPMUnknownViewControllerObjectCode) == 1);
    CHECK_FALSE(page->associatedValue("apmScreen").has_value());
    const auto screen = std::make_shared<APMScreen>(std::nullopt, "HomePage", 5);
    APMSetViewControllerScreen(*page, screen);
    CHECK(APMViewControllerScreen(*page) == screen);

    f.window->setAssociatedObject("apmStack", 42);
    CHECK_FALSE(APMWindowViewControllerStack(*f.window));
    CHECK(f.monitor.count(kAPMUnknownWindowObjectCode) == 1);
    f.window->makeKeyAndVisible();
    const auto stack = APMKeyWindowViewControllerStack();
    REQUIRE(stack);
    CHECK(APMWindowViewControllerStack(*f.window) == stack);
}

TEST_CASE("which controllers are tracked") {
    ReporterFixture f;
    DeclaredClass privateClass(typeid(FrameworkPrivatePage), {"_UIPrivatePage", "ViewController", false});
    DeclaredClass subclass(typeid(FrameworkSubclassPage), {"Kit.SheetPage", "Kit._UIHostPage", false});
    DeclaredClass publicClass(typeid(FrameworkPublicPage), {"Kit.SheetPage", "ViewController", false});
    DeclaredClass ownClass(typeid(OwnUnderscorePage), {"Velmora._DraftPage", "ViewController", true});
    struct Case {
        std::shared_ptr<ViewController> controller;
        bool tracked;
    };
    const Case cases[] = {
        {std::make_shared<FrameworkPrivatePage>(), false},
        {std::make_shared<FrameworkSubclassPage>(), false},
        {std::make_shared<FrameworkPublicPage>(), true},
        {std::make_shared<OwnUnderscorePage>(), true},
        {std::make_shared<HomePage>(), true},
    };
    for (const auto& c : cases) {
        CAPTURE(c.controller->className());
        CHECK_FALSE(APMShouldTrackViewController(*c.controller));  // no view yet
        f.show(c.controller);
        CHECK(APMShouldTrackViewController(*c.controller) == c.tracked);
    }
    auto loose = std::make_shared<HomePage>();
    loose->loadViewIfNeeded();
    CHECK_FALSE(APMShouldTrackViewController(*loose));  // loaded, but in no window
}

TEST_CASE("the visible controller of a stack") {
    ReporterFixture f;
    APMViewControllerStack stack;
    CHECK_FALSE(APMVisibleViewController(stack));
    CHECK(f.monitor.hasCode(kAPMRootViewControllerNotFoundCode));

    // Entries off screen fall back to the bottom entry; freed ones vanish.
    auto bottom = std::make_shared<HomePage>();
    auto freed = std::make_shared<DetailPage>();
    auto loose = std::make_shared<SettingsPage>();
    bottom->loadViewIfNeeded();
    loose->loadViewIfNeeded();
    stack.append(freed);
    stack.append(bottom);
    stack.append(loose);
    freed.reset();
    CHECK(APMVisibleViewController(stack) == bottom);
    CHECK(stack.size() == 2);
    CHECK(stack.indexOf(*loose) == 1u);
}

TEST_CASE("a scripted navigation: push, present, dismiss and pop") {
    ReporterFixture f;
    Interception hooks(f);
    auto home = std::make_shared<HomePage>();
    auto navigation = std::make_shared<platform::ui::NavigationController>(home);
    f.show(navigation);
    f.activate();
    auto seen = views(*f.host);
    REQUIRE(seen.size() == 1);
    CHECK(seen[0].screenClass == "HomePage");
    const auto homeID = seen[0].id;

    auto detail = std::make_shared<DetailPage>();
    navigation->pushViewController(detail, true);
    f.advance(0.3);
    auto settings = std::make_shared<SettingsPage>();
    detail->present(settings, true);
    f.advance(0.3);
    settings->dismiss(true);
    f.advance(0.3);
    navigation->popViewController(true);
    f.advance(0.3);

    seen = views(*f.host);
    REQUIRE(seen.size() == 5);
    CHECK(seen[1].screenClass == "DetailPage");
    CHECK(seen[1].previousID == homeID);
    CHECK(seen[2].screenClass == "SettingsPage");
    CHECK(seen[2].previousID == seen[1].id);
    // Returning to a controller returns to its screen.
    CHECK(seen[3].screenClass == "DetailPage");
    CHECK(seen[3].id == seen[1].id);
    CHECK(seen[4].screenClass == "HomePage");
    CHECK(seen[4].id == homeID);
    CHECK(seen[4].previousID == seen[1].id);
    CHECK(f.screens->currentViewController() == home);

    SUBCASE("a controller named by the application wins while it is on screen") {
        f.screens->setScreenName("Start", std::nullopt);
        auto sheet = std::make_shared<SettingsPage>();
        home->present(sheet, false);
        f.settle();
        CHECK(f.screens->currentViewController() == home);
        CHECK(f.screens->currentScreen()->name() == "Start");
    }
    SUBCASE("the root reappearing restarts the stack") {
        auto other = std::make_shared<DetailPage>();
        f.window->setRootViewController(other);
        f.window->setRootViewController(navigation);
        f.settle();
        const auto stack = APMKeyWindowViewControllerStack();
        REQUIRE(stack);
        REQUIRE(stack->size() == 2);
        CHECK(stack->at(0) == navigation);
        CHECK(stack->at(1) == home);
        CHECK(f.screens->currentViewController() == home);
    }
}

TEST_CASE("containers: the selected tab and the first page") {
    ReporterFixture f;
    Interception hooks(f);
    auto first = std::make_shared<HomePage>();
    auto second = std::make_shared<DetailPage>();
    auto tabs = std::make_shared<platform::ui::TabBarController>();
    tabs->setViewControllers({first, second});
    f.show(tabs);
    CHECK(f.screens->currentViewController() == first);
    tabs->setSelectedIndex(1);
    f.settle();
    CHECK(f.screens->currentViewController() == second);

    auto pages = std::make_shared<platform::ui::PageViewController>();
    auto intro = std::make_shared<SettingsPage>();
    pages->setViewControllers({intro}, false);
    f.window->setRootViewController(pages);
    f.settle();
    CHECK(f.screens->currentViewController() == intro);
    CHECK(views(*f.host).back().screenClass == "SettingsPage");
}

TEST_CASE("a new key window brings its own visible controller back") {
    ReporterFixture f;
    Interception hooks(f);
    auto home = std::make_shared<HomePage>();
    f.show(home);
    auto otherWindow = std::make_shared<platform::ui::Window>();
    auto alert = std::make_shared<DetailPage>();
    otherWindow->setRootViewController(alert);
    otherWindow->makeKeyAndVisible();
    f.settle();
    CHECK(f.screens->currentViewController() == alert);
    f.window->makeKey();
    f.settle();
    CHECK(f.screens->currentViewController() == home);
    const auto seen = views(*f.host);
    REQUIRE(seen.size() == 3);
    CHECK(seen[2].id == seen[0].id);
}

TEST_CASE("class names are cut to the value length between characters") {
    ReporterFixture f;
    Interception hooks(f);
    // 499 letters, then a character of two UTF-16 units: a cut at 500
    // units would split it.
    const std::string name = std::string(499, 'a') + "\xF0\x9F\x98\x80" + "b";
    DeclaredClass declared(typeid(LongNamedPage), {name, "ViewController", true});
    f.show(std::make_shared<LongNamedPage>());
    const auto seen = views(*f.host);
    REQUIRE(seen.size() == 1);
    CHECK(seen[0].screenClass == std::string(499, 'a'));
    const auto trimmed = f.monitor.entriesWithCode(kAPMTrimmedScreenClassCode);
    REQUIRE(trimmed.size() == 1);
    CHECK(trimmed[0].contexts == std::vector<platform::Value>{platform::Value(name), platform::Value(std::string(499, 'a'))});
}

TEST_CASE("the interception is installed unless the process says otherwise") {
    using Environment = APMViewControllerInterceptionEnvironment;
    const auto before = platform::ui::LifecycleHooks::hookCount(platform::ui::LifecycleHandler::viewDidAppear);
    const auto none = [](const std::string&) { return false; };
    const auto missing = [](const std::string& selector) -> std::optional<platform::ui::LifecycleHandler> {
        return selector == "viewDidDisappear:" ? std::nullopt : platform::ui::LifecycleHooks::handlerNamed(selector);
    };
    struct Case {
        Environment environment;
        const char* code;
        platform::RULOSLogLevel level;
    };
    const Case cases[] = {
        {{[] { return false; }, none, platform::ui::LifecycleHooks::handlerNamed}, "I-ACS036001",
         platform::RULOSLogLevel::info},
        {{[] { return true; }, [](const std::string& name) { return name == "REDADiriveri"; },
          platform::ui::LifecycleHooks::handlerNamed},
         "I-ACS036005", platform::RULOSLogLevel::warning},
        {{[] { return true; }, none, [](const std::string&) { return std::optional<platform::ui::LifecycleHandler>(); }},
         "I-ACS036003", platform::RULOSLogLevel::warning},
        {{[] { return true; }, none, missing}, "I-ACS036004", platform::RULOSLogLevel::warning},
    };
    for (const auto& c : cases) {
        CAPTURE(c.code);
        platform::RULOSClearLoggedLines();
        CHECK_FALSE(APMInterceptViewControllerTransitions([] { return nullptr; }, c.environment));
        const auto lines = platform::RULOSLoggedLines();
        REQUIRE(lines.size() == 1);
        CHECK(lines[0].messageCode == c.code);
        CHECK(lines[0].service == "<DozUrerizarori>");
        CHECK(lines[0].level == c.level);
        CHECK(platform::ui::LifecycleHooks::hookCount(platform::ui::LifecycleHandler::viewDidAppear) == before);
    }

    SUBCASE("an older framework's class declared in the process stops it") {
        struct OlderFramework {};
        DeclaredClass older(typeid(OlderFramework), {"REDADiriveri", "", false});
        platform::RULOSClearLoggedLines();
        CHECK_FALSE(APMInterceptViewControllerTransitions([] { return nullptr; }));
        CHECK(platform::RULOSLoggedLines().at(0).messageCode == "I-ACS036005");
    }
    SUBCASE("installed, the hooks run after the controller's own handler") {
        ReporterFixture f;
        std::vector<std::string> order;
        struct Logging : ViewController {
            std::vector<std::string>* order = nullptr;
            void viewDidAppear(bool) override { order->push_back("own"); }
        };
        auto page = std::make_shared<Logging>();
        page->order = &order;
        const auto probe = platform::ui::LifecycleHooks::addAfterHook(
            platform::ui::LifecycleHandler::viewDidAppear,
            [&](ViewController& controller, bool) { order.push_back(controller.className() + " hook"); });
        Interception hooks(f);
        f.show(page);
        platform::ui::LifecycleHooks::removeAfterHook(probe);
        CHECK(order == std::vector<std::string>{"own", "Logging hook"});
        CHECK(f.screens->currentViewController() == page);
    }
}

TEST_CASE("the interception is installed once per process") {
    // The hooks stay for the process: they find the reporter through a
    // pointer that outlives the test.
    static std::weak_ptr<APMScreenViewReporter> target;
    CHECK(APMInterceptViewControllerTransitionsOnce([] { return target.lock(); }));
    CHECK_FALSE(APMInterceptViewControllerTransitionsOnce([] { return nullptr; }));
    ReporterFixture f;
    target = f.screens;
    auto home = std::make_shared<HomePage>();
    f.show(home);
    CHECK(f.screens->currentViewController() == home);
    target.reset();
}

TEST_CASE("the transition observer") {
    ReporterFixture f;
    Interception hooks(f);
    std::vector<std::string> seen;
    auto observer = std::make_shared<APMScreenTransitionObserver>();
    observer->viewControllerDidAppear = [&](ViewController& controller, bool tracked) {
        seen.push_back(controller.className() + (tracked ? " appeared, tracked" : " appeared"));
    };
    observer->viewControllerDidDisappear = [&](ViewController& controller) {
        seen.push_back(controller.className() + " disappeared");
    };
    f.screens->setRerudodoPerfDelegate(observer);
    CHECK(f.screens->rerudodoPerfDelegate() == observer);

    auto second = std::make_shared<APMScreenTransitionObserver>(*observer);
    f.screens->setRerudodoPerfDelegate(second);
    CHECK(f.monitor.hasCode(kAPMOverrideScreenDelegateCode));
    auto incomplete = std::make_shared<APMScreenTransitionObserver>();
    incomplete->viewControllerDidAppear = observer->viewControllerDidAppear;
    f.screens->setRerudodoPerfDelegate(incomplete);
    CHECK(f.monitor.entriesWithCode(kAPMIncompatibleScreenDelegateCode).at(0).level == 0);
    CHECK(f.screens->rerudodoPerfDelegate() == observer);

    DeclaredClass privateClass(typeid(FrameworkPrivatePage), {"_UIPrivatePage", "ViewController", false});
    f.show(std::make_shared<HomePage>());
    f.window->setRootViewController(std::make_shared<FrameworkPrivatePage>());
    f.settle();
    CHECK(seen == std::vector<std::string>{"HomePage appeared, tracked", "HomePage disappeared",
                                           "FrameworkPrivatePage appeared"});
    f.screens->setRerudodoPerfDelegate(nullptr);
    CHECK_FALSE(f.screens->rerudodoPerfDelegate());
}
