#include <doctest/doctest.h>

#include "platform/foundation/http_client.h"
#include "platform/frameworks/material/tabs.h"
#include "platform/ui/alert_controller.h"
#include "platform/ui/application.h"
#include "platform/ui/interaction.h"
#include "velmora/screens/calculate_view_controller.h"
#include "velmora/screens/controller_utilities.h"
#include "velmora/screens/kuvo_color.h"
#include "velmora/screens/page_test_support.h"
#include "velmora/screens/rating_view_controller.h"
#include "velmora/screens/screen_texts.h"
#include "velmora/screens/shell_hooks.h"

using velmora::RatingViewController;
using velmora::testing::PageFixture;

namespace {

int storedCounter() { return static_cast<int>(platform::UserDefaults().integerForKey("counterForRating")); }
bool ratingDone() { return platform::UserDefaults().boolForKey("isRatingAlreadyDone"); }

// What the drawer shows over everything: the prompt, an alert, or nothing.
std::shared_ptr<platform::ui::ViewController> shown(PageFixture& app) {
    return app.drawer()->presentedViewController();
}

// A calculation, then back to the calculator tab: one more appearance.
void calculateAndReturn(PageFixture& app) {
    for (const auto& id : {"kTextField", "nTextField", "pTextField"}) {
        std::dynamic_pointer_cast<platform::ui::TextField>(platform::ui::findView(app.window(), id))->setText("");
    }
    app.calculate("2", "5", "0.3");
    REQUIRE(app.tabs()->selectedIndex() == 1);
    REQUIRE(platform::ui::tap(*platform::material::tabItem(*app.calculatePage())));
    app.settle();
}

// Five appearances across two launches bring the prompt up.
std::shared_ptr<RatingViewController> bringUpPrompt(PageFixture& app) {
    app.launch();
    calculateAndReturn(app);
    app.relaunch();
    calculateAndReturn(app);
    calculateAndReturn(app);
    app.advance(0.3);
    auto prompt = std::dynamic_pointer_cast<RatingViewController>(shown(app));
    REQUIRE(prompt);
    return prompt;
}

std::shared_ptr<platform::ui::AlertController> shownAlert(PageFixture& app) {
    return std::dynamic_pointer_cast<platform::ui::AlertController>(shown(app));
}

}  // namespace

TEST_CASE("the rating prompt counts down across launches and asks at the fifth appearance") {
    PageFixture app;
    app.launch();
    CHECK(storedCounter() == 4);
    calculateAndReturn(app);
    CHECK(storedCounter() == 3);
    app.relaunch();
    CHECK(storedCounter() == 2);
    calculateAndReturn(app);
    CHECK(storedCounter() == 1);
    CHECK_FALSE(shown(app));
    calculateAndReturn(app);
    CHECK(storedCounter() == 0);
    app.advance(0.3);
    auto prompt = std::dynamic_pointer_cast<RatingViewController>(shown(app));
    REQUIRE(prompt);
    CHECK(prompt->modalPresentationStyle() == platform::ui::ModalPresentationStyle::overCurrentContext);
    CHECK(prompt->modalTransitionStyle() == platform::ui::ModalTransitionStyle::crossDissolve);
    // the texts are kept from their first use, whichever bundle gave them
    CHECK(prompt->ratingLabel->text() == velmora::LocalizedString::rate());
    CHECK(prompt->sendRatingButton->title() == velmora::LocalizedString::send());
    CHECK(prompt->cancelRatingButton->title() == velmora::LocalizedString::cancel());
    CHECK(prompt->isShownInSession);
    // The stars, as wide as they draw, centred under the question; the card
    // lifted off the page in the dark style and white in the light one.
    CHECK(prompt->StarRatingView->frame().width() == prompt->StarRatingView->intrinsicContentSize().width);
    CHECK(prompt->StarRatingView->frame().midX() == doctest::Approx(prompt->ratingLabel->frame().midX()));
    const auto card = *prompt->ratingView->backgroundColor();
    const auto page = velmora::KuvoColor::background();
    CHECK(card.rgba(platform::gfx::InterfaceStyle::dark) != page.rgba(platform::gfx::InterfaceStyle::dark));
    CHECK(card.rgba(platform::gfx::InterfaceStyle::light) == platform::gfx::Color::white().rgba());

    SUBCASE("cancel starts the count again; this run counts no further") {
        REQUIRE(platform::ui::tap(*prompt->cancelRatingButton));
        app.advance(0.3);
        CHECK(app.events("tapped_rated_app_cancel").size() == 1);
        CHECK(app.events("tapped_rated_app_cancel")[0].parameters.empty());
        CHECK_FALSE(shown(app));
        CHECK(storedCounter() == 5);
        CHECK_FALSE(ratingDone());
        calculateAndReturn(app);
        CHECK(storedCounter() == 5);
        app.relaunch();
        CHECK(storedCounter() == 4);
    }
    SUBCASE("a prompt left unanswered comes back at the first appearance of the next run") {
        app.relaunch();
        CHECK(storedCounter() == -1);
        app.settle();
        CHECK(std::dynamic_pointer_cast<RatingViewController>(shown(app)));
    }
}

