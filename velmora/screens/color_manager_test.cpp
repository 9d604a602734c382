#include <doctest/doctest.h>

#include <fstream>

#include "platform/foundation/bundle.h"
#include "platform/frameworks/input_field/dt_text_field.h"
#include "platform/frameworks/material/buttons.h"
#include "platform/frameworks/star_rating/star_rating_view.h"
#include "platform/gfx/layer.h"
#include "platform/ui/image_view.h"
#include "platform/ui/stack_view.h"
#include "testsupport/temp_dir.h"
#include "testsupport/test_hooks.h"
#include "velmora/screens/color_manager.h"
#include "velmora/screens/kuvo_color.h"
#include "velmora/screens/screen_texts.h"

using namespace velmora;
using platform::gfx::Color;
using platform::gfx::InterfaceStyle;
using platform::gfx::InterfaceStyleScope;

// Each case starts from unset constants (velmora_fresh_constants), so this one
// may run in any order.
TEST_CASE("palette colours are fixed by the interface style of their first use") {
    {
        InterfaceStyleScope light(InterfaceStyle::light);
        CHECK(KuvoColor::color(KuvoColor::paletteBlue) == KuvoColor::makePaletteColor(KuvoColor::paletteBlue,
                                                                                        InterfaceStyle::light));
        CHECK(KuvoColor::neutralGray() == Color::systemGray4());
    }
    InterfaceStyleScope dark(InterfaceStyle::dark);
    // read before in light mode: unchanged now
    CHECK(ColorManager::hexString(KuvoColor::color(KuvoColor::paletteBlue)) == "#546dff");
    CHECK(KuvoColor::neutralGray() == Color::systemGray4());
    // first read in dark mode: darkened for good
    const Color& darkGreen = KuvoColor::color(KuvoColor::paletteDarkGreen);
    CHECK(darkGreen.hsba()->brightness == doctest::Approx(0.7 * 0.7));
    InterfaceStyleScope light(InterfaceStyle::light);
    CHECK(KuvoColor::color(KuvoColor::paletteDarkGreen) == darkGreen);
}

TEST_CASE("unset constants are made again in the style of their next use; those handed out stay valid") {
    const Color* darkFirst = nullptr;
    std::string darkText;
    {
        InterfaceStyleScope dark(InterfaceStyle::dark);
        darkFirst = &KuvoColor::color(KuvoColor::paletteBlue);
        darkText = *ColorManager::hexString(*darkFirst);
        CHECK(KuvoColor::neutralGray() == Color::systemGray());
    }
    test_hooks::resetApplicationConstants();
    InterfaceStyleScope light(InterfaceStyle::light);
    CHECK(ColorManager::hexString(KuvoColor::color(KuvoColor::paletteBlue)) == "#546dff");
    CHECK(KuvoColor::neutralGray() == Color::systemGray4());
    // the colour handed out in dark mode is still there, still dark
    CHECK(ColorManager::hexString(*darkFirst) == darkText);
    CHECK(darkText != "#546dff");
}

TEST_CASE("the palette in each style") {
    SUBCASE("light mode: the engine's values, with the texts of the palette table") {
        struct Row {
            RGBColor value;
            const char* text;
        };
        for (Row row : {Row{KuvoColor::paletteDarkBlue, "#0042c9"}, Row{KuvoColor::paletteLightBlue, "#8e9bff"},
                        Row{KuvoColor::paletteBlue, "#546dff"}, Row{KuvoColor::paletteGreen, "#00e575"},
                        Row{KuvoColor::paletteDarkGreen, "#00b247"}}) {
            InterfaceStyleScope light(InterfaceStyle::light);
            Color c = KuvoColor::makePaletteColor(row.value, InterfaceStyle::light);
            CHECK(ColorManager::hexString(c) == row.text);
            CHECK(c.rgba()->alpha == KuvoColor::alphaOne);
        }
    }
    SUBCASE("dark mode: same hue and saturation, 70 % of the brightness") {
        Color dark = KuvoColor::makePaletteColor(KuvoColor::paletteLightBlue, InterfaceStyle::dark);
        auto hsb = platform::gfx::toHSBA({0.56, 0.61, 1.0, 1});
        auto got = *dark.rgba(InterfaceStyle::light);
        auto gotHsb = platform::gfx::toHSBA(got);
        CHECK(gotHsb.hue == doctest::Approx(hsb.hue));
        CHECK(gotHsb.saturation == doctest::Approx(hsb.saturation));
        CHECK(gotHsb.brightness == doctest::Approx(0.7));
        // #8e9bff darkened: each component times 0.7 for a colour whose brightest part is 1
        CHECK(ColorManager::hexString(dark) == "#636cb2");
    }
    SUBCASE("the fixed colours") {
        CHECK(KuvoColor::darkGray().rgba() == platform::gfx::RGBA{0.1, 0.1, 0.1, 1});
        CHECK(KuvoColor::lightGray().rgba() == platform::gfx::RGBA{0.9, 0.9, 0.9, 1});
        CHECK(KuvoColor::label() == Color::label());
        CHECK(KuvoColor::cardShadow() == Color::label());
        CHECK(KuvoColor::background() == Color::systemBackground());
        CHECK(KuvoColor::disabledInputFieldBackground() == Color::systemFill());
        CHECK(KuvoColor::disabledText() == Color::systemGray());
        CHECK(KuvoColor::tertiaryGroupedBackground() == Color::tertiarySystemGroupedBackground());
        CHECK_FALSE(KuvoColor::paletteColorForTag(106));
        CHECK_FALSE(KuvoColor::paletteColorForTag(200));
    }
}

