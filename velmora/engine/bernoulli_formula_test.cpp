#include <doctest/doctest.h>

#include <gmpxx.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "velmora/engine/bernoulli_formula.h"
#include "velmora/engine/plain_text.h"

using namespace velmora;

namespace {

const std::string kPi = "\xCF\x80";

struct Outcome {
    BernoulliResult result;
    std::vector<SolutionStep> steps;
    std::optional<BernoulliProbability> probability;
};

// One calculation as the calculator page runs it: the collector emptied
// before and after.
Outcome calculate(const std::string& k, const std::string& n, const std::string& p, std::optional<int> required = 3) {
    auto& output = KuvoStringOutput::shared();
    output.clear();
    KuvoBernoulliFormula formula;
    Outcome out{formula.validateAndCalculate(k, "kField", n, "nField", p, "pField", required), {}, {}};
    out.steps = output.solutionSteps;
    out.probability = formula.probability();
    output.clear();
    return out;
}

void checkRefused(const std::string& k, const std::string& n, const std::string& p, const std::string& key,
                  const std::vector<std::string>& fields) {
    CAPTURE(k);
    CAPTURE(n);
    CAPTURE(p);
    auto out = calculate(k, n, p);
    CHECK(out.result.errorKey == key);
    CHECK(out.result.failingFieldIds == fields);
    CHECK_FALSE(out.result.solutionSteps.has_value());
    CHECK_FALSE(out.result.chartData.has_value());
    // Only the input reading may have written steps.
    for (const auto& step : out.steps) CHECK(step.at("title") != "Quick Solution#bold");
    CHECK(out.steps.size() <= 1);
}

// --- An independent exact computation of P(n, p, X = k). ---

mpz_class tenTo(unsigned e) {
    mpz_class out = 1;
    for (unsigned i = 0; i < e; ++i) out *= 10;
    return out;
}

// "0.35" or "a/b" with decimal parts, read digit by digit.
mpq_class typed(const std::string& text) {
    auto slash = text.find('/');
    if (slash != std::string::npos) {
        mpq_class out = typed(text.substr(0, slash)) / typed(text.substr(slash + 1));
        out.canonicalize();
        return out;
    }
    std::string digits;
    unsigned places = 0;
    bool point = false;
    for (char c : text) {
        if (c == '.') {
            point = true;
        } else {
            digits += c;
            if (point) ++places;
        }
    }
    mpq_class out(mpz_class(digits, 10), tenTo(places));
    out.canonicalize();
    return out;
}

// Pascal's triangle row by row.
mpz_class choose(unsigned n, unsigned k) {
    std::vector<mpz_class> row = {1};
    for (unsigned i = 1; i <= n; ++i) {
        std::vector<mpz_class> next(i + 1, 1);
        for (unsigned j = 1; j < i; ++j) next[j] = row[j - 1] + row[j];
        row = next;
    }
    return row[k];
}

mpq_class exactP(unsigned k, unsigned n, const mpq_class& p) {
    mpq_class out = choose(n, k);
    for (unsigned i = 0; i < k; ++i) out *= p;
    for (unsigned i = 0; i < n - k; ++i) out *= (1 - p);
    return out;
}

struct Expected {
    mpz_class hundredThousandths;  // the result rounded to 5 places, half up
    bool approximate;
};

Expected expectedRounding(const mpq_class& value) {
    mpq_class scaled = value * 100000;
    mpq_class shifted = scaled + mpq_class(1, 2);
    mpz_class floor;
    mpz_fdiv_q(floor.get_mpz_t(), shifted.get_num_mpz_t(), shifted.get_den_mpz_t());
    return {floor, scaled.get_den() != 1};
}

// Row `row` (1 to 26) of the solution proper: the last 26 steps.
const std::string& row(const Outcome& out, std::size_t row) {
    return out.steps.at(out.steps.size() - 26 + row - 1).at("latexString");
}

double readNumber(const std::string& text) {
    return std::strtod(text.c_str(), nullptr);
}

double fromHundredThousandths(const mpz_class& units) {
    return readNumber(units.get_str() + "e-5");
}

}  // namespace

