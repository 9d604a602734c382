#include <doctest/doctest.h>

#include <string>
#include <vector>

#include "platform/frameworks/math_label/mt_math_ui_label.h"
#include "velmora/engine/bernoulli_formula.h"
#include "velmora/engine/string_output.h"
#include "velmora/screens/step_latex.h"

using velmora::rewriteStepLatex;

namespace {

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

}  // namespace

TEST_CASE("step LaTeX rewriting") {
    struct Case {
        const char* input;
        const char* expected;
    };
    const std::vector<Case> cases{
        {"", ""},
        {"P(X=2)", "P\\left(X=2\\right)"},
        {"3.0", "3"},
        {"3.0 \\cdot 2", "3 \\cdot 2"},
        {"0.05", "0.05"},
        {"0.05 + 2.0 x", "0.05 + 2.0 x"},  // only the first ".0" is looked at
        {"0.05 + 2.0", "0.05 + 2"},      // a trailing ".0" always goes
        {"2*x", "2\\cdot x"},
        {"1 - -2", "1 +2"},
        {"= +5", "=5"},
        {"a 1x + b 0x", "ax + b"},
        {"II) n = 5", "II) n = 5"},
        {"n = 5 \\quad II)", "n = 5 \\quad  II\\right)"},
        {"I) (a)", "I) \\left(a\\right)"},
        {"\\color{#ff3333}{2}", "\\;\\color{#ff3333}{2}"},
        {"a\\quad b", "a\\quad  b"},
        {"a\\quad     b", "a\\quad   b"},  // more than one space settles at three
        {"1.0\\quad 2", "1\\quad  2"},
        {"5 +- 3", "5 - 3"},
        {"5 -+ 3", "5 - 3"},
        {"5 + + 3", "5 + 3"},
        {"5 ++ 3", "5 + 3"},
        {"5 -- 3", "5 + 3"},
        {"x =+ 1", "x = 1"},
        {"end. next", "end next"},
        {"\\left(1\\right)", "\\left(1\\right)"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.input);
        CHECK(rewriteStepLatex(c.input) == c.expected);
    }

    SUBCASE("a rewritten text without colour is a fixed point") {
        for (const auto& c : cases) {
            std::string once = rewriteStepLatex(c.input);
            if (once.find("\\color") != std::string::npos) continue;
            CAPTURE(c.input);
            CHECK(rewriteStepLatex(once) == once);
        }
    }

    SUBCASE("the passes are capped: a text needing more passes than the cap is taken as far as it got") {
        // Each pass removes only the first bare ".0" (and the first pass
        // the trailing one as well), so 200 of them need 199 passes.
        std::string text;
        for (int i = 0; i < 200; ++i) text += "x.0 ";
        text.pop_back();
        std::string out = rewriteStepLatex(text);
        CHECK(count(out, ".0") == 200 - (velmora::kMaxStepLatexPasses + 1));
        CHECK(out.rfind("x x x", 0) == 0);
    }
}

TEST_CASE("every rewritten step of a real solution typesets without error, each parenthesis as a delimiter") {
    auto& output = velmora::KuvoStringOutput::shared();
    for (const char* k : {"2", "0", "7"}) {
        output.clear();
        velmora::KuvoBernoulliFormula formula;
        auto result = formula.validateAndCalculate(k, "kTextField", "7", "nTextField", "1/3", "pTextField", 3);
        REQUIRE_FALSE(result.errorKey);
        REQUIRE(output.solutionSteps.size() == 27);
        for (const auto& step : output.solutionSteps) {
            auto latex = step.find("latexString");
            if (latex == step.end()) continue;
            std::string rewritten = rewriteStepLatex(latex->second);
            CAPTURE(latex->second);
            platform::math::MTMathUILabel label;
            label.setLatex(rewritten);
            CHECK_FALSE(label.error());
            CHECK(count(rewritten, "(") == count(rewritten, "\\left("));
            CHECK(count(latex->second, "\\color") == count(rewritten, "\\;\\color"));
        }
    }
    output.clear();
}
