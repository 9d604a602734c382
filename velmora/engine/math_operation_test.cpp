#include <doctest/doctest.h>

#include <cmath>

#include "velmora/engine/math_operation.h"

using namespace velmora;

namespace {

Digit fraction(double z, double n = 1) {
    Digit d;
    d.z = z;
    d.n = n;
    return d;
}

// Leaves the shared fraction mode as it found it.
struct FractionMode {
    explicit FractionMode(bool on) : saved(KuvoMathOperation::shared().withFraction) {
        KuvoMathOperation::shared().withFraction = on;
    }
    ~FractionMode() { KuvoMathOperation::shared().withFraction = saved; }
    bool saved;
};

}  // namespace

TEST_CASE("fractionSubtractionSteps") {
    auto& math = KuvoMathOperation::shared();
    SUBCASE("whole numbers without fraction mode") {
        FractionMode mode(false);
        auto r = math.fractionSubtractionSteps(fraction(5), fraction(2));
        CHECK(*r.result->z == 3);
        CHECK(r.result->n == 1);
        CHECK(*r.subtractionText == "{5} - {2} = {3}");
        CHECK_FALSE(r.expansionText.has_value());
    }
    SUBCASE("fraction mode expands to the common denominator") {
        FractionMode mode(true);
        auto r = math.fractionSubtractionSteps(fraction(1, 2), fraction(1, 3));
        CHECK(*r.result->z == 1);
        CHECK(r.result->n == 6);
        CHECK(*r.expansionText ==
              "\\frac{1 \\cdot 3}{2  \\cdot 3} - \\frac{1 \\cdot 2}{3  \\cdot 2} = \\frac{3}{6  } - \\frac{2}{6}");
        CHECK(*r.subtractionText == "\\frac{3}{6} - \\frac{2}{6} = \\frac{1}{6}");
    }
    SUBCASE("without fraction mode the difference is still right") {
        FractionMode mode(false);
        auto r = math.fractionSubtractionSteps(fraction(1), fraction(1, 2));
        CHECK(*r.result->value() == 0.5);
        CHECK_FALSE(r.expansionText.has_value());
        CHECK(*r.subtractionText == "\\frac{2}{2} - \\frac{1}{2} = \\frac{1}{2}");
        auto sixths = math.fractionSubtractionSteps(fraction(1), fraction(5, 6));
        CHECK(*sixths.result->z == 1);
        CHECK(sixths.result->n == 6);
    }
    SUBCASE("a difference of zero has denominator 1; a negative denominator turns positive") {
        FractionMode mode(true);
        auto zero = math.fractionSubtractionSteps(fraction(1, 2), fraction(1, 2));
        CHECK(*zero.result->z == 0);
        CHECK(zero.result->n == 1);
        auto negative = math.fractionSubtractionSteps(fraction(1, -2), fraction(0, -2));
        CHECK(*negative.result->z == -1);
        CHECK(negative.result->n == 2);
    }
    SUBCASE("constants give a decimal difference") {
        Digit quarterPi = fraction(1, 4);
        quarterPi.zConstants = {NaturalConstant::pi()};
        auto r = math.fractionSubtractionSteps(fraction(1), quarterPi);
        CHECK(*r.result->value() == doctest::Approx(1 - M_PI / 4).epsilon(1e-15));
        CHECK(r.result->zConstants.empty());
    }
    SUBCASE("no number, no result") {
        auto r = math.fractionSubtractionSteps(Digit(), fraction(1));
        CHECK_FALSE(r.result.has_value());
        CHECK_FALSE(r.expansionText.has_value());
        CHECK_FALSE(r.subtractionText.has_value());
    }
    SUBCASE("the operands are not changed") {
        FractionMode mode(true);
        Digit a = fraction(1, 2);
        Digit b = fraction(1, 3);
        math.fractionSubtractionSteps(a, b);
        CHECK(a == fraction(1, 2));
        CHECK(b == fraction(1, 3));
    }
}

