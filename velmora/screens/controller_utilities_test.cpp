#include <doctest/doctest.h>

#include "platform/dispatch/queue.h"
#include "platform/foundation/http_client.h"
#include "platform/frameworks/material/buttons.h"
#include "platform/frameworks/material/tabs.h"
#include "platform/ui/alert_controller.h"
#include "platform/ui/application.h"
#include "platform/ui/interaction.h"
#include "platform/ui/stack_view.h"
#include "platform/ui/storyboard.h"
#include "platform/ui/ui_log.h"
#include "platform/ui/window.h"
#include "testsupport/loopback_server.h"
#include "testsupport/scoped_launch_options.h"
#include "velmora/engine/console_line.h"
#include "velmora/screens/controller_utilities.h"
#include "velmora/screens/input_table_view_cells.h"
#include "velmora/screens/kuvo_color.h"
#include "velmora/screens/page_test_support.h"
#include "velmora/screens/shell_hooks.h"

using platform::ui::AlertController;
using platform::ui::ViewController;
using velmora::testing::PageFixture;

namespace {

// A page alone in a shown window.
struct ShownPage {
    std::shared_ptr<ViewController> page = std::make_shared<ViewController>();
    std::shared_ptr<platform::ui::Window> window = std::make_shared<platform::ui::Window>();
    ShownPage() {
        window->setRootViewController(page);
        window->makeKeyAndVisible();
    }
    ~ShownPage() { window->setRootViewController(nullptr); }
    std::shared_ptr<AlertController> alert() const {
        return std::dynamic_pointer_cast<AlertController>(page->presentedViewController());
    }
};

class OwnFlatButton : public platform::material::FlatButton {
public:
    using FlatButton::FlatButton;
};
class OwnStackView : public platform::ui::StackView {};

}  // namespace

TEST_CASE("alerts: without actions one OK that only closes") {
    PageFixture app;
    ShownPage shown;
    auto alert = velmora::showAlert(*shown.page, std::string("Title"), std::nullopt);
    REQUIRE(shown.alert() == alert);
    CHECK(alert->preferredStyle() == platform::ui::AlertControllerStyle::alert);
    REQUIRE(alert->actions().size() == 1);
    CHECK(alert->actions()[0]->title() == "OK");
    CHECK(alert->actions()[0]->style() == platform::ui::AlertActionStyle::defaultStyle);
    app.advance(0.3);
    REQUIRE(alert->tapAction("OK"));
    app.advance(0.3);
    CHECK_FALSE(shown.alert());
}

TEST_CASE("the connection test") {
    PageFixture app;
    auto client = std::make_shared<platform::RecordingHTTPClient>();
    velmora::setConnectionProbeClient(client);
    ShownPage shown;
    int successes = 0, retries = 0;
    auto success = [&] { ++successes; };
    auto retry = [&] { ++retries; };
    velmora::setConnectionProbeURL("https://probe.example/here");

    SUBCASE("any HTTP answer counts as connected, a server error too") {
        client->enqueue(platform::makeHTTPResponse(500));
        velmora::checkInternetConnection(*shown.page, success, retry);
        CHECK(successes == 0);  // the answer arrives on the main queue
        app.settle();
        CHECK(successes == 1);
        CHECK_FALSE(shown.alert());
        REQUIRE(client->requestCount() == 1);
        CHECK(client->requests()[0].method == "GET");
        CHECK(client->requests()[0].url == "https://probe.example/here");
    }
    SUBCASE("the address the launch options give, else none: nothing asked, the console says how to give one") {
        std::vector<std::string> console;
        velmora::setConsoleSink([&](const std::string& line) { console.push_back(line); });
        velmora::setConnectionProbeURL("");
        for (const std::optional<std::string>& given : {std::optional<std::string>("http://127.0.0.1:9/probe"),
                                                        std::optional<std::string>()}) {
            CAPTURE(given.value_or("(none)"));
            testsupport::ScopedLaunchOptions launch([&](platform::LaunchOptions& o) { o.connectionProbeURL = given; });
            client->enqueue(platform::makeHTTPResponse(204));
            velmora::checkInternetConnection(*shown.page, success, retry);
            app.settle();
            if (given) {
                REQUIRE(client->requestCount() == 1);
                CHECK(client->requests()[0].url == *given);
                CHECK(successes == 1);
                CHECK(console.empty());
                continue;
            }
            // The answer queued for it is never asked for.
            CHECK(client->requestCount() == 1);
            CHECK(successes == 1);
            REQUIRE(console.size() == 1);
            CHECK(console[0].find("set VELMORA_CONNECTION_PROBE_URL") != std::string::npos);
            auto alert = shown.alert();
            REQUIRE(alert);
            CHECK(alert->alertTitle() == "No internet connection");
            app.advance(0.3);
            REQUIRE(alert->tapAction("OK"));
            app.advance(0.3);
            CHECK(retries == 1);
        }
        velmora::setConsoleSink(nullptr);
    }
    SUBCASE("no answer: the no-internet alert, whose one OK retries") {
        velmora::checkInternetConnection(*shown.page, success, retry);
        app.settle();
        CHECK(client->requests()[0].url == "https://probe.example/here");
        CHECK(successes == 0);
        auto alert = shown.alert();
        REQUIRE(alert);
        CHECK(alert->alertTitle() == "No internet connection");
        REQUIRE(alert->actions().size() == 1);
        app.advance(0.3);
        REQUIRE(alert->tapAction("OK"));
        app.advance(0.3);
        CHECK(retries == 1);
    }
    SUBCASE("no answer and no retry: still one OK") {
        velmora::checkInternetConnection(*shown.page, success);
        app.settle();
        REQUIRE(shown.alert());
        CHECK(shown.alert()->actions().size() == 1);
    }
    SUBCASE("a presenter gone meanwhile gets no alert") {
        auto page = std::make_shared<ViewController>();
        velmora::checkInternetConnection(*page, success, retry);
        page.reset();
        app.settle();
        CHECK(successes == 0);
        CHECK(platform::ui::loggedMessages().empty());
    }
}

