#include <doctest/doctest.h>

#include <stdexcept>
#include <thread>

#include "platform/dispatch/timer.h"
#include "platform/ui/alert_controller.h"
#include "platform/ui/application.h"
#include "platform/ui/control.h"
#include "platform/ui/ui_log.h"
#include "platform/ui/interaction.h"
#include "platform/ui/image_view.h"
#include "platform/ui/label.h"
#include "platform/ui/scroll_view.h"
#include "platform/ui/storyboard.h"
#include "platform/ui/tab_bar_controller.h"
#include "platform/ui/window.h"

using namespace platform::ui;

namespace {

// Writes every lifecycle call into a shared log.
struct Page : ViewController {
    std::string name;
    std::vector<std::string>* log;
    Page(std::string n, std::vector<std::string>* l) : name(std::move(n)), log(l) {}
    void loadView() override {
        log->push_back(name + " loadView");
        ViewController::loadView();
    }
    void viewDidLoad() override { log->push_back(name + " viewDidLoad"); }
    void viewWillAppear(bool) override { log->push_back(name + " willAppear"); }
    void viewDidAppear(bool) override { log->push_back(name + " didAppear"); }
    void viewWillDisappear(bool) override { log->push_back(name + " willDisappear"); }
    void viewDidDisappear(bool) override { log->push_back(name + " didDisappear"); }
};

struct Scene {
    platform::dispatch::ManualTime time;
    std::vector<std::string> log;
    std::shared_ptr<Window> window = std::make_shared<Window>();
    std::shared_ptr<Page> root = std::make_shared<Page>("root", &log);

    Scene() {
        Application::shared().reset();
        clearLoggedMessages();
        window->setRootViewController(root);
        window->makeKeyAndVisible();
        log.clear();
    }
};

std::shared_ptr<Label> findLabel(View& view, const std::string& text) {
    for (const auto& sub : view.subviews()) {
        if (auto label = std::dynamic_pointer_cast<Label>(sub); label && label->text() == text) return label;
        if (auto found = findLabel(*sub, text)) return found;
    }
    return nullptr;
}

}  // namespace

TEST_CASE("a controller loads its view once and appears in its window") {
    platform::dispatch::ManualTime time;
    Application::shared().reset();
    std::vector<std::string> log;
    auto page = std::make_shared<Page>("page", &log);
    CHECK_FALSE(page->isViewLoaded());
    auto view = page->view();
    CHECK(page->view() == view);
    CHECK(view->viewController() == page.get());
    CHECK(view->frame() == Screen::main().bounds());
    auto window = std::make_shared<Window>();
    window->setRootViewController(page);
    CHECK(log == std::vector<std::string>{"page loadView", "page viewDidLoad"});
    window->makeKeyAndVisible();
    CHECK(log == std::vector<std::string>{"page loadView", "page viewDidLoad", "page willAppear", "page didAppear"});
    CHECK(window->isKeyWindow());
    CHECK(Application::shared().keyWindow() == window);
    auto other = std::make_shared<Page>("other", &log);
    log.clear();
    window->setRootViewController(other);
    CHECK(log == std::vector<std::string>{"page willDisappear", "page didDisappear", "other loadView",
                                          "other viewDidLoad", "other willAppear", "other didAppear"});
    CHECK(page->view()->superview() == nullptr);
}