TEST_CASE("colours as #rrggbb texts") {
    InterfaceStyleScope light(InterfaceStyle::light);
    CHECK(ColorManager::hexString(Color::white()) == "#ffffff");
    CHECK(ColorManager::hexString(Color::black()) == "#000000");
    CHECK(ColorManager::hexString(Color::rgb(0.33, 0.43, 1.0)) == "#546dff");
    CHECK_FALSE(ColorManager::hexString(Color::pattern("stripes")));
    // components outside 0…1 are held to it: still six digits
    CHECK(ColorManager::hexString(Color::rgb(1.2, -0.5, 0.5)) == "#ff007f");
    CHECK(ColorManager::hexString(Color::rgb(2, 2, 2)) == "#ffffff");
    // a dynamic colour is read as seen now
    CHECK(ColorManager::hexString(Color::label()) == "#000000");
    InterfaceStyleScope dark(InterfaceStyle::dark);
    CHECK(ColorManager::hexString(Color::label()) == "#ffffff");
}

TEST_CASE("darkening for dark mode") {
    Color c = Color::rgb(0.2, 0.4, 1.0);
    SUBCASE("light mode returns the very same colour") {
        InterfaceStyleScope light(InterfaceStyle::light);
        CHECK(ColorManager::adjustedForDarkMode(c, 0.7) == c);
    }
    SUBCASE("dark mode scales the brightness, not below 0") {
        InterfaceStyleScope dark(InterfaceStyle::dark);
        CHECK(ColorManager::adjustedForDarkMode(c, 0.7).hsba()->brightness == doctest::Approx(0.7));
        CHECK(ColorManager::adjustedForDarkMode(c, -2).hsba()->brightness == 0);
        CHECK(ColorManager::adjustedForDarkMode(c.withAlphaComponent(0.4), 0.5).rgba()->alpha ==
              doctest::Approx(0.4));
        Color pattern = Color::pattern("stripes");
        CHECK(ColorManager::adjustedForDarkMode(pattern, 0.7) == pattern);
    }
}

TEST_CASE("styling by tag") {
    SUBCASE("palette backgrounds by tag") {
        InterfaceStyleScope light(InterfaceStyle::light);
        for (int tag : {101, 102, 103, 104, 105}) {
            platform::ui::View view;
            view.setTag(tag);
            ColorManager::styleByTag(view);
            CHECK(view.backgroundColor() == KuvoColor::paletteColorForTag(tag));
        }
        platform::ui::View other;
        other.setTag(7);
        other.setBackgroundColor(Color::red());
        ColorManager::styleByTag(other);
        CHECK(other.backgroundColor() == Color::red());
    }
    SUBCASE("tag 200 in light mode: alpha 0.5 and the grey shadow") {
        InterfaceStyleScope light(InterfaceStyle::light);
        platform::ui::View view;
        view.setTag(200);
        view.layer()->setMasksToBounds(true);
        ColorManager::styleByTag(view);
        CHECK(view.alpha() == 0.5);
        CHECK_FALSE(view.layer()->masksToBounds());
        CHECK(view.layer()->shadowColor() == Color::systemGray());
        CHECK(view.layer()->shadowOpacity() == 0.7);
        CHECK(view.layer()->shadowOffset() == platform::gfx::Size{0, 1});
        CHECK(view.layer()->shadowRadius() == 1);
    }
    SUBCASE("tag 200 in dark mode: alpha 0.3 and the layer untouched") {
        InterfaceStyleScope dark(InterfaceStyle::dark);
        platform::ui::View view;
        view.setTag(200);
        ColorManager::styleByTag(view);
        CHECK(view.alpha() == doctest::Approx(0.3));
        CHECK(view.layer()->shadowOpacity() == 0);
        CHECK(view.layer()->shadowRadius() == 3);
    }
    SUBCASE("buttons get the dark-grey title and tint; a flat button's image too") {
        InterfaceStyleScope light(InterfaceStyle::light);
        platform::material::FlatButton flat(platform::gfx::Image({24, 24}), Color::red());
        flat.setTitle("=");
        ColorManager::styleByTag(flat);
        CHECK(flat.titleColor() == KuvoColor::darkGray());
        CHECK(flat.tintColor() == KuvoColor::darkGray());
        REQUIRE(flat.imageView());
        CHECK(flat.imageView()->tintColor() == KuvoColor::darkGray());
        platform::material::FlatButton titleOnly("7", std::nullopt);
        ColorManager::styleByTag(titleOnly);  // no image view: nothing to tint
        CHECK(titleOnly.imageView() == nullptr);
    }
}

