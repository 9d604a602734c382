// Tests of the own advertisement page: its look for an advertisement and without one, its counter and its three events.
#include <doctest/doctest.h>

#include <fstream>
#include <limits>

#include "platform/foundation/bundle.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/user_defaults.h"
#include "platform/gfx/image.h"
#include "platform/ui/application.h"
#include "platform/ui/interaction.h"
#include "velmora/engine/analytics_sink.h"
#include "velmora/shell/kuvo_ads_view_controller.h"
#include "velmora/shell/shell_pages_test_support.h"

using namespace velmora;

namespace {

const KuvoAdData kMathSuite{"adMathSuite", "https://store.velmora.example/app/mathsuite-pro?offer=spring", "30"};

struct AdsStage {
    testing::ShellStage stage;
    std::shared_ptr<RecordingAnalytics> recorder = std::make_shared<RecordingAnalytics>();

    AdsStage() {
        registerKuvoAdsNib();
        setAnalytics(recorder);
    }
    ~AdsStage() { setAnalytics(nullptr); }

    // A new page presented from the root page and shown.
    std::shared_ptr<KuvoAdsViewController> present(std::optional<KuvoAdData> ad) {
        auto page = std::make_shared<KuvoAdsViewController>();
        page->currentAd = std::move(ad);
        page->setModalPresentationStyle(platform::ui::ModalPresentationStyle::fullScreen);
        stage.root()->present(page, true);
        stage.advance(1);
        return page;
    }

    std::vector<platform::Value::Dictionary> parameters(const std::string& name) const {
        std::vector<platform::Value::Dictionary> out;
        for (const auto& event : recorder->events()) {
            if (event.name == name) out.push_back(event.parameters);
        }
        return out;
    }
};

platform::Value::Dictionary expected(const std::string& adId, long long count) {
    return {{"sendingApp", "com.velmora.bernoulli"}, {"kuvoAdId", adId}, {"countKuvoAdsPresented", count}};
}

}  // namespace

TEST_CASE("every appearance is counted across launches and logged with the count it made") {
    AdsStage f;
    auto first = f.present(kMathSuite);
    f.stage.root()->dismiss(false);
    f.stage.settle();
    f.present(kMathSuite);
    f.stage.root()->dismiss(false);
    f.stage.launch();  // a new process on the same preferences
    f.present(std::nullopt);
    CHECK(platform::UserDefaults::standard().integerForKey(KuvoAdsViewController::countKuvoAdsPresentedKey) == 3);
    CHECK(f.parameters("kuvoAds_presented") ==
          std::vector<platform::Value::Dictionary>{expected("adMathSuite", 1), expected("adMathSuite", 2),
                                                   expected("unknown", 3)});
}

TEST_CASE("the counter stops at the largest integer") {
    AdsStage f;
    const auto largest = std::numeric_limits<std::int64_t>::max();
    platform::UserDefaults::standard().setInteger(largest, KuvoAdsViewController::countKuvoAdsPresentedKey);
    f.present(kMathSuite);
    CHECK(KuvoAdsViewController::countKuvoAdsPresented() == largest);
    CHECK(f.parameters("kuvoAds_presented") ==
          std::vector<platform::Value::Dictionary>{expected("adMathSuite", static_cast<long long>(largest))});
}