TEST_CASE("modal presentation") {
    Scene s;
    auto sheet = std::make_shared<Page>("sheet", &s.log);
    int completions = 0;

    SUBCASE("the presented view is in the window at once; viewDidAppear and the completion follow on the clock") {
        s.root->present(sheet, true, [&] { ++completions; });
        CHECK(s.root->presentedViewController() == sheet);
        CHECK(sheet->presentingViewController() == s.root);
        CHECK(sheet->view()->window() == s.window);
        CHECK(sheet->isBeingPresented());
        CHECK(s.log == std::vector<std::string>{"sheet loadView", "sheet viewDidLoad", "sheet willAppear"});
        s.time.advance(0.29);
        CHECK(completions == 0);
        bool presentingWhileAppearing = false;
        const auto probe = LifecycleHooks::addAfterHook(
            LifecycleHandler::viewDidAppear,
            [&](ViewController& vc, bool) { presentingWhileAppearing = vc.isBeingPresented(); });
        s.time.advance(0.01);
        LifecycleHooks::removeAfterHook(probe);
        CHECK(completions == 1);
        CHECK(s.log.back() == "sheet didAppear");
        // Still being presented while its did-appear runs, no longer after.
        CHECK(presentingWhileAppearing);
        CHECK_FALSE(sheet->isBeingPresented());
        CHECK(sheet->presentedStyle() == ModalPresentationStyle::pageSheet);  // automatic on a phone
    }
    SUBCASE("a second presentation is refused with a warning and its completion never runs") {
        s.root->present(sheet, false);
        auto second = std::make_shared<ViewController>();
        s.root->present(second, true, [&] { ++completions; });
        s.time.advance(1);
        CHECK(completions == 0);
        CHECK(s.root->presentedViewController() == sheet);
        CHECK(second->presentingViewController() == nullptr);
        auto messages = loggedMessages();
        REQUIRE_FALSE(messages.empty());
        CHECK(messages.back().find("which is already presenting <Page>") != std::string::npos);
    }
    SUBCASE("a child presents from its presentation context: the root") {
        auto child = std::make_shared<ViewController>();
        s.root->addChild(child);
        s.root->view()->addSubview(child->view());
        child->present(sheet, false);
        CHECK(sheet->presentingViewController() == s.root);
        CHECK(child->presentedViewController() == sheet);
        child->present(std::make_shared<ViewController>(), false);
        CHECK(loggedMessages().size() == 1);
        child->dismiss(false);
        CHECK(s.root->presentedViewController() == nullptr);
    }
    SUBCASE("a presented controller presents on top; dismissing below takes both") {
        s.root->present(sheet, false);
        auto alert = std::make_shared<Page>("alert", &s.log);
        sheet->present(alert, false);
        CHECK(s.window->presentationChain().size() == 3);
        s.time.settle();
        s.log.clear();
        s.root->dismiss(false, [&] { ++completions; });
        CHECK(s.root->presentedViewController() == nullptr);
        CHECK(sheet->presentedViewController() == nullptr);
        CHECK(alert->viewIfLoaded()->window() == nullptr);
        s.time.settle();
        CHECK(completions == 1);
        CHECK(std::count(s.log.begin(), s.log.end(), "alert didDisappear") == 1);
        CHECK(std::count(s.log.begin(), s.log.end(), "sheet didDisappear") == 1);
    }
    SUBCASE("a full-screen presentation covers the presenter, which comes back when it goes") {
        sheet->setModalPresentationStyle(ModalPresentationStyle::fullScreen);
        s.root->present(sheet, false);
        s.time.settle();
        CHECK(s.log == std::vector<std::string>{"sheet loadView", "sheet viewDidLoad", "root willDisappear",
                                                "sheet willAppear", "sheet didAppear", "root didDisappear"});
        s.log.clear();
        sheet->dismiss(true);
        s.time.advance(0.3);
        CHECK(s.log == std::vector<std::string>{"sheet willDisappear", "root willAppear", "sheet didDisappear",
                                                "root didAppear"});
    }
    SUBCASE("over the current context the presenter stays") {
        sheet->setModalPresentationStyle(ModalPresentationStyle::overCurrentContext);
        sheet->setModalTransitionStyle(ModalTransitionStyle::crossDissolve);
        s.root->present(sheet, true);
        s.time.advance(0.3);
        CHECK(std::find(s.log.begin(), s.log.end(), "root willDisappear") == s.log.end());
    }
    SUBCASE("nothing is presented from a controller outside any window") {
        auto loose = std::make_shared<ViewController>();
        loose->present(sheet, false, [&] { ++completions; });
        s.time.settle();
        CHECK(completions == 0);
        CHECK(loggedMessages().back().find("not in the window hierarchy") != std::string::npos);
    }
    SUBCASE("a popover needs a source view on a tablet; on a phone it adapts") {
        sheet->setModalPresentationStyle(ModalPresentationStyle::popover);
        s.root->present(sheet, false);
        CHECK(sheet->presentedStyle() == ModalPresentationStyle::fullScreen);
        sheet->dismiss(false);
        s.time.settle();
        struct KeepPopover : PresentationControllerDelegate {
            ModalPresentationStyle adaptivePresentationStyle(PresentationController&, const TraitCollection&) override {
                return ModalPresentationStyle::none;
            }
        };
        auto keep = std::make_shared<KeepPopover>();
        sheet->popoverPresentationController()->setDelegate(keep);
        sheet->popoverPresentationController()->setSourceView(s.root->view());
        s.root->present(sheet, false);
        CHECK(sheet->presentedStyle() == ModalPresentationStyle::popover);
        sheet->dismiss(false);
        s.time.settle();
        Device::current().setUserInterfaceIdiom(UserInterfaceIdiom::pad);
        auto share = std::make_shared<ActivityViewController>(std::vector<ActivityItem>{std::string("text")});
        s.root->present(share, false);
        CHECK(share->presentingViewController() == nullptr);
        CHECK(loggedMessages().back().find("source view") != std::string::npos);
        share->popoverPresentationController()->setSourceView(s.root->view());
        share->popoverPresentationController()->setSourceRect({0, 844, 390, 50});
        s.root->present(share, false);
        CHECK(share->presentingViewController() == s.root);
        Device::current().setUserInterfaceIdiom(UserInterfaceIdiom::phone);
    }
}