TEST_CASE("styling a view hierarchy by exact class") {
    InterfaceStyleScope light(InterfaceStyle::light);
    struct SpecialStack : platform::ui::StackView {};
    struct SpecialButton : platform::ui::Button {};
    auto root = std::make_shared<platform::ui::View>();
    auto container = std::make_shared<platform::ui::View>();
    auto leaf = std::make_shared<platform::ui::View>();
    leaf->setTag(104);
    container->addSubview(leaf);
    auto stack = std::make_shared<platform::ui::StackView>();
    auto stacked = std::make_shared<platform::material::FABButton>();
    stacked->setTag(101);
    stack->addArrangedSubview(stacked);
    auto special = std::make_shared<SpecialStack>();
    auto hidden = std::make_shared<platform::ui::Button>();
    hidden->setTag(103);
    special->addArrangedSubview(hidden);
    auto subclassed = std::make_shared<SpecialButton>();
    subclassed->setTag(102);
    auto image = std::make_shared<platform::ui::ImageView>();
    image->setTag(105);
    auto stars = std::make_shared<platform::rating::StarRatingView>();
    stars->setTag(104);
    auto field = std::make_shared<platform::input::DTTextField>();
    field->backgroundLayer()->setBackgroundColor(Color::red());
    for (auto v : std::vector<std::shared_ptr<platform::ui::View>>{container, stack, special, subclassed, image, stars,
                                                                   field}) {
        root->addSubview(v);
    }

    ColorManager::styleViewHierarchy(*root);
    CHECK(leaf->backgroundColor() == KuvoColor::color(KuvoColor::paletteGreen));  // a plain view's leaf
    CHECK_FALSE(container->backgroundColor());  // a plain view with subviews is only entered
    CHECK(stacked->backgroundColor() == KuvoColor::color(KuvoColor::paletteDarkBlue));
    CHECK_FALSE(hidden->backgroundColor());  // a stack view's subclass is not entered
    CHECK_FALSE(subclassed->backgroundColor());  // nor is a button's subclass styled
    CHECK(image->backgroundColor() == KuvoColor::color(KuvoColor::paletteDarkGreen));
    CHECK(stars->settings().filledColor == KuvoColor::color(KuvoColor::paletteGreen));
    for (const auto& star : stars->layer()->sublayers()) CHECK(star->shadowOpacity() == 0.7);
    CHECK(field->backgroundLayer()->backgroundColor() == Color::systemBackground());
    CHECK_FALSE(field->backgroundColor());
}

TEST_CASE("card shadows") {
    platform::gfx::Layer layer;
    layer.setMasksToBounds(true);
    {
        InterfaceStyleScope light(InterfaceStyle::light);
        ColorManager::addCardShadow(layer);
        CHECK_FALSE(layer.masksToBounds());
        CHECK(layer.shadowColor() == KuvoColor::cardShadow());
        CHECK(layer.shadowOpacity() == 0.5);
        CHECK(layer.shadowOffset() == platform::gfx::Size{0, 1.5});
        CHECK(layer.shadowRadius() == 2.0);
    }
    InterfaceStyleScope dark(InterfaceStyle::dark);
    ColorManager::applyCardShadow(layer);
    CHECK(layer.shadowOffset() == platform::gfx::Size{0, 0});
    CHECK(layer.shadowRadius() == 1.0);
}

TEST_CASE("text constants are looked up once, the key standing in for a missing translation") {
    testsupport::TempDir dir;
    std::filesystem::create_directories(dir / "en.lproj");
    std::ofstream(dir / "en.lproj/Localizable.strings") << "\"Rate\" = \"Rate this app\";\n\"Send\" = \"Send now\";\n";
    auto previous = platform::Bundle::main().resourcePath();
    platform::Bundle::setMainResourcePath(dir.path());
    CHECK(LocalizedString::rate() == "Rate this app");
    CHECK(LocalizedString::touchToUnlock() == "touchTounlock");
    CHECK(LocalizedString::recommendedVideoIfUnclear() == "recommendedVideoIfUnclear");
    platform::Bundle::setMainResourcePath(previous);
    CHECK(LocalizedString::rate() == "Rate this app");  // kept from the first use
}

TEST_CASE("the shipped English table has a text for every key of the pages") {
    for (const char* key : {"Fill in your given numbers:", "recommendedVideoIfUnclear", "touchTounlock", "Cancel", "Rate",
                            "Send", "Close", "Thanks", "Bernoulli Formula"}) {
        CAPTURE(key);
        CHECK(platform::Bundle::main().localizedString(key, "<missing>") != "<missing>");
    }
    CHECK(platform::Bundle::main().localizedString("touchTounlock") == "Touch to unlock");
}
