// Tests of the consent alerts, the introduction pages and what the first launch presents.
#include <doctest/doctest.h>

#include <thread>

#include "platform/foundation/bundle.h"
#include "platform/foundation/user_defaults.h"
#include "platform/gfx/appearance.h"
#include "platform/ui/interaction.h"
#include "velmora/screens/screen_texts.h"
#include "velmora/shell/dsgvo_manager.h"
#include "velmora/shell/first_launch.h"
#include "velmora/shell/onboarding_manager.h"
#include "velmora/shell/shell_pages_test_support.h"

using namespace velmora;
using platform::onboard::OnboardViewController;

namespace {

std::string text(const std::string& key) { return platform::Bundle::main().localizedString(key); }

// The stored Boolean, read back from the preferences file's suite.
std::optional<bool> stored(const std::string& key) {
    auto value = platform::UserDefaults().objectForKey(key);
    if (!value || !value->isBool()) return std::nullopt;
    return value->boolValue();
}

bool tapAdvance(platform::ui::Window& window) {
    auto button = platform::ui::findView(window, OnboardViewController::advanceButtonIdentifier);
    return button && platform::ui::tap(*button);
}

}  // namespace

TEST_CASE("the general consent alert stores its acceptance") {
    testing::ShellStage stage;
    std::vector<std::optional<bool>> seenByCompletion;
    DsgvoManager::presentConsentAlertOnMain(stage.root(), [&] { seenByCompletion.push_back(stored("isDsgvoAccepted")); });
    CHECK(stage.shownAlert() == nullptr);  // queued on the main queue
    stage.settle();
    auto alert = stage.shownAlert();
    REQUIRE(alert);
    CHECK(alert->alertTitle() == text("dsgvoTitlePro"));
    CHECK(alert->message() == text("dsgvoTextPro"));
    CHECK(alert->preferredStyle() == platform::ui::AlertControllerStyle::alert);
    REQUIRE(alert->actions().size() == 1);  // no way to decline
    CHECK(alert->actions()[0]->title() == text("dsgvoAccept"));
    CHECK_FALSE(stored("isDsgvoAccepted"));
    REQUIRE(stage.answerAlert(text("dsgvoAccept")));
    CHECK(stored("isDsgvoAccepted") == true);
    CHECK(seenByCompletion == std::vector<std::optional<bool>>{true});

    SUBCASE("accepting again keeps it, without a completion too") {
        DsgvoManager::presentConsentAlertOnMain(stage.root());
        stage.settle();
        REQUIRE(stage.answerAlert(text("dsgvoAccept")));
        CHECK(DsgvoManager::isDsgvoAccepted());
    }
    SUBCASE("the alert may be asked for from another thread") {
        std::thread([&] { DsgvoManager::presentConsentAlertOnMain(stage.root()); }).join();
        stage.settle();
        CHECK(stage.shownAlert());
    }
}

TEST_CASE("the video consent alert stores each answer before its completion") {
    testing::ShellStage stage;
    std::vector<std::string> log;
    auto ask = [&] {
        DsgvoManager::presentYoutubeConsentAlertOnMain(
            stage.root(), [&] { log.push_back("accept " + std::to_string(DsgvoManager::isYoutubeDsgvoAccepted())); },
            [&] { log.push_back("decline " + std::to_string(DsgvoManager::isYoutubeDsgvoAccepted())); });
        stage.settle();
    };
    ask();
    auto alert = stage.shownAlert();
    REQUIRE(alert);
    CHECK(alert->alertTitle() == text("dsgvoYoutubeTitle"));
    CHECK(alert->message() == text("dsgvoYoutubeText"));
    REQUIRE(alert->actions().size() == 2);
    CHECK(alert->actions()[0]->title() == text("dsgvoAccept"));
    CHECK(alert->actions()[1]->title() == text("dsgvoDecline"));
    CHECK(alert->actions()[1]->style() == platform::ui::AlertActionStyle::defaultStyle);

    REQUIRE(stage.answerAlert(text("dsgvoAccept")));
    ask();
    REQUIRE(stage.answerAlert(text("dsgvoDecline")));
    CHECK(log == std::vector<std::string>{"accept 1", "decline 0"});
    CHECK(stored("isYoutubeDsgvoAccepted") == false);  // stored, not merely absent
    CHECK_FALSE(stored("isDsgvoAccepted"));             // the general answer is apart

    DsgvoManager::presentYoutubeConsentAlertOnMain(stage.root());
    stage.settle();
    REQUIRE(stage.answerAlert(text("dsgvoAccept")));
    CHECK(stored("isYoutubeDsgvoAccepted") == true);
}

