// Tests of the introduction pager: pages in order, appearance, finishing once after the dismissal.
#include <doctest/doctest.h>

#include "platform/dispatch/timer.h"
#include "platform/frameworks/onboarding/onboard_view_controller.h"
#include "platform/gfx/image.h"
#include "platform/ui/application.h"
#include "platform/ui/interaction.h"
#include "platform/ui/window.h"

using namespace platform;
using platform::onboard::AppearanceConfiguration;
using platform::onboard::OnboardPage;
using platform::onboard::OnboardViewController;

namespace {

struct Stage {
    dispatch::ManualTime time;
    std::shared_ptr<ui::Window> window = std::make_shared<ui::Window>();
    std::shared_ptr<ui::ViewController> root = std::make_shared<ui::ViewController>();

    Stage() {
        ui::Application::shared().reset();
        window->setRootViewController(root);
        window->makeKeyAndVisible();
    }
    ~Stage() { window->setRootViewController(nullptr); }

    bool tapAdvance() {
        auto button = ui::findView(*window, OnboardViewController::advanceButtonIdentifier);
        return button && ui::tap(*button);
    }
};

std::vector<OnboardPage> threePages() {
    return {{"", "first_image", "", "One", "next", std::nullopt, {}},
            {"", "second_image", "", "Two", "next", std::nullopt, {}},
            {"", "third_image", "", "Three", "start", std::nullopt, {}}};
}

}  // namespace

TEST_CASE("the pager shows its pages in order and finishes once") {
    Stage stage;
    gfx::Image::registerNamed("second_image", gfx::Image(gfx::Size{10, 20}));
    int completions = 0;
    auto pager = std::make_shared<OnboardViewController>(threePages(), AppearanceConfiguration{},
                                                         [&] { ++completions; });
    pager->presentFrom(*stage.root, false);
    stage.time.settle();
    REQUIRE(stage.root->presentedViewController() == pager);

    struct Row {
        std::string text, advanceTitle;
        bool hasImage;
    };
    const std::vector<Row> expected = {{"One", "next", false}, {"Two", "next", true}, {"Three", "start", false}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        CAPTURE(i);
        CHECK(pager->currentPageIndex() == static_cast<int>(i));
        CHECK(pager->descriptionLabel()->text() == expected[i].text);
        CHECK(pager->advanceButton()->currentTitle() == expected[i].advanceTitle);
        CHECK(pager->imageView()->image().has_value() == expected[i].hasImage);
        CHECK(pager->actionButton()->isHidden());
        REQUIRE(stage.tapAdvance());
    }
    SUBCASE("the completion comes after the dismissal, once") {
        CHECK(pager->isFinished());
        CHECK(completions == 0);
        CHECK(stage.root->presentedViewController() == nullptr);
        stage.time.advance(0.3);
        CHECK(completions == 1);
        pager->advance();
        stage.time.advance(1);
        CHECK(completions == 1);
    }
    gfx::Image::unregisterAll();
}

TEST_CASE("the pager's appearance, action button and edges") {
    Stage stage;
    SUBCASE("appearance applies to every page") {
        AppearanceConfiguration look;
        look.backgroundColor = gfx::Color::rgb(0.1, 0.2, 0.3);
        look.titleColor = gfx::Color::rgb(1, 0, 0);
        look.textColor = gfx::Color::rgb(0, 1, 0);
        look.imageContentMode = ui::ContentMode::center;
        look.titleFont = gfx::Font::system(30);
        int styled = 0;
        look.advanceButtonStyling = [&](ui::Button& button) {
            ++styled;
            button.setTitleColor(gfx::Color::rgb(0, 0, 1));
        };
        auto pager = std::make_shared<OnboardViewController>(threePages(), look);
        pager->loadViewIfNeeded();
        CHECK(pager->view()->backgroundColor() == look.backgroundColor);
        CHECK(pager->titleLabel()->textColor() == look.titleColor);
        CHECK(pager->titleLabel()->font() == gfx::Font::system(30));
        CHECK(pager->descriptionLabel()->textColor() == look.textColor);
        CHECK(pager->imageView()->contentMode() == ui::ContentMode::center);
        CHECK(styled == 1);
        CHECK(pager->advanceButton()->titleColor() == gfx::Color::rgb(0, 0, 1));
    }
    SUBCASE("a page with an action title shows the action button") {
        int actions = 0;
        auto pages = threePages();
        pages[0].actionButtonTitle = "later";
        pages[0].action = [&] { ++actions; };
        auto pager = std::make_shared<OnboardViewController>(pages);
        pager->presentFrom(*stage.root, true);
        stage.time.advance(0.3);
        auto action = ui::findView(*stage.window, OnboardViewController::actionButtonIdentifier);
        REQUIRE(action);
        CHECK_FALSE(action->isHidden());
        CHECK(ui::tap(*action));
        CHECK(actions == 1);
        CHECK(pager->currentPageIndex() == 0);
        REQUIRE(stage.tapAdvance());
        CHECK(action->isHidden());
    }
    SUBCASE("without pages the advance button closes the pager") {
        int completions = 0;
        auto pager = std::make_shared<OnboardViewController>(std::vector<OnboardPage>{}, AppearanceConfiguration{},
                                                             [&] { ++completions; });
        pager->presentFrom(*stage.root, false);
        stage.time.settle();
        REQUIRE(stage.tapAdvance());
        stage.time.advance(0.3);
        CHECK(completions == 1);
        CHECK(stage.root->presentedViewController() == nullptr);
    }
    SUBCASE("the completion may present from the page below") {
        auto next = std::make_shared<ui::ViewController>();
        OnboardPage only{"", "", "", "Only", "go", std::nullopt, {}};
        auto pager = std::make_shared<OnboardViewController>(std::vector<OnboardPage>{only}, AppearanceConfiguration{},
                                                             [&] { stage.root->present(next, false); });
        pager->presentFrom(*stage.root, true);
        stage.time.advance(0.3);
        REQUIRE(stage.tapAdvance());
        stage.time.advance(0.3);
        CHECK(stage.root->presentedViewController() == next);
    }
    SUBCASE("a pager never presented finishes at once") {
        int completions = 0;
        OnboardPage only{"", "", "", "Only", "go", std::nullopt, {}};
        auto pager = std::make_shared<OnboardViewController>(std::vector<OnboardPage>{only}, AppearanceConfiguration{},
                                                             [&] { ++completions; });
        pager->advance();
        CHECK(completions == 1);
    }
}

TEST_CASE("on a short page the texts stay above the buttons and the image gives way") {
    Stage stage;
    const std::string description = "A description long enough to take two or three lines on a small screen, "
                                    "as the introduction's texts do.";
    for (double height : {844.0, 568.0, 480.0}) {
        CAPTURE(height);
        auto pager = std::make_shared<OnboardViewController>(
            std::vector<OnboardPage>{{"Title", "", "", description, "Next", std::nullopt, {}}});
        auto root = pager->view();
        root->setFrame({0, 0, 320, height});
        root->layoutIfNeeded();
        const auto text = pager->descriptionLabel()->frame();
        const auto needed = pager->descriptionLabel()->font().measure(description, text.width(), 0).height;
        CHECK(text.height() >= needed);
        CHECK(text.maxY() <= pager->advanceButton()->frame().minY());
        CHECK(pager->titleLabel()->frame().minY() >= pager->imageView()->frame().maxY());
        CHECK(pager->advanceButton()->frame().maxY() <= pager->actionButton()->frame().minY());
        CHECK(pager->actionButton()->frame().maxY() <= height);
        CHECK(pager->imageView()->frame().height() <= height * 0.42);
    }
}
