#pragma once

// The parameters of the application's own events as it logs them, for the
// upload tests and benchmarks: a calculation with its solution steps, a
// refused input, a screen view.

#include <cstdint>
#include <string>

#include "platform/foundation/value.h"

namespace upload_test {

// "kuvo_calculate" of P(n = 5, p = 0.3, X = 2): six steps, each a title and
// its LaTeX line.
inline platform::Value::Dictionary kuvoCalculateParameters() {
    const char* steps[][2] = {
        {"Given", "n = 5,\\ p = 0.3,\\ k = 2"},
        {"Formula", "P(X=k) = \\binom{n}{k} \\cdot p^{k} \\cdot (1-p)^{n-k}"},
        {"Insert", "P(X=2) = \\binom{5}{2} \\cdot 0.3^{2} \\cdot 0.7^{3}"},
        {"Binomial coefficient", "\\binom{5}{2} = \\frac{5!}{2! \\cdot 3!} = 10"},
        {"Powers", "0.3^{2} = 0.09,\\ 0.7^{3} = 0.343"},
        {"Result", "P(X=2) = 10 \\cdot 0.09 \\cdot 0.343 = 0.3087"},
    };
    platform::Value::Array list;
    for (const auto& step : steps) {
        list.push_back(platform::Value(platform::Value::Dictionary{{"title", platform::Value(std::string(step[0]))},
                                                                   {"latexString", platform::Value(std::string(step[1]))}}));
    }
    const auto count = static_cast<std::int64_t>(list.size());
    return {{"solutionSteps", platform::Value(std::move(list))}, {"solutionStepsCount", platform::Value(count)}};
}

inline platform::Value::Dictionary kuvoGotErrorParameters() {
    return {{"error_case", platform::Value(std::string("mustBeLessThanX§200"))}};
}

// The screen view as the screen reporter stores it ("_vs").
inline platform::Value::Dictionary screenViewParameters() {
    return {{"_sc", platform::Value(std::string("CalculateViewController"))},
            {"_si", platform::Value(std::int64_t{-4412350928113470112})},
            {"_sn", platform::Value(std::string("Calculator"))},
            {"_et", platform::Value(std::int64_t{5230})}};
}

}  // namespace upload_test