TEST_CASE("cancelDown divides by the greatest common divisor") {
    auto& math = KuvoMathOperation::shared();
    SUBCASE("known fractions") {
        auto r = math.cancelDown(fraction(6, 4));
        REQUIRE(r);
        CHECK(*r->digit.z == 3);
        CHECK(r->digit.n == 2);
        CHECK(*math.divisor == 2);
        CHECK(r->latex == "\\frac{6 : 2}{4 : 2} =  \\frac{3}{2}");
        CHECK_FALSE(math.cancelDown(fraction(7, 5)));
        CHECK(*math.divisor == 1);
        auto negative = math.cancelDown(fraction(3, -6));
        REQUIRE(negative);
        CHECK(*negative->digit.z == -1);
        CHECK(negative->digit.n == 2);
        CHECK(*math.divisor == -3);
        CHECK(negative->latex == "\\frac{3 : (-3)}{(-6) : (-3)} =  \\left(-\\frac{1}{2}\\right)");
    }
    SUBCASE("nothing to cancel with a sign only") {
        CHECK_FALSE(math.cancelDown(fraction(3, -4)));
        CHECK(*math.divisor == -1);
    }
    SUBCASE("a common constant") {
        Digit d = fraction(2, 3);
        d.zConstants = {NaturalConstant::pi()};
        d.nConstants = {NaturalConstant::pi()};
        auto r = math.cancelDown(d);
        REQUIRE(r);
        CHECK(r->digit.zConstants.empty());
        CHECK(r->digit.nConstants.empty());
        CHECK(r->latex == "\\frac{2\\pi : \\pi}{3\\pi : \\pi} =  \\frac{2}{3}");
        CHECK(d.zConstants.size() == 1);
    }
    SUBCASE("large values finish at once") {
        auto r = math.cancelDown(fraction(4611686018427387904.0, 2305843009213693952.0));  // 2^62 / 2^61
        REQUIRE(r);
        CHECK(*r->digit.z == 2);
        CHECK(r->digit.n == 1);
        auto primes = math.cancelDown(fraction(999999999989.0 * 7, 999999999989.0 * 11));
        REQUIRE(primes);
        CHECK(*primes->digit.z == 7);
        CHECK(primes->digit.n == 11);
        CHECK_FALSE(math.cancelDown(fraction(1e300, 3e299)));
        CHECK_FALSE(math.cancelDown(fraction(1.5, 3)));
        CHECK_FALSE(math.cancelDown(fraction(INFINITY, 3)));
        CHECK_FALSE(math.cancelDown(Digit()));
    }
}

TEST_CASE("power, binomial coefficient") {
    auto& math = KuvoMathOperation::shared();
    Digit p = math.power(fraction(2, 3), 2);
    CHECK(*p.z == 4);
    CHECK(p.n == 9);
    Digit quarterPi = fraction(1, 4);
    quarterPi.zConstants = {NaturalConstant::pi()};
    Digit squared = math.power(quarterPi, 2);
    CHECK(*squared.value() == doctest::Approx(M_PI * M_PI / 16).epsilon(1e-15));
    CHECK(squared.zConstants.empty());

    CHECK(math.binomialCoefficient(2, 5).value == 10);
    CHECK(math.binomialCoefficient(2, 5).text == "10");
    CHECK(math.binomialCoefficient(0, 5).value == 1);
    CHECK(math.binomialCoefficient(5, 5).value == 1);
    CHECK(math.binomialCoefficient(6, 5).value == 0);
    auto big = math.binomialCoefficient(100, 200);
    CHECK(big.value == mpz_class("90548514656103281165404177077484163874504589675413336841320"));
    CHECK(big.text == "\\infty");
}