TEST_CASE("sending a rating") {
    PageFixture app;
    auto client = std::make_shared<platform::RecordingHTTPClient>();
    velmora::setConnectionProbeClient(client);
    velmora::setConnectionProbeURL("https://probe.example/");
    auto prompt = bringUpPrompt(app);

    SUBCASE("below four stars: thanks, and done without the store") {
        prompt->StarRatingView->touch(3.5);
        REQUIRE(platform::ui::tap(*prompt->sendRatingButton));
        app.advance(0.3);
        REQUIRE(app.events("tapped_rated_app").size() == 1);
        auto parameters = app.events("tapped_rated_app")[0].parameters;
        CHECK(parameters.at("app").stringValue() == "BF");
        CHECK(parameters.at("rating").isReal());
        CHECK(parameters.at("rating").realValue() == 3.5);
        CHECK(ratingDone());
        CHECK(client->requestCount() == 0);
        auto alert = shownAlert(app);
        REQUIRE(alert);
        CHECK(alert->alertTitle() == velmora::LocalizedString::thanks());
        REQUIRE(alert->actions().size() == 1);
        CHECK(alert->actions()[0]->title() == velmora::LocalizedString::close());
        app.relaunch();
        CHECK(storedCounter() == 0);  // done: never counted again
        CHECK_FALSE(shown(app));
    }
    SUBCASE("four stars with a connection: the store page opens, then thanks") {
        velmora::shellHooks().currentApp = [] {
            return velmora::RatedApp{"https://store.example/app/rate", std::string("Bernoulli")};
        };
        client->enqueue(platform::makeHTTPResponse(500));  // any answer means connected
        prompt->StarRatingView->touch(4.0);
        REQUIRE(platform::ui::tap(*prompt->sendRatingButton));
        app.advance(0.3);
        REQUIRE(client->requestCount() == 1);
        CHECK(client->requests()[0].url == "https://probe.example/");
        const auto& opened = platform::ui::Application::shared().openedURLs();
        REQUIRE(opened.size() == 1);
        CHECK(opened[0].string() == "https://store.example/app/rate");
        REQUIRE(app.events("Tapped Rating in Menu").size() == 1);
        CHECK(app.events("Tapped Rating in Menu")[0].parameters.at("kuvoApp").stringValue() == "Bernoulli");
        CHECK(ratingDone());
        REQUIRE(shownAlert(app));
        CHECK(shownAlert(app)->alertTitle() == velmora::LocalizedString::thanks());
    }
    SUBCASE("four stars without a connection: the no-internet alert, whose OK starts the count again") {
        prompt->StarRatingView->touch(5.0);
        REQUIRE(platform::ui::tap(*prompt->sendRatingButton));
        app.advance(0.3);
        auto alert = shownAlert(app);
        REQUIRE(alert);
        CHECK(alert->alertTitle() == "No internet connection");
        REQUIRE(alert->actions().size() == 1);
        CHECK(storedCounter() == 0);
        REQUIRE(alert->tapAction("OK"));
        app.advance(0.3);
        CHECK(storedCounter() == 5);
        CHECK_FALSE(ratingDone());
        CHECK(platform::ui::Application::shared().openedURLs().empty());
    }
    SUBCASE("four stars while the application's entry is unknown: said so, not done") {
        client->enqueue(platform::makeHTTPResponse(200));
        prompt->StarRatingView->touch(4.0);
        REQUIRE(platform::ui::tap(*prompt->sendRatingButton));
        app.advance(0.3);
        auto alert = shownAlert(app);
        REQUIRE(alert);
        CHECK(alert->alertTitle() == "The rating page is not available yet. Please try again later.");
        CHECK_FALSE(ratingDone());
        CHECK(storedCounter() == 5);
        CHECK(app.events("Tapped Rating in Menu").empty());
    }
}
