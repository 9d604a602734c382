// The introduction pages: the two page lists, their page items and appearance, and recording that one was seen.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/frameworks/onboarding/onboard_view_controller.h"

namespace velmora {

// One page of an introduction list: title and second text are empty in
// every list the application has; the text is already localised.
struct OnboardingPageEntry {
    std::string title;
    std::string imageName;
    std::string secondText;
    std::string text;
};

// No state beyond the two lists, each built (and localised) at its first use
// and kept for the process. Main thread only.
class OnboardingManager {
public:
    static constexpr const char* isOnboardingFinishedKey = "isOnboardingFinished";

    static const std::vector<OnboardingPageEntry>& mainOnboardingPages();
    static const std::vector<OnboardingPageEntry>& videoOnboardingPages();

    // One page item an entry, in order: "§appname" becomes the quoted
    // application title; "next" on every page but the last, "letsStart" there.
    static std::vector<platform::onboard::OnboardPage> pageItems(const std::vector<OnboardingPageEntry>& pages);
    // The look for the interface style of the moment.
    static platform::onboard::AppearanceConfiguration appearanceConfiguration();
    // The advance button of every page: the colour, semibold 20, and in
    // light style a grey shadow.
    static void styleButton(platform::ui::Button& button, const platform::gfx::Color& color);

    // Stores that an introduction was completed, then runs the completion.
    static void finishOnboarding(const std::function<void()>& completion = {});
    static void markOnboardingFinished();
    static bool isOnboardingFinished();

    // What every presenter does: a pager of the pages with the appearance of
    // the moment and the completion, in the presentation style, from the
    // presenter.
    static std::shared_ptr<platform::onboard::OnboardViewController> presentOnboarding(
        const std::vector<OnboardingPageEntry>& pages, platform::ui::ViewController& presenter,
        platform::ui::ModalPresentationStyle style, bool animated, std::function<void()> completion);
};

}  // namespace velmora