TEST_CASE("bernoulliProbability rounds the exact value half away from zero") {
    auto& math = KuvoMathOperation::shared();
    SUBCASE("known values") {
        auto r = math.bernoulliProbability(2, 5, 5, 0.3);
        CHECK(r.value == 0.3087);
        CHECK_FALSE(r.approximate);
        CHECK(r.valueText == "0.3087");
        CHECK(r.percentageText == "30.87 \\%");
        auto third = math.bernoulliProbability(1, 3, 5, 0.33);
        CHECK(third.value == 0.44441);
        CHECK(third.approximate);
        auto exact = math.bernoulliProbability(1, 3, 5, 0.3);
        CHECK(exact.value == 0.441);
        CHECK_FALSE(exact.approximate);
    }
    SUBCASE("a tie rounds up however the binary product falls") {
        auto tie = math.bernoulliProbability(1, 3, 5, 0.35);  // 0.443625 exactly
        CHECK(tie.value == 0.44363);
        CHECK(tie.approximate);
        CHECK(tie.scaledValue == 44363);
    }
    SUBCASE("the percentage of 0.01 is 1") {
        auto r = math.bernoulliProbability(2, 2, 5, 0.1);
        CHECK(r.value == 0.01);
        CHECK(r.percentage == 1);
        CHECK(r.percentageText == "1 \\%");
    }
    SUBCASE("tiny results are approximate") {
        auto tiny = math.bernoulliProbability(12, 12, 5, 0.1);
        CHECK(tiny.value == 0);
        CHECK(tiny.approximate);
        auto small = math.bernoulliProbability(8, 9, 5, 0.2);
        CHECK(small.value == 0.00002);
        CHECK(small.approximate);
    }
    SUBCASE("p with a constant is computed in double") {
        Digit quarterPi = fraction(1, 4);
        quarterPi.zConstants = {NaturalConstant::pi()};
        double p = M_PI / 4;
        double expected = 6 * p * p * (1 - p) * (1 - p);
        auto r = math.bernoulliProbability(2, 4, 5, quarterPi);
        CHECK(r.value == doctest::Approx(std::round(expected * 1e5) / 1e5));
        CHECK(r.approximate);
    }
    SUBCASE("outside the support") {
        CHECK(math.bernoulliProbability(6, 5, 5, 0.3).value == 0);
        CHECK(math.bernoulliProbability(-1, 5, 5, 0.3).value == 0);
        CHECK(math.bernoulliProbability(0, 0, 5, 0.3).value == 1);
    }
    SUBCASE("the distribution matches the single values") {
        Digit third = fraction(1, 3);
        auto all = math.bernoulliDistribution(7, 5, third);
        REQUIRE(all.size() == 8);
        for (long k = 0; k <= 7; ++k) {
            auto one = math.bernoulliProbability(k, 7, 5, third);
            CHECK(all[static_cast<std::size_t>(k)].scaledValue == one.scaledValue);
            CHECK(all[static_cast<std::size_t>(k)].approximate == one.approximate);
        }
    }
}

TEST_CASE("round to places judges whether the rounding changed the value") {
    auto r = velmora::round(0.123449999, 4);
    CHECK(r.value == 0.1234);
    CHECK(r.approximate);
    auto noise = velmora::round(0.30000000000000004, 5);
    CHECK(noise.value == 0.3);
    CHECK_FALSE(noise.approximate);
    auto nines = velmora::round(0.29999999999, 2);
    CHECK(nines.value == 0.3);
    CHECK_FALSE(nines.approximate);
    auto half = velmora::round(2.5, 0);
    CHECK(half.value == 3);
    CHECK(half.approximate);
    CHECK(velmora::round(-2.5, 0).value == -3);
    // The cut-off digits of a small value are read positionally, not from
    // the exponent form.
    auto small = velmora::round(1.00001e-05, 5);
    CHECK(small.value == 0.00001);
    CHECK_FALSE(small.approximate);
    CHECK_FALSE(velmora::round(1e300, 5).approximate);
    CHECK(velmora::round(1e300, 5).value == 1e300);
}

TEST_CASE("exactValue reads a Digit as the decimals it was typed as") {
    CHECK(*exactValue(fraction(0.3)) == mpq_class(3, 10));
    CHECK(*exactValue(fraction(1, 3)) == mpq_class(1, 3));
    CHECK(*exactValue(fraction(0.5, 0.25)) == 2);
    Digit pi = fraction(1);
    pi.zConstants = {NaturalConstant::pi()};
    CHECK_FALSE(exactValue(pi));
    pi.z = 0;
    CHECK(*exactValue(pi) == 0);
    CHECK_FALSE(exactValue(Digit()));
    CHECK(&KuvoMathOperation::shared() == &KuvoMathOperation::shared());
}