TEST_CASE("opening the application's rating page") {
    PageFixture app;
    ShownPage shown;
    using velmora::AppRatingOutcome;
    struct Case {
        const char* name;
        std::optional<velmora::RatedApp> entry;
        AppRatingOutcome outcome;
        std::size_t opened;
    };
    const std::vector<Case> cases{
        {"a store address", velmora::RatedApp{"https://store.example/rate", std::nullopt}, AppRatingOutcome::opened, 1},
        {"no address", velmora::RatedApp{"not a url", std::string("X")}, AppRatingOutcome::cannotOpen, 0},
        {"a scheme nothing opens", velmora::RatedApp{"market://rate", std::string("X")}, AppRatingOutcome::cannotOpen,
         0},
        {"no entry yet", std::nullopt, AppRatingOutcome::noAppEntry, 0},
    };
    for (const auto& c : cases) {
        CAPTURE(c.name);
        platform::ui::Application::shared().clearOpenedURLs();
        app.recorder->clear();
        velmora::shellHooks().currentApp = [&] { return c.entry; };
        CHECK(velmora::openAppRating(*shown.page) == c.outcome);
        CHECK(platform::ui::Application::shared().openedURLs().size() == c.opened);
        CHECK(app.events("Tapped Rating in Menu").size() == c.opened);
        if (c.outcome == AppRatingOutcome::opened) {
            CHECK(app.events("Tapped Rating in Menu")[0].parameters.empty());  // the entry has no English name
        }
        auto alert = shown.alert();
        CHECK(static_cast<bool>(alert) == (c.outcome == AppRatingOutcome::noAppEntry));
        if (alert) {
            CHECK(alert->alertTitle() == "The rating page is not available yet. Please try again later.");
            shown.page->dismiss(false);
            app.settle();
        }
    }
}

