#include <doctest/doctest.h>

#include <cmath>

#include "velmora/engine/decimal_text.h"
#include "velmora/engine/number_format.h"

using namespace velmora;

namespace {

std::string plain(double value) {
    return formatNumber("", {}, "", 10, true, false, value);
}

std::string scientific(double value) {
    return formatNumber("", {}, "", 10, true, false, value, OutOfRange::scientific);
}

Digit fraction(double z, double n) {
    Digit d;
    d.z = z;
    d.n = n;
    return d;
}

std::string latex(const Digit& d, int parentheses = 0, bool force = false, bool signedParts = false) {
    return formatNumberForLatex(d, "", parentheses, force, signedParts, 10);
}

}  // namespace

TEST_CASE("formatNumber writes US decimal text within its limits") {
    SUBCASE("known texts") {
        CHECK(plain(0.00000000005) == "0");
        CHECK(plain(2e12) == "\\infty");
        CHECK(plain(-2e12) == "-\\infty");
        CHECK(plain(1234567.5) == "1234567.5");
        CHECK(plain(-0.25) == "(-0.25)");
        CHECK(formatNumber("", {}, "", 10, true, true, -0.25) == "-0.25");
        CHECK(plain(1.00000000005) == "1");
        CHECK(plain(0.0001) == "0.0001");
        CHECK(plain(1e-05) == "0.00001");
        CHECK(plain(0.3087) == "0.3087");
        CHECK(plain(0.1 + 0.2) == "0.3");
        CHECK(plain(10) == "10");
    }
    SUBCASE("the boundaries 1e12 and 1e-10 are inside") {
        CHECK(plain(1e12) == "1000000000000");
        CHECK(plain(std::nextafter(1e12, 2e12)) == "\\infty");
        CHECK(plain(-1e12) == "(-1000000000000)");
        CHECK(plain(1e-10) == "0.0000000001");
        CHECK(plain(std::nextafter(1e-10, 0.0)) == "0");
        CHECK(plain(-1e-10) == "(-0.0000000001)");
    }
    SUBCASE("ten fraction digits, halves to even on the decimal digits") {
        CHECK(plain(2.00000000005) == "2");
        CHECK(plain(2.00000000015) == "2.0000000002");
        CHECK(plain(0.12345678915) == "0.1234567892");
        CHECK(plain(0.12345678925) == "0.1234567892");
        CHECK(plain(0.99999999996) == "1");
        CHECK(plain(1.0 / 3.0) == "0.3333333333");
    }
    SUBCASE("negative zero is zero") {
        CHECK(plain(-0.0) == "0");
        CHECK(NumberFormatter::decimal(10).string(-0.0) == "0");
        CHECK(NumberFormatter::decimal(2).string(-0.001) == "0");
        CHECK(NumberFormatter::decimal(2).string(-0.006) == "-0.01");
    }
    SUBCASE("constants") {
        const std::vector<NaturalConstant> pi = {NaturalConstant::pi()};
        CHECK(formatNumber("", pi, "", 10, true, false, 1) == "\\pi");
        CHECK(formatNumber("", pi, "", 10, true, false, 2) == "2\\pi");
        CHECK(formatNumber("", pi, "", 10, true, false, -1) == "(-\\pi)");
        CHECK(formatNumber("", pi, "", 10, true, false, -2) == "(-2\\pi)");
        CHECK(formatNumber("", pi, "", 10, true, true, -2) == "-2\\pi");
    }
    SUBCASE("factor suffix and trailing text") {
        CHECK(formatNumber("", {}, "x", 10, true, false, 1) == "x");
        CHECK(formatNumber("", {}, "x", 10, true, true, -1) == "-x");
        CHECK(formatNumber("", {}, "x", 10, true, false, -1) == "(-1) x");
        CHECK(formatNumber("", {}, "x", 10, true, false, 3) == "3 x");
        CHECK(formatNumber("\\%", {}, "", 10, true, false, 30.87) == "30.87 \\%");
    }
}

TEST_CASE("solution steps write huge and tiny values in scientific form") {
    CHECK(scientific(90548514656103281165404177077484163874504589675413336841320.0) == "9.05485 \\cdot 10^{58}");
    CHECK(scientific(std::pow(0.5, 100)) == "7.88861 \\cdot 10^{-31}");
    CHECK(scientific(1e-12) == "1 \\cdot 10^{-12}");
    CHECK(scientific(-2e13) == "(-2 \\cdot 10^{13})");
    CHECK(scientific(0) == "0");
    CHECK(scientific(1e12) == "1000000000000");
    CHECK(scientific(0.3087) == "0.3087");
    Digit d = fraction(1, std::pow(2.0, 100));
    CHECK(formatNumberForLatex(d, "", 0, false, false, 10, OutOfRange::scientific) ==
          "\\frac{1}{1.26765 \\cdot 10^{30}}");
    CHECK(latex(d) == "0");
}

