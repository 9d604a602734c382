#pragma once

#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "velmora/engine/chart_data.h"
#include "velmora/engine/digit.h"
#include "velmora/engine/math_operation.h"
#include "velmora/engine/string_output.h"

namespace velmora {

// The given-values template of the Bernoulli inputs k, n, p (fields 0, 1, 2).
inline constexpr const char* kBernoulliInputFormat = "p = %2 \\quad k = %0 \\quad n = %1";
// The largest k and n the calculator accepts.
inline constexpr long kBernoulliMaxTrials = 200;
// Trees are drawn up to this many trials.
inline constexpr long kBernoulliMaxTreeTrials = 10;

// On refusal only the error key and the failing field ids are set; on
// success only the steps, the summary (the given-values line) and the charts.
struct BernoulliResult {
    std::optional<std::string> errorKey;
    std::optional<std::vector<std::string>> failingFieldIds;
    std::optional<std::vector<SolutionStep>> solutionSteps;
    std::optional<std::string> summaryLatex;
    std::optional<std::vector<ChartList>> chartData;
};

// P(n, p, X=k) = C(n, k) p^k (1-p)^(n-k) with its typeset solution and the
// histogram, distribution-function and (for n <= 10) tree charts.
class KuvoBernoulliFormula {
public:
    KuvoBernoulliFormula();

    KuvoMathOperation* operation;
    KuvoStringOutput* output;
    std::vector<Digit> allInputs;  // k, n, p once parsed

    // Parses the texts, applies the limits in order (the first failure wins)
    // and on success appends the solution to the shared collector and
    // builds the charts. The fraction mode of the shared math operation is
    // off when the call returns.
    BernoulliResult validateAndCalculate(const std::optional<std::string>& kText, const std::string& kId,
                                         const std::optional<std::string>& nText, const std::string& nId,
                                         const std::optional<std::string>& pText, const std::string& pId,
                                         std::optional<int> requiredInputCount);

    // Appends the 26 steps after the given values; needs inputs that passed
    // the limits (does nothing otherwise).
    void buildSolutionSteps();

    // One-record lists, or absent (with a "qzt_..." event for an input
    // without a number).
    std::optional<ChartList> buildHistogramData();
    std::optional<ChartList> buildDistributionFunctionData();
    std::optional<ChartList> buildTreeChartData();

    // P(X = k) of the last successful calculation, as every step shows it.
    const std::optional<BernoulliProbability>& probability() const { return probability_; }

private:
    struct Refusal {
        std::string key;
        std::vector<std::string> ids;
    };
    struct Inputs {
        long k = 0;
        long n = 0;
        Digit p;
    };
    struct Distribution {
        long n = 0;
        Digit p;
        std::vector<BernoulliProbability> values;
    };

    std::optional<Refusal> checkInputs(const std::vector<std::string>& ids);
    std::optional<Refusal> checkLimits(const std::vector<std::string>& ids);
    std::optional<Inputs> validInputs() const;
    const std::vector<BernoulliProbability>& distribution(long n, const Digit& p);
    const Digit* numberAt(std::size_t index) const;
    // n and p for a chart; logs the event of the first without a number.
    std::optional<std::pair<long, const Digit*>> distributionInputs(const char* failedForN,
                                                                    const char* failedForP) const;
    std::optional<long> countAt(std::size_t index) const;

    std::optional<Distribution> distribution_;
    std::optional<BernoulliProbability> probability_;
};

}  // namespace velmora
