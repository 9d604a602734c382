// The own advertisement page and its interface file.
#include "velmora/shell/kuvo_ads_view_controller.h"

#include <limits>

#include "platform/foundation/bundle.h"
#include "platform/foundation/user_defaults.h"
#include "platform/gfx/appearance.h"
#include "platform/gfx/image.h"
#include "platform/ui/application.h"
#include "platform/ui/storyboard.h"
#include "velmora/engine/analytics_sink.h"
#include "velmora/engine/engine_texts.h"
#include "velmora/screens/kuvo_color.h"
#include "velmora/shell/address_opening.h"
#include "velmora/shell/remote_config_manager.h"

namespace velmora {

namespace {

using platform::gfx::Rect;

constexpr const char* kUnknown = "unknown";

// The light style's lift under the buttons.
void addShadow(platform::ui::View& view) {
    if (platform::gfx::isDarkMode()) return;
    auto& layer = *view.layer();
    layer.setMasksToBounds(false);
    layer.setShadowColor(KuvoColor::systemGray());
    layer.setShadowOpacity(0.7);
    layer.setShadowOffset({0, 1});
    layer.setShadowRadius(1);
}

std::string replacingAll(std::string text, const std::string& what, const std::string& with) {
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size())) {
        text.replace(at, what.size(), with);
    }
    return text;
}

}  // namespace

KuvoAdsViewController::KuvoAdsViewController() : platform::ui::ViewController(nibName) {}

void KuvoAdsViewController::viewDidLoad() {
    platform::ui::ViewController::viewDidLoad();
    setupView();
}

std::string KuvoAdsViewController::discountTitle(const KuvoAdData& ad) {
    return replacingAll(LocalizedString::localized("grabAdsDiscountForPercentage"), "\xC2\xA7", ad.discountNumber + "%");
}

void KuvoAdsViewController::setupView() {
    if (closeButton) {
        closeButton->setTintColor(KuvoColor::color(KuvoColor::paletteGreen));
        addShadow(*closeButton);
    }
    if (adImageView) {
        adImageView->setImage(currentAd ? platform::gfx::Image::named(currentAd->imageName + "_" +
                                                                      RemoteConfigManager::supportedLanguageCode())
                                        : std::nullopt);
    }
    if (discountButton) {
        discountButton->layer()->setCornerRadius(2);
        discountButton->setTitle(currentAd ? std::optional<std::string>(discountTitle(*currentAd)) : std::nullopt);
        discountButton->setBackgroundColor(KuvoColor::color(KuvoColor::paletteLightBlue));
        discountButton->setTitleColor(KuvoColor::darkGray());
        addShadow(*discountButton);
    }
}

std::int64_t KuvoAdsViewController::countKuvoAdsPresented() {
    return platform::UserDefaults::standard().integerForKey(countKuvoAdsPresentedKey);
}

platform::Value::Dictionary KuvoAdsViewController::eventParameters() const {
    std::string sendingApp = platform::Bundle::main().bundleIdentifier();
    return {{"sendingApp", sendingApp.empty() ? kUnknown : sendingApp},
            {"kuvoAdId", currentAd ? currentAd->imageName : kUnknown},
            {"countKuvoAdsPresented", static_cast<long long>(countKuvoAdsPresented())}};
}

void KuvoAdsViewController::viewDidAppear(bool animated) {
    platform::ui::ViewController::viewDidAppear(animated);
    // The count stops at the largest integer instead of wrapping round to a
    // negative one.
    const std::int64_t count = countKuvoAdsPresented();
    const std::int64_t raised = count < std::numeric_limits<std::int64_t>::max() ? count + 1 : count;
    platform::UserDefaults::standard().setInteger(raised, countKuvoAdsPresentedKey);
    logEvent("kuvoAds_presented", eventParameters());
}

void KuvoAdsViewController::tappedCloseButton() {
    logEvent("kuvoAds_closedAds", eventParameters());
    dismiss(true);
}

void KuvoAdsViewController::tappedDiscountButton() {
    if (currentAd) openRemoteAddress(currentAd->linkingString);
    logEvent("kuvoAds_openedAdProduct", eventParameters());
    dismiss(true);
}

namespace {

// The layout: the close button in the top corner, the image filling the
// page, the discount button along the bottom.
std::vector<std::shared_ptr<platform::ui::View>> buildKuvoAdsPage(platform::ui::Responder* owner) {
    Rect screen = platform::ui::Screen::main().bounds();
    const double w = screen.width(), h = screen.height();
    auto root = std::make_shared<platform::ui::View>(Rect(0, 0, w, h));
    root->setAutoresizingMask(platform::ui::autoresizing::flexibleWidth | platform::ui::autoresizing::flexibleHeight);
    root->setBackgroundColor(platform::gfx::Color::systemBackground());
    auto image = std::make_shared<platform::ui::ImageView>(Rect(20, 72, w - 40, h - 180));
    image->setContentMode(platform::ui::ContentMode::scaleAspectFit);
    auto close = std::make_shared<platform::ui::Button>(Rect(w - 64, 16, 44, 44));
    close->setImage(platform::gfx::Image::systemNamed("xmark.circle.fill"));
    close->setAccessibilityIdentifier(KuvoAdsViewController::closeButtonIdentifier);
    auto discount = std::make_shared<platform::ui::Button>(Rect(40, h - 92, w - 80, 52));
    discount->setAccessibilityIdentifier(KuvoAdsViewController::discountButtonIdentifier);
    for (const auto& view : std::vector<std::shared_ptr<platform::ui::View>>{image, close, discount}) root->addSubview(view);
    if (auto* page = dynamic_cast<KuvoAdsViewController*>(owner)) {
        page->adImageView = image;
        page->closeButton = close;
        page->discountButton = discount;
        page->setView(root);
        std::weak_ptr<KuvoAdsViewController> weak = page->sharedAs<KuvoAdsViewController>();
        close->addTarget([weak](platform::ui::Control&) {
            if (auto p = weak.lock()) p->tappedCloseButton();
        }, platform::ui::controlEvent::touchUpInside, "tappedCloseButton:");
        discount->addTarget([weak](platform::ui::Control&) {
            if (auto p = weak.lock()) p->tappedDiscountButton();
        }, platform::ui::controlEvent::touchUpInside, "tappedDiscountButton:");
    }
    return {root};
}

}  // namespace

void registerKuvoAdsNib() { platform::ui::Nib::registerNib(KuvoAdsViewController::nibName, buildKuvoAdsPage); }

}  // namespace velmora