TEST_CASE("the example k = 2, n = 5, p = 0.3 gives the whole solution") {
    auto out = calculate("2", "5", "0.3");
    REQUIRE(out.result.solutionSteps);
    CHECK_FALSE(out.result.errorKey.has_value());
    CHECK(*out.result.summaryLatex == "p = 0.3 \\quad k = 2 \\quad n = 5");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Your Input", "p = 0.3 \\quad k = 2 \\quad n = 5"},
        {"Quick Solution#bold", "P(5, 0.3,  X=2) = 0.3087 \\; \\hat{=} \\; 30.87 \\%"},
        {"", ""},
        {"Full Solution#bold", "P(n, p, X=k) = \\binom{n}{k} \\cdot p^k \\cdot (1-p)^{n-k}"},
        {"Insert", "P(5, 0.3, X=2) = \\binom{5}{2} \\cdot 0.3^{2} \\cdot (1-0.3)^{5-2}"},
        {"Calculate", "= \\binom{5}{2} \\cdot 0.3^{2} \\cdot (1-0.3)^{\\color{#ff3333}{5-2}}"},
        {"", "= \\binom{5}{2} \\cdot 0.3^{2} \\cdot (1-0.3)^{\\color{#009900}{3}}"},
        {"", "= \\binom{5}{2} \\cdot 0.3^{2} \\cdot \\color{#ff3333}{(1-0.3)}^{3}"},
        {"", "= \\binom{5}{2} \\cdot 0.3^{2} \\cdot \\color{#ff3333}{(0.7)}^{3}"},
        {"", "= \\binom{5}{2} \\cdot 0.3^{2} \\cdot \\color{#009900}{0.7}^{3}"},
        {"", "= \\color{#ff3333}{\\binom{5}{2}} \\cdot 0.3^{2} \\cdot 0.7^{3}"},
        {"", "= \\color{#009900}{10} \\cdot 0.3^{2} \\cdot 0.7^{3}"},
        {"", "= 10 \\cdot \\color{#ff3333}{0.3^{2}} \\cdot 0.7^{3}"},
        {"", "= 10 \\cdot \\color{#009900}{0.09} \\cdot 0.7^{3}"},
        {"", "= 10 \\cdot 0.09 \\cdot \\color{#ff3333}{0.7^{3}}"},
        {"", "= 10 \\cdot 0.09 \\cdot \\color{#009900}{0.343}"},
        {"", "= \\color{#ff3333}{10 \\cdot 0.09} \\cdot 0.343"},
        {"", "= \\color{#009900}{0.9} \\cdot 0.343"},
        {"", "= \\color{#ff3333}{0.9 \\cdot 0.343}"},
        {"", "= \\color{#009900}{0.3087}"},
        {"Result", "P(5, 0.3, X=2) = 0.3087"},
        {"", ""},
        {"Chosen Formula", "P\\%(n, p, X=k) = P(n, p, X=k) \\cdot 100\\%"},
        {"Insert", "P\\%(5, 0.3, X=2) = P(5, 0.3, X=2) \\cdot 100\\%"},
        {"", "P\\%(5, 0.3, X=2) = 0.3087 \\cdot 100\\%"},
        {"Result", "P\\%(5, 0.3, X=2) = 30.87 \\%"},
        {"", ""},
    };
    REQUIRE(out.result.solutionSteps->size() == expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        CAPTURE(i);
        CHECK(out.result.solutionSteps->at(i).at("title") == expected[i].first);
        CHECK(out.result.solutionSteps->at(i).at("latexString") == expected[i].second);
        CHECK(out.result.solutionSteps->at(i).count("messageString") == 0);
    }
    REQUIRE(out.result.chartData);
    CHECK(out.result.chartData->size() == 3);
}

