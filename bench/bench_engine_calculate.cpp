// validateAndCalculate over a grid of inputs: the time of one whole
// calculation (parsing, limits, 26 steps, charts) by number of trials and by
// kind of p, with ratios taken within this run.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "velmora/engine/bernoulli_formula.h"

namespace {

double microsecondsPerCall(const std::string& k, const std::string& n, const std::string& p, int repetitions) {
    auto& output = velmora::KuvoStringOutput::shared();
    std::size_t steps = 0;  // keeps the calls from being optimised away
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < repetitions; ++i) {
        output.clear();
        velmora::KuvoBernoulliFormula formula;
        auto result = formula.validateAndCalculate(k, "k", n, "n", p, "p", 3);
        steps += result.solutionSteps ? result.solutionSteps->size() : 0;
    }
    auto elapsed = std::chrono::steady_clock::now() - start;
    output.clear();
    if (steps == 1) std::printf(" ");
    return std::chrono::duration<double, std::micro>(elapsed).count() / repetitions;
}

}  // namespace

int main() {
    const std::vector<int> trials = {5, 20, 50, 100, 200};
    const std::vector<std::pair<std::string, std::string>> probabilities = {
        {"decimal 0.3", "0.3"}, {"fraction 1/3", "1/3"}, {"decimal 0.123456", "0.123456"},
        {"constant \xCF\x80/4", "\xCF\x80/4"}};
    const int repetitions = 40;

    std::printf("validateAndCalculate, microseconds per call (mean over k = 0, n/2, n; %d runs each)\n",
                repetitions);
    std::printf("%-20s", "p \\ n");
    for (int n : trials) std::printf("%10d", n);
    std::printf("\n");
    double baseline = 0;
    double slowest = 0;
    for (const auto& [label, p] : probabilities) {
        std::printf("%-20s", label.c_str());
        for (int n : trials) {
            double total = 0;
            for (int k : {0, n / 2, n}) total += microsecondsPerCall(std::to_string(k), std::to_string(n), p, repetitions);
            double mean = total / 3;
            if (baseline == 0) baseline = mean;
            slowest = std::max(slowest, mean);
            std::printf("%10.1f", mean);
        }
        std::printf("\n");
    }
    std::printf("slowest cell / fastest cell (n = 5, p = 0.3): %.1f\n", slowest / baseline);
    double refused = microsecondsPerCall("201", "5", "0.3", repetitions * 10);
    std::printf("refused at the first limit: %.1f microseconds per call (%.2f of the fastest cell)\n", refused,
                refused / baseline);
    return 0;
}