TEST_CASE("alerts dismiss first, then run the chosen action's handler") {
    Scene s;
    std::vector<std::string> order;
    auto alert = AlertController::make("Clear History", "Are you sure to delete your whole history?",
                                       AlertControllerStyle::alert);
    std::shared_ptr<Page> root = s.root;
    alert->addAction(AlertAction::make("Clear", AlertActionStyle::defaultStyle, [&](AlertAction& a) {
        order.push_back("handler " + *a.title());
        // by now the alert is gone: a new presentation succeeds
        order.push_back(root->presentedViewController() ? "still presenting" : "nothing presented");
    }));
    alert->addAction(AlertAction::make("Cancel", AlertActionStyle::cancel));

    SUBCASE("a second cancel action is refused") {
        CHECK_THROWS_AS(alert->addAction(AlertAction::make("Close", AlertActionStyle::cancel)), std::logic_error);
        CHECK(alert->actions().size() == 2);
    }
    SUBCASE("an alert that is not shown cannot be answered") {
        CHECK_FALSE(alert->tapAction("Clear"));
        CHECK(order.empty());
    }
    SUBCASE("choosing an action") {
        s.root->present(alert, true, [&] { order.push_back("shown"); });
        s.time.advance(0.3);
        CHECK(alert->tapAction("Clear"));
        CHECK_FALSE(alert->tapAction("Cancel"));  // only one answer
        CHECK(order == std::vector<std::string>{"shown"});
        s.time.advance(0.29);
        CHECK(order == std::vector<std::string>{"shown"});
        s.time.advance(0.01);
        CHECK(order == std::vector<std::string>{"shown", "handler Clear", "nothing presented"});
    }
    SUBCASE("the alert's own buttons answer it") {
        s.root->present(alert, false);
        s.time.settle();
        auto button = findView(*alert->view(), "alertAction0");
        REQUIRE(button);
        CHECK(tap(*button));
        s.time.advance(0.3);
        CHECK(order.front() == "handler Clear");
    }
    SUBCASE("an action without handler just closes the alert") {
        s.root->present(alert, false);
        CHECK(alert->tapAction(1));
        s.time.advance(0.3);
        CHECK(order.empty());
        CHECK(s.root->presentedViewController() == nullptr);
    }
}

TEST_CASE("a share sheet finishes like an alert") {
    Scene s;
    auto sheet = std::make_shared<ActivityViewController>(std::vector<ActivityItem>{Image({390, 2000})});
    std::optional<std::string> chosen;
    sheet->setCompletionWithItemsHandler([&](std::optional<std::string> type, bool completed) {
        if (completed) chosen = type;
    });
    s.root->present(sheet, true);
    CHECK(sheet->finish("saveToCameraRoll", true));
    CHECK_FALSE(chosen);
    s.time.advance(0.3);
    CHECK(chosen == "saveToCameraRoll");
}

TEST_CASE("a share sheet's own buttons close it or choose an application activity") {
    struct Case {
        const char* button;
        std::optional<std::string> activity;
        bool completed;
    };
    for (const auto& c : std::vector<Case>{{"Close", std::nullopt, false}, {"Print solution", "Print solution", true}}) {
        CAPTURE(c.button);
        Scene s;
        auto sheet = std::make_shared<ActivityViewController>(std::vector<ActivityItem>{Image({390, 2000})},
                                                              std::vector<std::string>{"Print solution"});
        std::vector<std::pair<std::optional<std::string>, bool>> finished;
        sheet->setCompletionWithItemsHandler(
            [&](std::optional<std::string> type, bool completed) { finished.emplace_back(type, completed); });
        s.root->present(sheet, false);
        s.time.settle();
        s.window->layoutIfNeeded();
        auto button = findButton(*sheet->view(), c.button);
        REQUIRE(button);
        CHECK(sheet->view()->bounds().intersection(button->frame()) == button->frame());
        CHECK(tap(*button));
        s.time.advance(0.3);
        CHECK(s.root->presentedViewController() == nullptr);
        REQUIRE(finished.size() == 1);
        CHECK(finished[0].first == c.activity);
        CHECK(finished[0].second == c.completed);
    }
}