TEST_CASE("every refusal carries its key and fields, the first failure winning") {
    SUBCASE("limits in their order") {
        checkRefused("201", "5", "0.3", "mustBeLessThanX\xC2\xA7" "200", {"kField"});
        checkRefused("2", "201", "0.3", "mustBeLessThanX\xC2\xA7" "200", {"nField"});
        checkRefused("201", "500", "0.3", "mustBeLessThanX\xC2\xA7" "200", {"kField"});
        checkRefused("0", "0", "0.3", "mustBeGreatherThanX\xC2\xA7" "0", {"nField"});
        checkRefused("0", "-3", "0.3", "mustBeGreatherThanX\xC2\xA7" "0", {"nField"});
        checkRefused("5", "3", "0.3", "binomialCoefficientKBiggerThanN", {"kField", "nField"});
        checkRefused("5", "3", "7", "binomialCoefficientKBiggerThanN", {"kField", "nField"});
        checkRefused("2", "5", "1.5", "mustBeBiggerThanXAndLessThanY\xC2\xA7" "0\xC2\xA7" "1", {"pField"});
        checkRefused("2", "5", "-0.1", "mustBeBiggerThanXAndLessThanY\xC2\xA7" "0\xC2\xA7" "1", {"pField"});
        checkRefused("2", "5", "1.0000000000000002", "mustBeBiggerThanXAndLessThanY\xC2\xA7" "0\xC2\xA7" "1",
                     {"pField"});
    }
    SUBCASE("whole, non-negative k and n") {
        checkRefused("2.5", "5", "0.3", "mustBeWholeNumber", {"kField"});
        checkRefused("1/3", "5", "0.3", "mustBeWholeNumber", {"kField"});
        checkRefused(kPi, "5", "0.3", "mustBeWholeNumber", {"kField"});
        checkRefused("2", "5.5", "0.3", "mustBeWholeNumber", {"nField"});
        checkRefused("2", "2" + kPi, "0.3", "mustBeWholeNumber", {"nField"});
        checkRefused("0.5", "0.5", "0.3", "mustBeWholeNumber", {"kField"});
        checkRefused("-1", "5", "0.3", "mustNotBeNegative", {"kField"});
        checkRefused("-1", "0", "0.3", "mustBeGreatherThanX\xC2\xA7" "0", {"nField"});
        checkRefused("300.5", "5", "0.3", "mustBeWholeNumber", {"kField"});
    }
    SUBCASE("parse failures and missing values come first") {
        checkRefused("", "5", "0.3", "notEnoughInputValues", {"kField"});
        checkRefused("", "", "", "notEnoughInputValues", {"kField", "nField", "pField"});
        checkRefused("()", "5", "0.3", "notEnoughInputValues", {"kField"});
        checkRefused("2", "(", "0.3", "notEnoughInputValues", {"nField"});
        checkRefused("201", "5", "INF", "inputParameterError", {"pField"});
        checkRefused("2", "nan", "0.3", "inputParameterError", {"nField"});
        checkRefused("2", "1E400", "0.3", "inputParameterError", {"nField"});
        checkRefused("2", "5", "0.3/0", "inputZeroInDenominator", {"pField"});
        checkRefused("2", "5", "1/", "fractionIncomplete", {"pField"});
        checkRefused("2" + kPi + kPi, "5", "0.3", "toManyNaturalConstantsInSubstring", {"kField"});
        checkRefused(kPi + "2", "5", "0.3", "naturalConstantInWrongPositionOfSubstring", {"kField"});
        checkRefused("2", "xy", "0.3", "toManyVariablesInSubstring", {"nField"});
        checkRefused("2", "5", "1/2/3", "inputParameterError", {"pField"});
    }
    SUBCASE("variables have no place in the formula") {
        checkRefused("2x", "5", "0.3", "inputParameterError", {"kField"});
        checkRefused("2", "5", "0.3y", "inputParameterError", {"pField"});
    }
    SUBCASE("with fewer required fields a missing number is still refused") {
        auto out = calculate("2", "5", "", 2);
        CHECK(out.result.errorKey == "notEnoughInputValues");
        CHECK(*out.result.failingFieldIds == std::vector<std::string>{"pField"});
    }
}

