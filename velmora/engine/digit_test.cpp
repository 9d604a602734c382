#include <doctest/doctest.h>

#include "velmora/engine/digit.h"

using velmora::Digit;
using velmora::NaturalConstant;

TEST_CASE("a Digit's value folds in its fraction and constants, never its variables") {
    SUBCASE("a new Digit has no number, whatever else it holds") {
        Digit d;
        CHECK_FALSE(d.z.has_value());
        CHECK(d.n == 1.0);
        CHECK_FALSE(d.value().has_value());
        d.n = 4;
        d.zConstants.push_back(NaturalConstant::pi());
        CHECK_FALSE(d.value().has_value());
    }
    SUBCASE("2 pi over e") {
        Digit d;
        d.z = 2;
        d.zConstants = {NaturalConstant::pi()};
        d.nConstants = {NaturalConstant::e()};
        CHECK(*d.value() == doctest::Approx(2 * 3.141592653589793 / 2.718281828459045).epsilon(1e-15));
    }
    SUBCASE("3 over 4") {
        Digit d;
        d.z = 3;
        d.n = 4;
        CHECK(*d.value() == 0.75);
    }
    SUBCASE("a variable does not change the value") {
        Digit d;
        d.z = 3;
        d.zVariable = "x";
        d.powerOfZVariable = 2;
        CHECK(*d.value() == 3);
    }
}

TEST_CASE("assign copies every field and keeps the records apart") {
    Digit a;
    a.z = 5;
    a.n = -7;
    a.zConstants = {NaturalConstant::e()};
    a.nVariable = "y";
    a.powerOfNVariable = 3;
    Digit b;
    b.assign(a);
    CHECK(b == a);
    a.zConstants.push_back(NaturalConstant::pi());
    a.z = 1;
    CHECK(b.zConstants.size() == 1);
    CHECK(*b.z == 5);
    CHECK(b.nVariable == "y");
}

TEST_CASE("natural constants compare by key, LaTeX and value") {
    CHECK(NaturalConstant::pi() == NaturalConstant{"\xCF\x80", "\\pi", 3.141592653589793});
    CHECK_FALSE(NaturalConstant::pi() == NaturalConstant::e());
    CHECK_FALSE(NaturalConstant::e() == (NaturalConstant{"e", "e", 2.7}));
    velmora::Fraction f;
    CHECK_FALSE(f.z.has_value());
    CHECK(f.n == 1.0);
}