TEST_CASE("introduction pages become page items") {
    const std::string quoted = "\"" + LocalizedString::bernoulliFormula() + "\"";
    struct Row {
        std::vector<OnboardingPageEntry> entries;
        std::vector<std::string> texts;
        std::vector<std::string> advanceKeys;
    };
    const std::vector<Row> rows = {
        {{{"", "a", "", "Use §appname, the §appname."}},
         {"Use " + quoted + ", the " + quoted + "."},
         {"letsStart"}},
        {{{"", "a", "", "one"}, {"", "b", "", "two §app name"}, {"", "c", "", "§appname"}},
         {"one", "two §app name", quoted},
         {"next", "next", "letsStart"}},
        {{}, {}, {}},
    };
    for (const auto& row : rows) {
        auto items = OnboardingManager::pageItems(row.entries);
        REQUIRE(items.size() == row.entries.size());
        for (std::size_t i = 0; i < items.size(); ++i) {
            CAPTURE(i);
            CHECK(items[i].imageName == row.entries[i].imageName);
            CHECK(items[i].description == row.texts[i]);
            CHECK(items[i].advanceButtonTitle == text(row.advanceKeys[i]));
            CHECK_FALSE(items[i].actionButtonTitle);
        }
    }

    SUBCASE("the two lists of the application") {
        struct ListRow {
            const std::vector<OnboardingPageEntry>* list;
            std::vector<std::string> images;
            std::vector<std::string> keys;
        };
        const std::vector<ListRow> lists = {
            {&OnboardingManager::mainOnboardingPages(),
             {"main_onboarding_1", "single_onboarding_2", "single_onboarding_3", "single_onboarding_4",
              "main_onboarding_4"},
             {"onboardingA", "onboardingB", "onboardingC", "onboardingD", "onboardingE"}},
            {&OnboardingManager::videoOnboardingPages(),
             {"onboarding_youtube_1", "onboarding_youtube_2", "onboarding_youtube_3", "onboarding_youtube_4",
              "onboarding_youtube_5"},
             {"onboardingYoutube1", "onboardingYoutube2", "onboardingYoutube3", "onboardingYoutube4",
              "onboardingYoutube5"}},
        };
        for (const auto& list : lists) {
            REQUIRE(list.list->size() == 5);
            for (std::size_t i = 0; i < 5; ++i) {
                const auto& entry = (*list.list)[i];
                CHECK(entry.title.empty());
                CHECK(entry.secondText.empty());
                CHECK(entry.imageName == list.images[i]);
                CHECK(entry.text == text(list.keys[i]));
                CHECK(entry.text != list.keys[i]);  // translated
            }
        }
        auto first = OnboardingManager::pageItems(OnboardingManager::mainOnboardingPages()).front();
        CHECK(first.description.find(quoted) != std::string::npos);
        CHECK(first.description.find("§appname") == std::string::npos);
    }
}

TEST_CASE("the introduction's appearance follows the interface style of the moment") {
    // The palette's dark blue and light blue, by hue: a dark-mode palette
    // colour is only darker, never of another hue.
    struct Row {
        platform::gfx::InterfaceStyle style;
        platform::gfx::Color paletteColour;
        bool shadow;
    };
    const std::vector<Row> rows = {
        {platform::gfx::InterfaceStyle::light, platform::gfx::Color::rgb(0.0, 0.26, 0.79), true},
        {platform::gfx::InterfaceStyle::dark, platform::gfx::Color::rgb(0.56, 0.61, 1.0), false},
    };
    for (const auto& row : rows) {
        CAPTURE(static_cast<int>(row.style));
        platform::gfx::InterfaceStyleScope scope(row.style);
        auto look = OnboardingManager::appearanceConfiguration();
        CHECK(look.tintColor.hsba()->hue == doctest::Approx(row.paletteColour.hsba()->hue));
        CHECK(look.tintColor.hsba()->saturation == doctest::Approx(row.paletteColour.hsba()->saturation));
        CHECK(look.imageContentMode == platform::ui::ContentMode::center);
        CHECK(look.titleFont == platform::gfx::Font::preferred(platform::gfx::TextStyle::title1));
        CHECK(look.textFont == platform::gfx::Font::preferred(platform::gfx::TextStyle::body));
        CHECK(look.titleColor.rgba() == platform::gfx::Color::label().rgba());
        CHECK(look.backgroundColor.rgba() == platform::gfx::Color::systemBackground().rgba());
        CHECK_FALSE(look.actionButtonStyling);
        REQUIRE(look.advanceButtonStyling);
        platform::ui::Button button;
        look.advanceButtonStyling(button);
        CHECK(button.titleColor()->rgba() == look.tintColor.rgba());
        CHECK(button.titleLabel()->font() == platform::gfx::Font::system(20, platform::gfx::FontWeight::semibold));
        CHECK((button.layer()->shadowOpacity() == 0.7) == row.shadow);
        if (row.shadow) {
            CHECK(button.layer()->shadowOffset() == platform::gfx::Size{0, 1});
            CHECK(button.layer()->shadowRadius() == 1);
            CHECK_FALSE(button.layer()->masksToBounds());
        }
    }
}

