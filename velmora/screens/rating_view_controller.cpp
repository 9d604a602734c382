// The rating prompt: count-down, send and cancel.
#include "velmora/screens/rating_view_controller.h"

#include "platform/dispatch/queue.h"
#include "platform/foundation/defaults_key.h"
#include "platform/ui/alert_controller.h"
#include "velmora/engine/analytics_sink.h"
#include "velmora/screens/color_manager.h"
#include "velmora/screens/controller_utilities.h"
#include "velmora/screens/screen_texts.h"

namespace velmora {

using platform::ui::ViewController;

namespace {

std::shared_ptr<RatingViewController>& sharedSlot() {
    static std::shared_ptr<RatingViewController> prompt;
    return prompt;
}

const platform::DefaultsKey<std::optional<int>>& storedCounter() {
    static const platform::DefaultsKey<std::optional<int>> key(RatingViewController::counterForRatingKey);
    return key;
}

const platform::DefaultsKey<bool>& ratingDone() {
    static const platform::DefaultsKey<bool> key(RatingViewController::isRatingAlreadyDoneKey);
    return key;
}

constexpr double kStoreRatingThreshold = 4.0;

}  // namespace

std::shared_ptr<RatingViewController> RatingViewController::shared() {
    auto& prompt = sharedSlot();
    if (!prompt) prompt = std::make_shared<RatingViewController>();
    return prompt;
}

void RatingViewController::resetShared() { sharedSlot().reset(); }

RatingViewController::RatingViewController() : ViewController(nibName) {}

int RatingViewController::counterForRating() {
    if (auto stored = storedCounter().get()) {
        counter_ = *stored;
    } else {
        storedCounter().set(counter_);
    }
    return counter_;
}

void RatingViewController::setCounterForRating(int counter) {
    counter_ = counter;
    storedCounter().set(counter);
}

void RatingViewController::countDownRatingPrompt(ViewController& presenter) {
    if (ratingDone().get() || isShownInSession) return;
    setCounterForRating(counterForRating() - 1);
    if (counterForRating() >= 1) return;
    viewController = presenter.sharedAs<ViewController>();
    std::weak_ptr<RatingViewController> weak = sharedAs<RatingViewController>();
    platform::dispatch::mainQueue().async([weak] {
        auto prompt = weak.lock();
        auto from = prompt ? prompt->viewController.lock() : nullptr;
        if (!from) return;
        prompt->setModalPresentationStyle(platform::ui::ModalPresentationStyle::overCurrentContext);
        prompt->setModalTransitionStyle(platform::ui::ModalTransitionStyle::crossDissolve);
        from->present(prompt, true);
    });
}

void RatingViewController::viewDidLoad() {
    ViewController::viewDidLoad();
    setupView();
}

void RatingViewController::setupView() {
    ColorManager::styleViewHierarchy(*view());
    for (const auto& v : {ratingView, std::static_pointer_cast<platform::ui::View>(sendRatingButton),
                          std::static_pointer_cast<platform::ui::View>(cancelRatingButton)}) {
        if (v) v->layer()->setCornerRadius(2);
    }
    if (ratingView) ratingView->layer()->setMasksToBounds(true);
    if (ratingLabel) ratingLabel->setText(LocalizedString::rate());
    if (cancelRatingButton) cancelRatingButton->setTitle(LocalizedString::cancel());
    if (sendRatingButton) sendRatingButton->setTitle(LocalizedString::send());
    isShownInSession = true;
}

void RatingViewController::viewDidLayoutSubviews() {
    ViewController::viewDidLayoutSubviews();
    if (StarRatingView) ColorManager::styleLayersByTag(*StarRatingView);
}

void RatingViewController::tappedSendRatingButton() {
    double rating = StarRatingView ? StarRatingView->rating() : 0.0;
    logEvent("tapped_rated_app", {{"app", appProductCode}, {"rating", rating}});
    std::weak_ptr<RatingViewController> weak = sharedAs<RatingViewController>();
    dismiss(true, [weak, rating] {
        auto prompt = weak.lock();
        if (!prompt) return;
        if (rating < kStoreRatingThreshold) {
            prompt->markRatingDone();
            prompt->showThankYouAlert();
        } else {
            prompt->rateInStore();
        }
    });
}

// The rating counts as done only once the store's page has opened; without
// a connection, or without a page to open, the count starts again.
void RatingViewController::rateInStore() {
    auto presenter = viewController.lock();
    if (!presenter) return;
    std::weak_ptr<RatingViewController> weak = sharedAs<RatingViewController>();
    auto restartCount = [weak] {
        if (auto prompt = weak.lock()) prompt->setCounterForRating(initialCounter);
    };
    checkInternetConnection(
        *presenter,
        [weak, restartCount] {
            auto prompt = weak.lock();
            auto from = prompt ? prompt->viewController.lock() : nullptr;
            if (!from) return;
            if (openAppRating(*from) != AppRatingOutcome::opened) {
                restartCount();
                return;
            }
            prompt->markRatingDone();
            prompt->showThankYouAlert();
        },
        restartCount);
}

void RatingViewController::markRatingDone() { ratingDone().set(true); }

void RatingViewController::showThankYouAlert() {
    auto presenter = viewController.lock();
    if (!presenter) return;
    showAlert(*presenter, LocalizedString::thanks(), std::string(),
              {platform::ui::AlertAction::make(LocalizedString::close(), platform::ui::AlertActionStyle::defaultStyle)});
}

void RatingViewController::tappedCancelRatingButton() {
    logEvent("tapped_rated_app_cancel");
    std::weak_ptr<RatingViewController> weak = sharedAs<RatingViewController>();
    dismiss(true, [weak] {
        if (auto prompt = weak.lock()) prompt->setCounterForRating(initialCounter);
    });
}

}  // namespace velmora