TEST_CASE("a share sheet shows what it shares: each picture scaled to fit, the texts under them") {
    Scene s;
    const Image tall({390, 2000}), wide({600, 100});
    auto sheet = std::make_shared<ActivityViewController>(std::vector<ActivityItem>{tall, std::string("a caption"), wide});
    s.root->present(sheet, false);
    s.time.settle();
    s.window->layoutIfNeeded();
    const Rect frame = sheet->view()->frame();
    CHECK(frame.height() > 0);
    CHECK(frame.maxY() <= s.window->bounds().height());
    std::vector<std::shared_ptr<ImageView>> pictures;
    for (const auto& sub : sheet->view()->subviews()) {
        if (auto picture = std::dynamic_pointer_cast<ImageView>(sub)) pictures.push_back(picture);
    }
    REQUIRE(pictures.size() == 2);
    CHECK(pictures[0]->image()->size() == tall.size());
    CHECK(pictures[1]->image()->size() == wide.size());
    CHECK(pictures[0]->contentMode() == ContentMode::scaleAspectFit);
    CHECK(pictures[0]->frame().maxX() <= pictures[1]->frame().minX());  // side by side
    auto caption = findLabel(*sheet->view(), "a caption");
    REQUIRE(caption);
    CHECK(caption->frame().minY() >= pictures[0]->frame().maxY());
    CHECK(caption->frame().maxY() <= frame.height());
}

TEST_CASE("storyboards and nibs are registries filled by our own builders") {
    Application::shared().reset();
    std::vector<std::string> log;
    int awakened = 0;
    struct Awake : ViewController {
        int* count;
        explicit Awake(int* c) : count(c) {}
        void awakeFromNib() override { ++*count; }
    };
    Storyboard::registerScene("Main", "CalculateViewController", [&] { return std::make_shared<Awake>(&awakened); });
    Storyboard::registerScene("Main", "LeftViewController", [&] { return std::make_shared<Page>("left", &log); });
    Storyboard::setInitialScene("Main", "LeftViewController");
    auto board = Storyboard::named("Main");
    REQUIRE(board);
    auto first = board->instantiateViewController("CalculateViewController");
    auto second = board->instantiateViewController("CalculateViewController");
    CHECK(first != second);
    CHECK(awakened == 2);
    CHECK(first->storyboardName() == "Main");
    CHECK(board->instantiate<Page>("LeftViewController"));
    CHECK(board->instantiate<Page>("CalculateViewController") == nullptr);
    CHECK(std::dynamic_pointer_cast<Page>(board->instantiateInitialViewController()));
    clearLoggedMessages();
    CHECK(board->instantiateViewController("Nope") == nullptr);
    CHECK(loggedMessages().size() == 1);
    CHECK_FALSE(Storyboard::named("SolutionViewController"));
    Storyboard::unregister("Main");
    CHECK_FALSE(Storyboard::named("Main"));

    SUBCASE("a controller's view from its nib; the builder connects the owner's outlets") {
        struct Manual : ViewController {
            std::shared_ptr<Label> label;
            Manual() : ViewController("ManualViewController") {}
        };
        Nib::registerNib("ManualViewController", [](Responder* owner) {
            auto root = std::make_shared<View>(Rect(0, 0, 390, 700));
            auto label = std::make_shared<Label>();
            root->addSubview(label);
            if (auto* manual = dynamic_cast<Manual*>(owner)) manual->label = label;
            return std::vector<std::shared_ptr<View>>{root};
        });
        auto manual = std::make_shared<Manual>();
        CHECK(manual->view()->frame().height() == 700);
        REQUIRE(manual->label);
        CHECK(manual->label->superview() == manual->view());
        Nib::unregister("ManualViewController");
        auto missing = std::make_shared<Manual>();
        clearLoggedMessages();
        CHECK(missing->view()->frame() == Screen::main().bounds());
        CHECK(loggedMessages().size() == 1);
    }
}