TEST_CASE("a first launch presents the introduction with the consent alert over it") {
    testing::ShellStage stage;
    auto pager = presentOnboardingAndConsentIfNeeded(stage.root());
    REQUIRE(pager);
    CHECK(stage.root()->presentedViewController() == pager);
    CHECK(pager->presentedStyle() == platform::ui::ModalPresentationStyle::overFullScreen);
    CHECK(pager->descriptionLabel()->text() == OnboardingManager::pageItems(OnboardingManager::mainOnboardingPages())[0].description);
    CHECK(stage.shownAlert() == nullptr);  // the alert follows from the main queue
    stage.settle();
    auto alert = stage.shownAlert();
    REQUIRE(alert);
    CHECK(pager->presentedViewController() == alert);
    CHECK_FALSE(tapAdvance(stage.window()));  // the alert covers the introduction

    REQUIRE(stage.answerAlert(text("dsgvoAccept")));
    CHECK(stored("isDsgvoAccepted") == true);
    CHECK_FALSE(stored("isOnboardingFinished"));
    for (int page = 0; page < 5; ++page) REQUIRE(tapAdvance(stage.window()));
    CHECK_FALSE(stored("isOnboardingFinished"));  // stored once the introduction has gone
    stage.advance(0.3);
    CHECK(stored("isOnboardingFinished") == true);
    CHECK(stage.window().presentationChain().size() == 1);

    SUBCASE("the second launch shows neither") {
        stage.launch();
        CHECK(presentOnboardingAndConsentIfNeeded(stage.root()) == nullptr);
        stage.advance(1);
        CHECK(stage.window().presentationChain().size() == 1);
    }
}

TEST_CASE("a launch shows only what is still due") {
    testing::ShellStage stage;
    SUBCASE("introduction finished, consent never given: the alert from the presenter") {
        OnboardingManager::markOnboardingFinished();
        CHECK(presentOnboardingAndConsentIfNeeded(stage.root()) == nullptr);
        stage.settle();
        auto alert = stage.shownAlert();
        REQUIRE(alert);
        CHECK(stage.root()->presentedViewController() == alert);
    }
    SUBCASE("consent given, introduction not finished: the introduction alone") {
        DsgvoManager::storeConsent(DsgvoManager::isDsgvoAcceptedKey, true, {});
        auto pager = presentOnboardingAndConsentIfNeeded(stage.root());
        stage.settle();
        REQUIRE(pager);
        CHECK(pager->presentedViewController() == nullptr);
        CHECK(stage.window().presentationChain().size() == 2);
    }
    SUBCASE("the presenter is busy: the alert waits for nothing and is refused, the flags stay false") {
        stage.root()->present(std::make_shared<platform::ui::ViewController>(), false);
        stage.settle();
        auto pager = presentOnboardingAndConsentIfNeeded(stage.root());
        stage.settle();
        CHECK(pager->presentingViewController() == nullptr);
        CHECK(stage.shownAlert() == nullptr);
        CHECK_FALSE(stored("isOnboardingFinished"));
        CHECK_FALSE(stored("isDsgvoAccepted"));
    }
    SUBCASE("finishing from the drawer's or the video row's introduction counts too") {
        auto pager = OnboardingManager::presentOnboarding(OnboardingManager::videoOnboardingPages(), *stage.root(),
                                                          platform::ui::ModalPresentationStyle::formSheet, true,
                                                          [] { OnboardingManager::markOnboardingFinished(); });
        stage.advance(0.3);
        for (int page = 0; page < 5; ++page) pager->advance();
        stage.advance(0.3);
        CHECK(OnboardingManager::isOnboardingFinished());
        CHECK(presentOnboardingAndConsentIfNeeded(stage.root()) == nullptr);
    }
}
