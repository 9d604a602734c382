// The rating prompt's layout: a dimmed background, and a card with the
// question, the stars and the two buttons.
#include "platform/ui/application.h"
#include "velmora/screens/page_layouts.h"
#include "velmora/screens/rating_view_controller.h"

namespace velmora {

using platform::gfx::Rect;
using platform::ui::View;

namespace {

template <class Action>
std::shared_ptr<platform::ui::Button> makeButton(RatingViewController* owner, Rect frame, const char* id,
                                                 const char* actionName, Action action) {
    auto button = std::make_shared<platform::ui::Button>(frame);
    button->setAccessibilityIdentifier(id);
    button->setTag(102);
    if (owner) {
        std::weak_ptr<RatingViewController> weak = owner->sharedAs<RatingViewController>();
        button->addTarget(
            [weak, action](platform::ui::Control&) {
                if (auto prompt = weak.lock()) action(*prompt);
            },
            platform::ui::controlEvent::touchUpInside, actionName);
    }
    return button;
}

}  // namespace

std::vector<std::shared_ptr<View>> layoutRatingPrompt(RatingViewController* owner) {
    Rect screen = platform::ui::Screen::main().bounds();
    auto root = std::make_shared<View>(screen);
    root->setAutoresizingMask(platform::ui::autoresizing::flexibleWidth | platform::ui::autoresizing::flexibleHeight);
    auto background = std::make_shared<View>(screen);
    background->setBackgroundColor(platform::gfx::Color::black());
    background->setTag(200);
    root->addSubview(background);
    double cardWidth = 300, cardX = (screen.width() - cardWidth) / 2, cardY = screen.height() / 2 - 100;
    auto card = std::make_shared<View>(Rect(cardX, cardY, cardWidth, 200));
    // In the dark style a presented card is lifted off the black page, as
    // the platform's alerts are: its own dark grey, not the page's black.
    card->setBackgroundColor(platform::gfx::Color::dynamic(platform::gfx::Color::systemBackground(),
                                                           platform::gfx::Color::secondarySystemBackground(),
                                                           "ratingCardBackground"));
    auto label = std::make_shared<platform::ui::Label>(Rect(16, 16, cardWidth - 32, 40));
    label->setTextAlignment(platform::gfx::TextAlignment::center);
    auto stars = std::make_shared<platform::rating::StarRatingView>();
    stars->setTag(104);
    // Half stars count: 3.5 stars is not yet a store rating.
    stars->settings().fillMode = platform::rating::StarFillMode::half;
    stars->update();
    // The stars draw from their view's left edge: the view is as wide as
    // they are, centred under the question.
    const double starsWidth = stars->intrinsicContentSize().width;
    stars->setFrame(Rect((cardWidth - starsWidth) / 2, 70, starsWidth, 40));
    auto cancel = makeButton(owner, Rect(16, 140, 126, 44), "cancelRatingButton", "tappedCancelRatingButton",
                             [](RatingViewController& p) { p.tappedCancelRatingButton(); });
    auto send = makeButton(owner, Rect(158, 140, 126, 44), "sendRatingButton", "tappedSendRatingButton",
                           [](RatingViewController& p) { p.tappedSendRatingButton(); });
    for (const auto& part : std::vector<std::shared_ptr<View>>{label, stars, cancel, send}) card->addSubview(part);
    root->addSubview(card);
    if (owner) {
        owner->ratingBackgroundView = background;
        owner->ratingView = card;
        owner->ratingLabel = label;
        owner->StarRatingView = stars;
        owner->cancelRatingButton = cancel;
        owner->sendRatingButton = send;
        owner->setView(root);
    }
    return {root};
}

}  // namespace velmora