TEST_CASE("the platform's tab container") {
    Scene s;
    auto tabs = std::make_shared<TabBarController>();
    auto first = std::make_shared<Page>("first", &s.log), second = std::make_shared<Page>("second", &s.log);
    tabs->setViewControllers({first, second});
    s.window->setRootViewController(tabs);
    CHECK(first->tabBarController() == tabs);
    CHECK(first->appearanceState() == AppearanceState::appeared);
    CHECK(second->appearanceState() == AppearanceState::disappeared);
    s.log.clear();
    tabs->setSelectedIndex(1);
    CHECK(s.log == std::vector<std::string>{"first willDisappear", "second loadView", "second viewDidLoad",
                                            "second willAppear", "first didDisappear", "second didAppear"});
    CHECK(s.root->tabBarController() == nullptr);
}

TEST_CASE("lifecycle after-hooks follow every controller's own handler") {
    Scene s;
    CHECK(LifecycleHooks::handlerNamed("viewDidAppear:") == LifecycleHandler::viewDidAppear);
    CHECK(LifecycleHooks::handlerNamed("viewDidDisappear:") == LifecycleHandler::viewDidDisappear);
    CHECK(LifecycleHooks::handlerNamed("viewDidLoad") == LifecycleHandler::viewDidLoad);
    CHECK_FALSE(LifecycleHooks::handlerNamed("viewDidAppear"));
    CHECK_FALSE(LifecycleHooks::handlerNamed("dealloc"));
    CHECK(LifecycleHooks::addAfterHook(LifecycleHandler::viewDidAppear, {}) == 0);

    const LifecycleHandler handlers[] = {LifecycleHandler::viewDidLoad, LifecycleHandler::viewWillAppear,
                                         LifecycleHandler::viewDidAppear, LifecycleHandler::viewWillDisappear,
                                         LifecycleHandler::viewDidDisappear};
    const char* names[] = {"load", "willAppear", "didAppear", "willDisappear", "didDisappear"};
    std::vector<std::uint64_t> hooks;
    for (std::size_t i = 0; i < 5; ++i) {
        const std::string name = names[i];
        hooks.push_back(LifecycleHooks::addAfterHook(handlers[i], [&s, name](ViewController& vc, bool) {
            if (auto* page = dynamic_cast<Page*>(&vc)) s.log.push_back(page->name + " hook " + name);
        }));
        CHECK(LifecycleHooks::hookCount(handlers[i]) >= 1);
    }
    auto sheet = std::make_shared<Page>("sheet", &s.log);
    s.root->present(sheet, false);
    s.time.settle();
    sheet->dismiss(false);
    s.time.settle();
    for (auto hook : hooks) LifecycleHooks::removeAfterHook(hook);
    s.root->present(sheet, false);
    s.time.settle();
    CHECK(s.log == std::vector<std::string>{
                       "sheet loadView", "sheet viewDidLoad", "sheet hook load", "sheet willAppear",
                       "sheet hook willAppear", "sheet didAppear", "sheet hook didAppear", "sheet willDisappear",
                       "sheet hook willDisappear", "sheet didDisappear", "sheet hook didDisappear",
                       "sheet willAppear", "sheet didAppear"});

    SUBCASE("a hook may add and remove hooks while it runs") {
        std::uint64_t second = 0;
        int runs = 0;
        const auto first = LifecycleHooks::addAfterHook(LifecycleHandler::viewWillDisappear, [&](ViewController&, bool) {
            ++runs;
            if (!second) second = LifecycleHooks::addAfterHook(LifecycleHandler::viewWillDisappear,
                                                                [&](ViewController&, bool) { runs += 10; });
        });
        sheet->dismiss(false);
        s.time.settle();
        CHECK(runs == 1);  // the hook added meanwhile runs from the next call on
        s.root->present(sheet, false);
        s.time.settle();
        sheet->dismiss(false);
        s.time.settle();
        CHECK(runs == 12);
        LifecycleHooks::removeAfterHook(first);
        LifecycleHooks::removeAfterHook(second);
    }
}