TEST_CASE("inputs are read with their full value") {
    SUBCASE("a fraction p") {
        auto half = calculate("1", "2", "1/2");
        REQUIRE(half.probability);
        CHECK(half.probability->value == 0.5);
        CHECK(half.steps.at(20).at("latexString") == "P(2, \\frac{1}{2}, X=1) = 0.5");
        CHECK(half.steps.at(9).at("latexString") ==
              "= \\binom{2}{1} \\cdot \\frac{1}{2}^{1} \\cdot \\color{#009900}{\\frac{1}{2}}^{1}");
        auto sixths = calculate("1", "1", "5/6");
        REQUIRE(sixths.probability);
        CHECK(sixths.probability->value == 0.83333);
        CHECK(sixths.probability->approximate);
    }
    SUBCASE("a constant p is its value") {
        checkRefused("1", "1", kPi, "mustBeBiggerThanXAndLessThanY\xC2\xA7" "0\xC2\xA7" "1", {"pField"});
        auto quarterPi = calculate("1", "1", kPi + "/4");
        REQUIRE(quarterPi.probability);
        CHECK(quarterPi.probability->value == 0.7854);
        CHECK(quarterPi.steps.at(0).at("latexString") == "p = \\frac{\\pi}{4} \\quad k = 1 \\quad n = 1");
        auto cancelled = calculate("1", "1", kPi + "/(2" + kPi + ")");
        REQUIRE(cancelled.probability);
        CHECK(cancelled.probability->value == 0.5);
        CHECK_FALSE(cancelled.probability->approximate);
    }
    SUBCASE("a fraction that is a whole number counts as one") {
        auto out = calculate("4/2", "5", "0.3");
        REQUIRE(out.probability);
        CHECK(out.probability->value == 0.3087);
        CHECK(out.result.solutionSteps->at(0).at("title") == "Your Input");
        CHECK(out.result.solutionSteps->at(2).at("title") == "Modified Input");
        CHECK(*out.result.summaryLatex == "p = 0.3 \\quad k = \\frac{4}{2} \\quad n = 5");
    }
    SUBCASE("negative zero is zero") {
        auto out = calculate("-0", "3", "0.5");
        REQUIRE(out.probability);
        CHECK(out.probability->value == 0.125);
        CHECK(out.steps.at(0).at("latexString") == "p = 0.5 \\quad k = 0 \\quad n = 3");
    }
}

TEST_CASE("results agree with an exact computation over many inputs") {
    const std::vector<std::string> probabilities = {"0",     "1",    "0.3",  "0.35",     "0.5",      "0.05",
                                                    "0.123", "0.999", "1/3", "2/7",      "5/6",      "1/2",
                                                    "0.25/2", "0.001", "0.65", "0.123455", "0.999995", "0.000005"};
    const std::vector<unsigned> trials = {1, 2, 3, 5, 8, 12, 20, 50, 101, 200};
    int checked = 0;
    for (const auto& pText : probabilities) {
        const mpq_class p = typed(pText);
        for (unsigned n : trials) {
            for (unsigned k : {0u, 1u, n / 3, n / 2, n - 1, n}) {
                if (k > n) continue;
                CAPTURE(pText);
                CAPTURE(n);
                CAPTURE(k);
                auto out = calculate(std::to_string(k), std::to_string(n), pText);
                REQUIRE(out.probability);
                const Expected expected = expectedRounding(exactP(k, n, p));
                CHECK(out.probability->scaledValue == expected.hundredThousandths);
                CHECK(out.probability->approximate == expected.approximate);
                const std::string rel = expected.approximate ? "\\approx" : "=";
                // The quick line and the result show the same rounded value.
                const auto quick = text::split(row(out, 1), " ");
                CHECK(quick.at(quick.size() - 7) == rel);
                CHECK(readNumber(quick.at(quick.size() - 6)) == fromHundredThousandths(expected.hundredThousandths));
                const auto result = text::split(row(out, 20), " ");
                CHECK(result.at(result.size() - 2) == rel);
                CHECK(readNumber(result.back()) == fromHundredThousandths(expected.hundredThousandths));
                ++checked;
            }
        }
    }
    CHECK(checked > 900);
}

