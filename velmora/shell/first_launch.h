// What a launch shows before anything else: the introduction until it was finished, the consent alert until accepted.
#pragma once

#include <memory>

#include "platform/frameworks/onboarding/onboard_view_controller.h"

namespace velmora {

// An unfinished introduction is presented over the whole screen, without
// animation, from the presenter; then, when the general consent was never
// accepted, the consent alert follows on the main queue, over the
// introduction when there is one. Answers the introduction presented, if any.
std::shared_ptr<platform::onboard::OnboardViewController> presentOnboardingAndConsentIfNeeded(
    const std::shared_ptr<platform::ui::ViewController>& presenter);

}  // namespace velmora