TEST_CASE("associated values: any type per key, readable from any thread") {
    auto page = std::make_shared<ViewController>();
    CHECK_FALSE(page->associatedValue("screen").has_value());
    page->setAssociatedObject("screen", std::string("Home"));
    page->setAssociatedObject("depth", 3);
    CHECK(std::any_cast<std::string>(page->associatedValue("screen")) == "Home");
    CHECK(std::any_cast<int>(*page->associatedObject("depth")) == 3);
    page->setAssociatedObject("screen", std::any());
    CHECK(page->associatedObject("screen") == nullptr);

    // A value released by a replacement may touch the map again.
    struct Reentrant {
        std::shared_ptr<ViewController> owner;
        ~Reentrant() {
            if (owner) owner->setAssociatedObject("released", true);
        }
    };
    auto releasing = std::make_shared<Reentrant>();
    releasing->owner = page;
    page->setAssociatedObject("holder", releasing);
    releasing.reset();
    page->setAssociatedObject("holder", std::any());
    CHECK(std::any_cast<bool>(page->associatedValue("released")));
    page->setAssociatedObject("released", std::any());

    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) page->setAssociatedObject("counter", i);
    });
    int last = -1;
    bool ordered = true;
    for (int i = 0; i < 2000; ++i) {
        const auto value = page->associatedValue("counter");
        if (!value.has_value()) continue;
        const int seen = std::any_cast<int>(value);
        ordered = ordered && seen >= last;  // a reader never sees the writer go back
        last = seen;
    }
    writer.join();
    CHECK(ordered);
    CHECK(std::any_cast<int>(page->associatedValue("counter")) == 1999);
}


TEST_CASE("an alert dims the screen; its box holds the whole message, scrolling where the screen ends") {
    std::string longText;
    for (int i = 0; i < 400; ++i) longText += "word ";
    longText.pop_back();
    struct Case {
        const char* name;
        AlertControllerStyle style;
        std::string message;
        std::size_t actions;
        bool scrolls;  // the texts are taller than the screen has room for
    };
    const std::vector<Case> cases{
        {"one line", AlertControllerStyle::alert, "Sure?", 2, false},
        {"five lines", AlertControllerStyle::alert,
         "This app keeps your calculations on this device and sends anonymous usage statistics so that we can "
         "improve it. Please accept our privacy policy to continue.",
         1, false},
        {"a sheet", AlertControllerStyle::actionSheet, "Choose how to share the picture of your solution.", 3, false},
        {"longer than the screen", AlertControllerStyle::alert, longText, 2, true},
    };
    for (const auto& c : cases) {
        CAPTURE(c.name);
        Scene s;
        auto alert = AlertController::make("Title", c.message, c.style);
        for (std::size_t i = 0; i < c.actions; ++i) alert->addAction(AlertAction::make("Action " + std::to_string(i), AlertActionStyle::defaultStyle));
        s.root->present(alert, false);
        s.time.settle();
        s.window->layoutIfNeeded();
        const Rect screen = s.window->bounds();
        CHECK(alert->view()->frame() == screen);
        auto message = findLabel(*alert->view(), c.message);
        REQUIRE(message);
        auto texts = std::dynamic_pointer_cast<ScrollView>(findView(*alert->view(), "alertTexts"));
        REQUIRE(texts);
        REQUIRE(message->superviewPointer() == texts.get());
        auto* box = texts->superviewPointer();
        REQUIRE(box);
        const Rect frame = box->frame();
        CHECK(frame.minY() >= 0);
        CHECK(frame.maxY() <= screen.height());
        CHECK(frame.minX() >= 0);
        CHECK(frame.maxX() <= screen.width());
        if (c.style == AlertControllerStyle::alert) CHECK(frame.width() == 270);
        // The message is never cut: its label holds all its lines, and
        // scrolling brings its end into view.
        const double needed = Font::system(13).measure(c.message, message->frame().width(), 0).height;
        CHECK(message->frame().height() >= needed);
        CHECK(texts->contentSize().height >= message->frame().maxY());
        CHECK((texts->contentSize().height > texts->bounds().height()) == c.scrolls);
        CHECK(texts->maximumContentOffset().y + texts->bounds().height() >= message->frame().maxY());
        double below = texts->frame().maxY();
        for (std::size_t i = 0; i < c.actions; ++i) {
            auto button = findView(*alert->view(), "alertAction" + std::to_string(i));
            REQUIRE(button);
            CHECK(button->frame().minY() >= below);  // under the texts and the button before
            CHECK(button->frame().width() == frame.width());
            below = button->frame().maxY();
        }
        CHECK(below <= frame.height());
    }
}