TEST_CASE("tab items, titled keys and the bottom safe area") {
    PageFixture app;
    ViewController page;

    SUBCASE("a tab item greys out and disables, and comes back") {
        auto item = platform::material::tabItem(page);
        velmora::configureTabItem(page, "Result", false);
        CHECK(item->title() == "Result");
        CHECK_FALSE(item->isEnabled());
        CHECK(item->titleColor() == platform::gfx::Color::systemGray());
        CHECK(item->titleLabel()->font().name() == "Avenir-Medium");
        CHECK(item->titleLabel()->font().pointSize() == 14);
        velmora::configureTabItem(page, "Result", true);
        CHECK(item->isEnabled());
        CHECK(item->titleColor() == velmora::KuvoColor::darkGray());
    }
    SUBCASE("a titled flat button is found through stack views only, by its exact class") {
        platform::ui::View root;
        auto stack = std::make_shared<platform::ui::StackView>();
        auto inner = std::make_shared<platform::ui::StackView>();
        auto own = std::make_shared<OwnFlatButton>(".", std::nullopt);
        auto dot = std::make_shared<platform::material::FlatButton>(".", std::nullopt);
        inner->addArrangedSubview(own);
        inner->addArrangedSubview(dot);
        stack->addArrangedSubview(inner);
        root.addSubview(stack);
        CHECK(velmora::findFlatButton(".", root) == dot);
        CHECK_FALSE(velmora::findFlatButton("7", root));

        platform::ui::View other;
        auto plain = std::make_shared<platform::ui::View>();
        plain->addSubview(std::make_shared<platform::material::FlatButton>(".", std::nullopt));
        auto ownStack = std::make_shared<OwnStackView>();
        ownStack->addSubview(std::make_shared<platform::material::FlatButton>(".", std::nullopt));
        other.addSubview(plain);
        other.addSubview(ownStack);
        CHECK_FALSE(velmora::findFlatButton(".", other));
    }
    SUBCASE("the bottom safe area of the last window, 0 without a scene") {
        ShownPage shown;
        CHECK(velmora::bottomSafeAreaInset() == platform::ui::Window::defaultSafeAreaInsets().bottom);
        auto& application = platform::ui::Application::shared();
        application.disconnectScene(application.connectedScenes().front());
        CHECK(velmora::bottomSafeAreaInset() == 0.0);
    }
    SUBCASE("a presentation delegate that keeps a popover a popover on a phone") {
        ShownPage shown;
        auto keep = std::make_shared<velmora::KeepPresentationStyle>();
        auto popover = std::make_shared<ViewController>();
        popover->setModalPresentationStyle(platform::ui::ModalPresentationStyle::popover);
        popover->popoverPresentationController()->setSourceView(shown.page->view());
        popover->presentationController()->setDelegate(keep);
        shown.page->present(popover, false);
        CHECK(popover->presentedStyle() == platform::ui::ModalPresentationStyle::popover);
    }
}

TEST_CASE("input cells take input from the keypad only") {
    PageFixture app;
    ShownPage shown;
    auto valueCell = std::dynamic_pointer_cast<velmora::ValueInputTableViewCell>(
        platform::ui::Nib::named("ValueInputTableViewCell")->instantiate(nullptr).at(0));
    auto enumeratedCell = std::dynamic_pointer_cast<velmora::EnumeratedInputTableViewCell>(
        platform::ui::Nib::named("EnumeratedInputTableViewCell")->instantiate(nullptr).at(0));
    REQUIRE(valueCell);
    REQUIRE(enumeratedCell);
    shown.page->view()->addSubview(valueCell);
    enumeratedCell->setFrame({0, 100, 390, 60});
    shown.page->view()->addSubview(enumeratedCell);
    CHECK(valueCell->titleLabel->textColor() == platform::gfx::Color::label());
    CHECK(enumeratedCell->doubleTextField.lock()->textAlignment() == platform::gfx::TextAlignment::center);
    for (const auto& field : {valueCell->inputTextField, enumeratedCell->integerTextField.lock(),
                              enumeratedCell->doubleTextField.lock()}) {
        REQUIRE(platform::ui::tap(*field));
        CHECK(field->isFirstResponder());
        CHECK_FALSE(shown.window->isSystemKeyboardVisible());
        CHECK_FALSE(shown.window->isShortcutBarVisible());
        CHECK(field->autocorrectionType() == platform::ui::AutocorrectionType::no);
        CHECK(field->layer()->backgroundColor() == platform::gfx::Color::systemBackground());
    }
}

TEST_CASE("the connection test over the network, answered on the main queue") {
    platform::ui::Application::shared().reset();
    velmora::setConnectionProbeClient(nullptr);
    ShownPage shown;
    int successes = 0;

    SUBCASE("a server that answers, even with an error status") {
        testsupport::LoopbackServer server;
        server.answer("/probe", {500, {}, "down for maintenance"});
        velmora::setConnectionProbeURL(server.url("/probe"));
        velmora::checkInternetConnection(*shown.page, [&] { ++successes; });
        CHECK(platform::dispatch::mainQueue().runUntil([&] { return successes == 1; }, 10));
        CHECK(server.requestCount() == 1);
        CHECK_FALSE(shown.alert());
    }
    SUBCASE("nobody listening") {
        int port = 0;
        {
            testsupport::LoopbackServer closed;
            port = closed.port();
        }
        velmora::setConnectionProbeURL("http://127.0.0.1:" + std::to_string(port) + "/probe");
        velmora::checkInternetConnection(*shown.page, [&] { ++successes; });
        CHECK(platform::dispatch::mainQueue().runUntil([&] { return static_cast<bool>(shown.alert()); }, 10));
        CHECK(successes == 0);
    }
    velmora::setConnectionProbeURL("");
    platform::dispatch::mainQueue().drain();
}
