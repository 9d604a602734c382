// The stack container's pushes and pops, and the pager.
#include <doctest/doctest.h>

#include "platform/dispatch/timer.h"
#include "platform/ui/application.h"
#include "platform/ui/navigation_controller.h"
#include "platform/ui/ui_log.h"
#include "platform/ui/window.h"

using namespace platform::ui;

namespace {

struct Page : ViewController {
    std::string name;
    std::vector<std::string>* log;
    Page(std::string n, std::vector<std::string>* l) : name(std::move(n)), log(l) {}
    void viewWillAppear(bool) override { log->push_back(name + " willAppear"); }
    void viewDidAppear(bool) override { log->push_back(name + " didAppear"); }
    void viewWillDisappear(bool) override { log->push_back(name + " willDisappear"); }
    void viewDidDisappear(bool) override { log->push_back(name + " didDisappear"); }
};

}  // namespace

TEST_CASE("a navigation controller shows the top of its stack") {
    platform::dispatch::ManualTime time;
    Application::shared().reset();
    clearLoggedMessages();
    std::vector<std::string> log;
    auto root = std::make_shared<Page>("root", &log);
    auto navigation = std::make_shared<NavigationController>(root);
    auto window = std::make_shared<Window>();
    window->setRootViewController(navigation);
    window->makeKeyAndVisible();
    CHECK(log == std::vector<std::string>{"root willAppear", "root didAppear"});
    log.clear();

    auto detail = std::make_shared<Page>("detail", &log);
    navigation->pushViewController(detail, true);
    // The views change at once; the appearance calls finish on the clock.
    CHECK(navigation->topViewController() == detail);
    CHECK(navigation->viewControllers().size() == 2);
    CHECK(detail->parent() == navigation);
    CHECK(detail->view()->window() == window);
    CHECK(root->view()->window() == nullptr);
    CHECK(log == std::vector<std::string>{"root willDisappear", "detail willAppear"});
    time.advance(0.29);
    CHECK(log.size() == 2);
    time.advance(0.01);
    CHECK(log == std::vector<std::string>{"root willDisappear", "detail willAppear", "root didDisappear",
                                          "detail didAppear"});

    SUBCASE("what the top presents is the visible controller") {
        auto sheet = std::make_shared<Page>("sheet", &log);
        detail->present(sheet, false);
        CHECK(navigation->visibleViewController() == sheet);
        CHECK(navigation->topViewController() == detail);
    }
    SUBCASE("pushing a controller twice is refused") {
        navigation->pushViewController(detail, false);
        CHECK(navigation->viewControllers().size() == 2);
        CHECK(loggedMessages().size() == 1);
    }
    SUBCASE("pop returns to the controller below; the root stays") {
        log.clear();
        CHECK(navigation->popViewController(false) == detail);
        CHECK(detail->parent() == nullptr);
        time.settle();
        CHECK(log == std::vector<std::string>{"detail willDisappear", "root willAppear", "detail didDisappear",
                                              "root didAppear"});
        CHECK(navigation->popViewController(false) == nullptr);
        CHECK(root->view()->window() == window);
    }
    SUBCASE("pop to the root takes every controller above it") {
        auto third = std::make_shared<Page>("third", &log);
        navigation->pushViewController(third, false);
        time.settle();
        CHECK(navigation->popToRootViewController(false) ==
              std::vector<std::shared_ptr<ViewController>>{detail, third});
        time.settle();
        CHECK(navigation->viewControllers() == std::vector<std::shared_ptr<ViewController>>{root});
        CHECK(log.back() == "root didAppear");
    }
}

TEST_CASE("a pager shows its first controller") {
    platform::dispatch::ManualTime time;
    Application::shared().reset();
    std::vector<std::string> log;
    auto first = std::make_shared<Page>("first", &log);
    auto second = std::make_shared<Page>("second", &log);
    auto pages = std::make_shared<PageViewController>();
    pages->setViewControllers({first}, false);
    auto window = std::make_shared<Window>();
    window->setRootViewController(pages);
    window->makeKeyAndVisible();
    CHECK(first->view()->window() == window);
    log.clear();
    pages->setViewControllers({second}, false);
    CHECK(log == std::vector<std::string>{"first willDisappear", "second willAppear", "first didDisappear",
                                          "second didAppear"});
    CHECK(first->parent() == nullptr);
    CHECK(second->view()->window() == window);
    CHECK(pages->viewControllers() == std::vector<std::shared_ptr<ViewController>>{second});
}