TEST_CASE("formatNumberForLatex writes sign, fraction, constants and variables") {
    SUBCASE("sign folded in or kept per part") {
        CHECK(latex(fraction(3, -4)) == "-\\frac{3}{4}");
        CHECK(latex(fraction(3, -4), 2) == "\\left(-\\frac{3}{4}\\right)");
        CHECK(latex(fraction(-3, -4)) == "\\frac{3}{4}");
        CHECK(latex(fraction(3, -4), 0, false, true) == "\\frac{3}{-4}");
        CHECK(latex(fraction(3, 4), 2) == "\\frac{3}{4}");
        CHECK(latex(fraction(3, 4), 1) == "\\left(\\frac{3}{4}\\right)");
    }
    SUBCASE("whole numbers, forced fractions and limits") {
        CHECK(latex(fraction(5, 1)) == "5");
        CHECK(latex(fraction(5, 1), 0, true) == "\\frac{5}{1}");
        CHECK(latex(fraction(2e13, 1)) == "\\infty");
        CHECK(latex(fraction(-2e13, 1)) == "-\\infty");
        CHECK(latex(fraction(1e-11, 1)) == "0");
        CHECK(latex(fraction(-0.0, 1), 0, false, true) == "0");
        CHECK(formatNumberForLatex(fraction(5, 1), "m", 0, false, false, 10) == "5 m");
        Digit empty;
        CHECK(latex(empty) == " ? ");
    }
    SUBCASE("large denominators are written in full") {
        CHECK(latex(fraction(1, 1234567)) == "\\frac{1}{1234567}");
        CHECK(latex(fraction(3, 20000000)) == "\\frac{3}{20000000}");
    }
    SUBCASE("constants") {
        Digit d = fraction(2, 1);
        d.zConstants = {NaturalConstant::pi()};
        d.nConstants = {NaturalConstant::e()};
        CHECK(latex(d) == "\\frac{2\\pi}{e}");
        Digit quarter = fraction(1, 4);
        quarter.zConstants = {NaturalConstant::pi()};
        CHECK(latex(quarter) == "\\frac{\\pi}{4}");
        Digit minusPi = fraction(-1, 1);
        minusPi.zConstants = {NaturalConstant::pi()};
        CHECK(latex(minusPi) == "-\\pi");
        CHECK(latex(minusPi, 0, false, true) == "-\\pi");
    }
    SUBCASE("variables") {
        Digit x = fraction(1, 1);
        x.zVariable = "x";
        x.powerOfZVariable = 1;
        CHECK(latex(x) == " x");
        Digit twoX = fraction(2, 1);
        twoX.zVariable = "x";
        twoX.powerOfZVariable = 1;
        CHECK(latex(twoX) == "2  x");
    }
}

TEST_CASE("formatVariablePart and formatFraction") {
    Digit d = fraction(3, 1);
    CHECK_FALSE(formatVariablePart(d).has_value());
    d.zVariable = "x";
    d.powerOfZVariable = 2;
    CHECK(*formatVariablePart(d) == " x^{2.0}");
    d.powerOfZVariable = 0.5;
    CHECK(*formatVariablePart(d) == " x^{0.5}");
    d.powerOfZVariable = 1;
    d.nVariable = "y";
    d.powerOfNVariable = 3;
    CHECK(*formatVariablePart(d) == "\\frac{x}{y^{3.0}}");
    d.zVariable = "";
    d.powerOfNVariable = 1;
    CHECK(*formatVariablePart(d) == "\\frac{1}{y}");

    CHECK(formatFraction(fraction(6, 4), {}, 2) == "\\frac{6 : 2}{4 : 2}");
    CHECK(formatFraction(fraction(3, -6), {}, -3) == "\\frac{3 : (-3)}{(-6) : (-3)}");
    Digit withX = fraction(4, 2);
    withX.zVariable = "x";
    withX.powerOfZVariable = 1;
    CHECK(formatFraction(withX, {}, 2) == "\\frac{4 : 2}{2 : 2} x");
}

TEST_CASE("decimal texts of doubles") {
    using namespace velmora::decimal;
    SUBCASE("result texts keep a fraction digit and go to exponent form below 1e-4") {
        CHECK(descriptionText(0.3087) == "0.3087");
        CHECK(descriptionText(0.0) == "0.0");
        CHECK(descriptionText(-0.0) == "0.0");
        CHECK(descriptionText(1.0) == "1.0");
        CHECK(descriptionText(1e-05) == "1e-05");
        CHECK(descriptionText(2e-05) == "2e-05");
        CHECK(descriptionText(0.0001) == "0.0001");
        CHECK(descriptionText(1.5e-07) == "1.5e-07");
        CHECK(descriptionText(1e16) == "1e+16");
        CHECK(descriptionText(9007199254740991.0) == "9007199254740991.0");
    }
    SUBCASE("shortest texts lose no digit") {
        CHECK(shortestText(0.1234567) == "0.1234567");
        CHECK(shortestText(3) == "3");
        CHECK(shortestText(-2.5) == "-2.5");
        CHECK(shortestText(1.5e-07) == "1.5e-07");
        CHECK(shortestText(123456789) == "123456789");
        CHECK(shortestText(1e17) == "1e+17");
        CHECK(gText(-0.0) == "0");
        CHECK(gText(0.1234567) == "0.123457");
    }
    SUBCASE("exact values and shifts") {
        CHECK(exactRational(0.3) == mpq_class(3, 10));
        CHECK(exactRational(-2.5) == mpq_class(-5, 2));
        CHECK(exactRational(1e20) == mpq_class(mpz_class("100000000000000000000")));
        CHECK(shiftedDecimal(0.1234567, 7) == 1234567.0);
        CHECK(shiftedDecimal(0.3, 1) == 3.0);
        CHECK(shiftedDecimal(-1.5, 2) == -150.0);
        CHECK(nearestDouble(mpz_class(30870), 5) == 0.3087);
        CHECK(nearestDouble(mpz_class(1), -2) == 100.0);
    }
}
