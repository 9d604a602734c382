#include <doctest/doctest.h>

#include <cmath>

#include "platform/gfx/font.h"

using namespace platform::gfx;

TEST_CASE("fonts by name") {
    SUBCASE("the Avenir family and others are known, misspellings are not") {
        auto book = Font::named("Avenir-Book", 14);
        REQUIRE(book);
        CHECK(book->familyName() == "Avenir");
        CHECK(book->pointSize() == 14);
        CHECK(Font::named("Avenir-Heavy", 20));
        CHECK(Font::named("HelveticaNeue", 10));
        CHECK_FALSE(Font::named("Avenier", 14));
        CHECK_FALSE(Font::named("Avenir-Book", 0));
        CHECK_FALSE(Font::named("Avenir-Book", -3));
    }
    SUBCASE("heavier cuts are wider") {
        auto book = *Font::named("Avenir-Book", 14);
        auto heavy = *Font::named("Avenir-Heavy", 14);
        CHECK(heavy.widthOf("Result") > book.widthOf("Result"));
        CHECK(Font::boldSystem(12).widthOf("42%") > Font::system(12).widthOf("42%"));
    }
}

TEST_CASE("text sizes are an estimate that behaves like one") {
    Font f = Font::system(12);
    SUBCASE("widths add up and scale with the size") {
        CHECK(f.widthOf("ab") == doctest::Approx(f.widthOf("a") + f.widthOf("b")));
        CHECK(Font::system(24).widthOf("70%   0") == doctest::Approx(2 * f.widthOf("70%   0")));
        CHECK(f.widthOf("") == 0);
        CHECK(f.widthOf("W") > f.widthOf("i"));
    }
    SUBCASE("lines") {
        CHECK(f.measure("").height == 0);
        double one = f.measure("x").height;
        CHECK(one == doctest::Approx(f.lineHeight()).epsilon(0.1));
        CHECK(f.measure("a\nb\nc").height > 2.5 * f.lineHeight());
    }
    SUBCASE("wrapping at spaces within a width and a line limit") {
        std::string text = "one two three four five six";
        double wide = f.widthOf(text) + 10;
        CHECK(f.measure(text, wide, 0).height == f.measure(text).height);
        Size narrow = f.measure(text, f.widthOf("three four") + 1, 0);
        CHECK(narrow.height > 2 * f.lineHeight());
        CHECK(narrow.width <= f.widthOf("three four") + 1);
        Size limited = f.measure(text, f.widthOf("three four") + 1, 2);
        CHECK(limited.height == doctest::Approx(std::ceil(2 * f.lineHeight())));
    }
    SUBCASE("preferred fonts follow their text style") {
        CHECK(Font::preferred(TextStyle::title1).pointSize() > Font::preferred(TextStyle::body).pointSize());
        CHECK(Font::preferred(TextStyle::body).pointSize() > Font::preferred(TextStyle::caption2).pointSize());
    }
}
