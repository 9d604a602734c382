// The first launch's introduction and consent alert.
#include "velmora/shell/first_launch.h"

#include "velmora/shell/dsgvo_manager.h"
#include "velmora/shell/onboarding_manager.h"

namespace velmora {

std::shared_ptr<platform::onboard::OnboardViewController> presentOnboardingAndConsentIfNeeded(
    const std::shared_ptr<platform::ui::ViewController>& presenter) {
    if (!presenter) return nullptr;
    std::shared_ptr<platform::onboard::OnboardViewController> onboarding;
    if (!OnboardingManager::isOnboardingFinished()) {
        onboarding = OnboardingManager::presentOnboarding(OnboardingManager::mainOnboardingPages(), *presenter,
                                                          platform::ui::ModalPresentationStyle::overFullScreen, false,
                                                          [] { OnboardingManager::finishOnboarding(); });
    }
    if (!DsgvoManager::isDsgvoAccepted()) {
        std::shared_ptr<platform::ui::ViewController> alertPresenter = presenter;
        if (onboarding && onboarding->presentingViewController()) alertPresenter = onboarding;
        DsgvoManager::presentConsentAlertOnMain(alertPresenter);
    }
    return onboarding;
}

}  // namespace velmora