TEST_CASE("the page's look: the image for the language, the discount on the button") {
    AdsStage f;
    platform::gfx::Image::registerNamed("adMathSuite_de", platform::gfx::Image(platform::gfx::Size{30, 20}));
    platform::gfx::Image::registerNamed("adMathSuite_en", platform::gfx::Image(platform::gfx::Size{40, 20}));
    SUBCASE("a language remote content is made for") {
        platform::ProcessInfo::setLocaleIdentifier("de_DE");
        auto page = f.present(kMathSuite);
        REQUIRE(page->adImageView->image());
        CHECK(page->adImageView->image()->size() == platform::gfx::Size{30, 20});
    }
    SUBCASE("any other language shows the English image") {
        platform::ProcessInfo::setLocaleIdentifier("sv_SE");
        auto page = f.present(kMathSuite);
        REQUIRE(page->adImageView->image());
        CHECK(page->adImageView->image()->size() == platform::gfx::Size{40, 20});
    }
    SUBCASE("no advertisement: no image, no title") {
        auto page = f.present(std::nullopt);
        CHECK_FALSE(page->adImageView->image());
        CHECK_FALSE(page->discountButton->title());
    }
    SUBCASE("the button's title: the discount with its percent sign for every placeholder") {
        auto page = f.present(kMathSuite);
        CHECK(page->discountButton->title() ==
              [] {
                  std::string text = platform::Bundle::main().localizedString("grabAdsDiscountForPercentage");
                  return text.replace(text.find("\xC2\xA7"), 2, "30%");
              }());
        CHECK(page->discountButton->layer()->cornerRadius() == 2);
        CHECK(page->discountButton->layer()->shadowOpacity() == doctest::Approx(0.7));
        CHECK_FALSE(page->closeButton->layer()->masksToBounds());
    }
    platform::ProcessInfo::reset();
    platform::gfx::Image::unregisterAll();
}

TEST_CASE("a discount text with two placeholders gets the figure twice") {
    testsupport::TempDir bundle;
    std::filesystem::create_directories(bundle / "en.lproj");
    std::ofstream(bundle / "en.lproj" / "Localizable.strings")
        << "\"grabAdsDiscountForPercentage\" = \"\xC2\xA7 off: grab your \xC2\xA7 now\";\n";
    const auto previous = platform::Bundle::main().resourcePath();
    platform::Bundle::setMainResourcePath(bundle.path());
    CHECK(KuvoAdsViewController::discountTitle(kMathSuite) == "30% off: grab your 30% now");
    CHECK(KuvoAdsViewController::discountTitle({"x", "y", "§"}) == "§% off: grab your §% now");
    platform::Bundle::setMainResourcePath(previous);
}

TEST_CASE("the buttons log, the discount opens the product, both close the page") {
    AdsStage f;
    auto& app = platform::ui::Application::shared();
    SUBCASE("close") {
        auto page = f.present(kMathSuite);
        REQUIRE(platform::ui::tap(*page->closeButton));
        f.stage.advance(1);
        CHECK(f.parameters("kuvoAds_closedAds") == std::vector<platform::Value::Dictionary>{expected("adMathSuite", 1)});
        CHECK(KuvoAdsViewController::countKuvoAdsPresented() == 1);  // closing counts nothing
        CHECK(f.stage.root()->presentedViewController() == nullptr);
        CHECK(app.openedURLs().empty());
    }
    SUBCASE("discount: the product's address opens") {
        auto page = f.present(kMathSuite);
        REQUIRE(platform::ui::tap(*page->discountButton));
        f.stage.advance(1);
        REQUIRE(app.openedURLs().size() == 1);
        CHECK(app.openedURLs()[0].string() == kMathSuite.linkingString);
        CHECK(f.parameters("kuvoAds_openedAdProduct") ==
              std::vector<platform::Value::Dictionary>{expected("adMathSuite", 1)});
        CHECK(f.stage.root()->presentedViewController() == nullptr);
    }
    SUBCASE("discount with an address that is none, or without an advertisement: logged and closed, nothing opened") {
        for (std::optional<KuvoAdData> ad : {std::optional<KuvoAdData>(KuvoAdData{"adBroken", "not an address", "10"}),
                                             std::optional<KuvoAdData>()}) {
            auto page = f.present(ad);
            page->tappedDiscountButton();
            f.stage.advance(1);
            CHECK(f.stage.root()->presentedViewController() == nullptr);
        }
        CHECK(app.openedURLs().empty());
        CHECK(f.parameters("kuvoAds_openedAdProduct") ==
              std::vector<platform::Value::Dictionary>{expected("adBroken", 1), expected("unknown", 2)});
    }
}