TEST_CASE("ties, tiny results and huge intermediates") {
    SUBCASE("the quick line and the result round a tie alike") {
        auto out = calculate("1", "3", "0.35");
        CHECK(out.steps.at(1).at("latexString") == "P(3, 0.35,  X=1) \\approx 0.44363 \\; \\hat{=} \\; 44.363 \\%");
        CHECK(out.steps.at(20).at("latexString") == "P(3, 0.35, X=1) \\approx 0.44363");
    }
    SUBCASE("known values of the examples") {
        auto exact = calculate("1", "3", "0.3");
        CHECK(exact.steps.at(20).at("latexString") == "P(3, 0.3, X=1) = 0.441");
        auto approx = calculate("1", "3", "0.33");
        CHECK(approx.steps.at(1).at("latexString") == "P(3, 0.33,  X=1) \\approx 0.44441 \\; \\hat{=} \\; 44.441 \\%");
        CHECK(approx.steps.at(19).at("latexString") == "\\approx \\color{#009900}{0.44441}");
        auto percent = calculate("2", "2", "0.1");
        CHECK(percent.steps.at(1).at("latexString") == "P(2, 0.1,  X=2) = 0.01 \\; \\hat{=} \\; 1 \\%");
    }
    SUBCASE("a result that rounds to zero is approximate") {
        auto out = calculate("12", "12", "0.1");
        CHECK(out.steps.at(20).at("latexString") == "P(12, 0.1, X=12) \\approx 0.0");
        CHECK(out.steps.at(13).at("latexString") == "= 1 \\cdot \\color{#009900}{1 \\cdot 10^{-12}} \\cdot 0.9^{0}");
        CHECK(out.steps.at(25).at("latexString") == "P\\%(12, 0.1, X=12) \\approx 0 \\%");
        auto small = calculate("8", "9", "0.2");
        CHECK(small.steps.at(20).at("latexString") == "P(9, 0.2, X=8) \\approx 2e-05");
    }
    SUBCASE("huge and tiny intermediates print in scientific form") {
        auto out = calculate("100", "200", "0.5");
        CHECK(out.steps.at(11).at("latexString") ==
              "= \\color{#009900}{9.05485 \\cdot 10^{58}} \\cdot 0.5^{100} \\cdot 0.5^{100}");
        CHECK(out.steps.at(13).at("latexString") ==
              "= 9.05485 \\cdot 10^{58} \\cdot \\color{#009900}{7.88861 \\cdot 10^{-31}} \\cdot 0.5^{100}");
        CHECK(out.steps.at(17).at("latexString") ==
              "= \\color{#009900}{7.14302 \\cdot 10^{28}} \\cdot 7.88861 \\cdot 10^{-31}");
        CHECK(out.steps.at(20).at("latexString") == "P(200, 0.5, X=100) \\approx 0.05635");
        for (const auto& step : out.steps) CHECK_FALSE(text::contains(step.at("latexString"), "\\infty"));
    }
    SUBCASE("p = 0 and p = 1 at the edges") {
        auto one = calculate("0", "200", "1");
        REQUIRE(one.probability);
        CHECK(one.probability->value == 0);
        CHECK_FALSE(one.probability->approximate);
        auto zero = calculate("0", "200", "0");
        CHECK(zero.probability->value == 1);
        CHECK(zero.steps.at(20).at("latexString") == "P(200, 0, X=0) = 1.0");
    }
}

TEST_CASE("one calculation leaves nothing behind for the next") {
    SUBCASE("the same inputs give the same steps") {
        auto first = calculate("2", "5", "0.3");
        auto second = calculate("2", "5", "0.3");
        CHECK(first.steps == second.steps);
        CHECK(first.steps.size() == 27);
    }
    SUBCASE("fraction mode is off after a refusal and after a success") {
        auto& math = KuvoMathOperation::shared();
        calculate("201", "5", "1/2");
        CHECK_FALSE(math.withFraction);
        calculate("2", "5", "1/3");
        CHECK_FALSE(math.withFraction);
        math.withFraction = true;
        auto out = calculate("2", "5", "0.3");
        CHECK_FALSE(math.withFraction);
        CHECK(out.steps.at(6).at("latexString") == "= \\binom{5}{2} \\cdot 0.3^{2} \\cdot (1-0.3)^{\\color{#009900}{3}}");
    }
    SUBCASE("a refused call keeps no result") {
        auto& output = KuvoStringOutput::shared();
        output.clear();
        KuvoBernoulliFormula formula;
        formula.validateAndCalculate("2", "k", "5", "n", "0.3", "p", 3);
        CHECK(formula.probability().has_value());
        formula.validateAndCalculate("2", "k", "5", "n", "3", "p", 3);
        CHECK_FALSE(formula.probability().has_value());
        output.clear();
    }
    SUBCASE("absent texts count as empty") {
        auto& output = KuvoStringOutput::shared();
        output.clear();
        KuvoBernoulliFormula formula;
        auto r = formula.validateAndCalculate(std::nullopt, "k", "5", "n", std::nullopt, "p", 3);
        CHECK(r.errorKey == "notEnoughInputValues");
        CHECK(*r.failingFieldIds == std::vector<std::string>{"k", "p"});
        output.clear();
    }
}
