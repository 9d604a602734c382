// The introduction pages and their presentation.
#include "velmora/shell/onboarding_manager.h"

#include "platform/foundation/defaults_key.h"
#include "platform/gfx/appearance.h"
#include "velmora/engine/engine_texts.h"
#include "velmora/screens/kuvo_color.h"
#include "velmora/screens/screen_texts.h"

namespace velmora {

namespace {

constexpr const char* kAppNamePlaceholder = "§appname";

std::vector<OnboardingPageEntry> localizedPages(const std::vector<std::pair<const char*, const char*>>& rows) {
    std::vector<OnboardingPageEntry> pages;
    for (const auto& [image, key] : rows) pages.push_back({"", image, "", LocalizedString::localized(key)});
    return pages;
}

std::string replaceAll(std::string text, const std::string& what, const std::string& with) {
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size())) {
        text.replace(at, what.size(), with);
    }
    return text;
}

}  // namespace

const std::vector<OnboardingPageEntry>& OnboardingManager::mainOnboardingPages() {
    static const auto pages = localizedPages({{"main_onboarding_1", "onboardingA"},
                                              {"single_onboarding_2", "onboardingB"},
                                              {"single_onboarding_3", "onboardingC"},
                                              {"single_onboarding_4", "onboardingD"},
                                              {"main_onboarding_4", "onboardingE"}});
    return pages;
}

const std::vector<OnboardingPageEntry>& OnboardingManager::videoOnboardingPages() {
    static const auto pages = localizedPages({{"onboarding_youtube_1", "onboardingYoutube1"},
                                              {"onboarding_youtube_2", "onboardingYoutube2"},
                                              {"onboarding_youtube_3", "onboardingYoutube3"},
                                              {"onboarding_youtube_4", "onboardingYoutube4"},
                                              {"onboarding_youtube_5", "onboardingYoutube5"}});
    return pages;
}

std::vector<platform::onboard::OnboardPage> OnboardingManager::pageItems(const std::vector<OnboardingPageEntry>& pages) {
    std::vector<platform::onboard::OnboardPage> items;
    const std::string quotedTitle = "\"" + LocalizedString::bernoulliFormula() + "\"";
    for (std::size_t i = 0; i < pages.size(); ++i) {
        const auto& entry = pages[i];
        bool last = i + 1 == pages.size();
        items.push_back({entry.title, entry.imageName, entry.secondText,
                         replaceAll(entry.text, kAppNamePlaceholder, quotedTitle),
                         LocalizedString::localized(last ? "letsStart" : "next"), std::nullopt, {}});
    }
    return items;
}

platform::onboard::AppearanceConfiguration OnboardingManager::appearanceConfiguration() {
    bool dark = platform::gfx::isDarkMode();
    platform::gfx::Color tint = KuvoColor::color(dark ? KuvoColor::paletteLightBlue : KuvoColor::paletteDarkBlue);
    platform::onboard::AppearanceConfiguration look;
    look.tintColor = tint;
    look.titleColor = KuvoColor::label();
    look.textColor = KuvoColor::label();
    look.backgroundColor = KuvoColor::background();
    look.imageContentMode = platform::ui::ContentMode::center;
    look.titleFont = platform::gfx::Font::preferred(platform::gfx::TextStyle::title1);
    look.textFont = platform::gfx::Font::preferred(platform::gfx::TextStyle::body);
    look.advanceButtonStyling = [tint](platform::ui::Button& button) { styleButton(button, tint); };
    return look;
}

void OnboardingManager::styleButton(platform::ui::Button& button, const platform::gfx::Color& color) {
    button.setTitleColor(color, platform::ui::controlState::normal);
    button.titleLabel()->setFont(platform::gfx::Font::system(20, platform::gfx::FontWeight::semibold));
    if (platform::gfx::isDarkMode()) return;
    auto& layer = *button.layer();
    layer.setMasksToBounds(false);
    layer.setShadowColor(KuvoColor::systemGray());
    layer.setShadowOpacity(0.7);
    layer.setShadowOffset(platform::gfx::Size{0, 1});
    layer.setShadowRadius(1);
}

void OnboardingManager::finishOnboarding(const std::function<void()>& completion) {
    platform::DefaultsKey<bool>(isOnboardingFinishedKey).set(true);
    if (completion) completion();
}

void OnboardingManager::markOnboardingFinished() { finishOnboarding(); }

bool OnboardingManager::isOnboardingFinished() { return platform::DefaultsKey<bool>(isOnboardingFinishedKey).get(); }

std::shared_ptr<platform::onboard::OnboardViewController> OnboardingManager::presentOnboarding(
    const std::vector<OnboardingPageEntry>& pages, platform::ui::ViewController& presenter,
    platform::ui::ModalPresentationStyle style, bool animated, std::function<void()> completion) {
    auto pager = std::make_shared<platform::onboard::OnboardViewController>(pageItems(pages), appearanceConfiguration(),
                                                                            std::move(completion));
    pager->setModalPresentationStyle(style);
    pager->presentFrom(presenter, animated);
    return pager;
}

}  // namespace velmora
