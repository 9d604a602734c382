#pragma once

#include <memory>

#include "platform/frameworks/star_rating/star_rating_view.h"
#include "platform/ui/control.h"
#include "platform/ui/label.h"
#include "platform/ui/view_controller.h"

namespace velmora {

// The star-rating prompt: counted down on every appearance of the
// calculator page, shown once the count reaches 0; four stars or more lead
// to the store's rating page. Once rated it never comes back; cancelling
// starts the count again. Main thread only.
class RatingViewController : public platform::ui::ViewController {
public:
    static constexpr const char* nibName = "RatingViewController";
    static constexpr const char* counterForRatingKey = "counterForRating";
    static constexpr const char* isRatingAlreadyDoneKey = "isRatingAlreadyDone";
    static constexpr int initialCounter = 5;
    // The application's own short product code, sent with each rating.
    static constexpr const char* appProductCode = "BF";

    // The process's prompt, made on first use.
    static std::shared_ptr<RatingViewController> shared();
    // Forgets the prompt, as a new run of the process would (tests, runner).
    static void resetShared();

    RatingViewController();

    // Outlets.
    std::shared_ptr<platform::ui::View> ratingView;
    std::shared_ptr<platform::rating::StarRatingView> StarRatingView;
    std::shared_ptr<platform::ui::Label> ratingLabel;
    std::shared_ptr<platform::ui::Button> cancelRatingButton;
    std::shared_ptr<platform::ui::Button> sendRatingButton;
    std::shared_ptr<platform::ui::View> ratingBackgroundView;

    bool isShownInSession = false;
    // The presenter remembered by the last count-down that showed the prompt.
    std::weak_ptr<platform::ui::ViewController> viewController;

    // The stored counter (5, stored, when there is none yet).
    int counterForRating();
    void setCounterForRating(int counter);

    void countDownRatingPrompt(platform::ui::ViewController& presenter);
    void tappedSendRatingButton();
    void tappedCancelRatingButton();
    void showThankYouAlert();

    void viewDidLoad() override;
    void viewDidLayoutSubviews() override;

private:
    void setupView();
    void rateInStore();
    void markRatingDone();

    int counter_ = initialCounter;
};

}  // namespace velmora
