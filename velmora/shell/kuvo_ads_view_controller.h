// The own advertisement page: another product of the family with its discount, counted and logged.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/value.h"
#include "platform/ui/control.h"
#include "platform/ui/image_view.h"
#include "platform/ui/view_controller.h"
#include "velmora/shell/config_records.h"

namespace velmora {

// Shows currentAd, which its presenter sets before presenting the page
// modally; the page dismisses itself. Every appearance raises the stored
// count "countKuvoAdsPresented" (across launches) and logs
// "kuvoAds_presented"; the close button logs "kuvoAds_closedAds", the
// discount button opens the product's address and logs
// "kuvoAds_openedAdProduct". Main thread only.
class KuvoAdsViewController : public platform::ui::ViewController {
public:
    static constexpr const char* nibName = "KuvoAdsViewController";
    static constexpr const char* countKuvoAdsPresentedKey = "countKuvoAdsPresented";
    static constexpr const char* closeButtonIdentifier = "kuvoAdsCloseButton";
    static constexpr const char* discountButtonIdentifier = "kuvoAdsDiscountButton";

    KuvoAdsViewController();

    // Outlets, connected by the interface file.
    std::shared_ptr<platform::ui::Button> closeButton;
    std::shared_ptr<platform::ui::ImageView> adImageView;
    std::shared_ptr<platform::ui::Button> discountButton;

    std::optional<KuvoAdData> currentAd;

    void viewDidLoad() override;
    void viewDidAppear(bool animated) override;
    void setupView();

    void tappedCloseButton();
    void tappedDiscountButton();

    // The stored count; 0 when absent.
    static std::int64_t countKuvoAdsPresented();
    // "sendingApp", "kuvoAdId" and "countKuvoAdsPresented", as every event of the page carries them.
    platform::Value::Dictionary eventParameters() const;
    // The discount button's text: every "§" of the localised text becomes
    // the figure with its percent sign.
    static std::string discountTitle(const KuvoAdData& ad);
};

// Registers the interface file "KuvoAdsViewController".
void registerKuvoAdsNib();

}  // namespace velmora
