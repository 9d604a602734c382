#include <doctest/doctest.h>

#include <cmath>

#include "platform/gfx/color.h"

using namespace platform::gfx;

TEST_CASE("colours resolve against the interface style") {
    InterfaceStyleScope light(InterfaceStyle::light);
    SUBCASE("a dynamic colour answers the variant of the current style") {
        Color c = Color::dynamic(Color::rgb(1, 0, 0), Color::rgb(0, 0, 1));
        CHECK(c.rgba() == RGBA{1, 0, 0, 1});
        {
            InterfaceStyleScope dark(InterfaceStyle::dark);
            CHECK(c.rgba() == RGBA{0, 0, 1, 1});
            CHECK(isDarkMode());
        }
        CHECK_FALSE(isDarkMode());
        CHECK(c.rgba(InterfaceStyle::dark) == RGBA{0, 0, 1, 1});
    }
    SUBCASE("the label and background colours swap between styles") {
        CHECK(Color::label().rgba() == RGBA{0, 0, 0, 1});
        CHECK(Color::systemBackground().rgba() == RGBA{1, 1, 1, 1});
        setInterfaceStyle(InterfaceStyle::dark);
        CHECK(Color::label().rgba() == RGBA{1, 1, 1, 1});
        CHECK(Color::systemBackground().rgba() == RGBA{0, 0, 0, 1});
        setInterfaceStyle(InterfaceStyle::unspecified);
        CHECK(interfaceStyle() == InterfaceStyle::light);
    }
    SUBCASE("alpha applies to both variants") {
        Color c = Color::label().withAlphaComponent(0.9);
        CHECK(c.rgba()->alpha == 0.9);
        CHECK(c.rgba(InterfaceStyle::dark) == RGBA{1, 1, 1, 0.9});
    }
    SUBCASE("a pattern has no red-green-blue form") {
        Color p = Color::pattern("stripes");
        CHECK_FALSE(p.rgba());
        CHECK_FALSE(p.hsba());
        CHECK(p.description() == "pattern(stripes)");
    }
    SUBCASE("equality compares kind, components and variants") {
        CHECK(Color::rgb(0.1, 0.2, 0.3) == Color::rgb(0.1, 0.2, 0.3));
        CHECK_FALSE(Color::rgb(0.1, 0.2, 0.3) == Color::rgb(0.1, 0.2, 0.3, 0.5));
        CHECK(Color::systemGray4() == Color::systemGray4());
        CHECK_FALSE(Color::systemGray4() == Color::systemGray());
        CHECK_FALSE(Color::white(1) == Color::systemBackground());
    }
}

TEST_CASE("hue, saturation and brightness") {
    SUBCASE("known conversions") {
        HSBA red = toHSBA({1, 0, 0, 1});
        CHECK(red.hue == 0);
        CHECK(red.saturation == 1);
        CHECK(red.brightness == 1);
        // blue is the largest: hue = (4 + (r - g) / delta) / 6
        HSBA blue = toHSBA({0.33, 0.43, 1.0, 1});
        CHECK(blue.hue == doctest::Approx((4 + (0.33 - 0.43) / 0.67) / 6));
        CHECK(blue.saturation == doctest::Approx(0.67));
        CHECK(blue.brightness == 1.0);
        HSBA grey = toHSBA({0.5, 0.5, 0.5, 0.4});
        CHECK(grey.saturation == 0);
        CHECK(grey.alpha == 0.4);
    }
    SUBCASE("round trips") {
        for (RGBA c : {RGBA{0.0, 0.26, 0.79, 1}, RGBA{0.56, 0.61, 1.0, 1}, RGBA{0.0, 0.9, 0.46, 1},
                       RGBA{0.7, 0.2, 0.1, 0.5}}) {
            RGBA back = toRGBA(toHSBA(c));
            CHECK(back.red == doctest::Approx(c.red));
            CHECK(back.green == doctest::Approx(c.green));
            CHECK(back.blue == doctest::Approx(c.blue));
            CHECK(back.alpha == c.alpha);
        }
    }
    SUBCASE("hues outside 0…1 wrap and a NaN hue is red") {
        CHECK(toRGBA({1.5, 1, 1, 1}).blue == doctest::Approx(1));  // 0.5 is cyan
        RGBA nanHue = toRGBA({std::nan(""), 1, 1, 1});
        CHECK(nanHue.red == 1);
    }
}

TEST_CASE("descriptions") {
    CHECK(Color::rgb(0.0, 0.26, 0.79).description() == "#0042c9");
    CHECK(Color::white(0.1).description() == "#1a1a1a");
    CHECK(Color::black().withAlphaComponent(0.7).description() == "#000000,0.7");
    CHECK(Color::systemGray().description() == "systemGray");
    CHECK(Color::rgb(1.4, -1, 0.5).description() == "#ff0080");
}
