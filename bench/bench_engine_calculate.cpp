// validateAndCalculate over a grid of inputs: the time of one whole
// calculation (parsing, limits, 26 steps, charts) by number of trials and by
// kind of p, with ratios taken within this run. Each call is timed alone:
// beside the mean of every cell, the median and the longest call, and the
// process's peak memory, its context switches and the load average at the
// start and the end.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "velmora/engine/bernoulli_formula.h"

namespace {

constexpr int kLabelWidth = 20;
constexpr int kSpreadLabelWidth = 28;

// The microseconds of each of `repetitions` calls, appended to `calls`.
void timeCalls(const std::string& k, const std::string& n, const std::string& p, int repetitions,
               std::vector<double>& calls) {
    auto& output = velmora::KuvoStringOutput::shared();
    std::size_t steps = 0;  // keeps the calls from being optimised away
    for (int i = 0; i < repetitions; ++i) {
        const auto start = std::chrono::steady_clock::now();
        output.clear();
        velmora::KuvoBernoulliFormula formula;
        auto result = formula.validateAndCalculate(k, "k", n, "n", p, "p", 3);
        steps += result.solutionSteps ? result.solutionSteps->size() : 0;
        calls.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    output.clear();
    if (steps == 1) std::printf(" ");
}

double mean(const std::vector<double>& values) {
    return values.empty() ? 0 : std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
}

// One line of the grid: the figure `of` each cell's calls.
template <class Of>
void printRow(int width, const std::string& label, const std::vector<std::vector<double>>& cells, Of of) {
    std::printf("%-*s", width, label.c_str());
    for (const auto& calls : cells) std::printf("%10.1f", of(calls));
    std::printf("\n");
}

}  // namespace

int main() {
    const bench::RunReport report;
    const std::vector<int> trials = {5, 20, 50, 100, 200};
    const std::vector<std::pair<std::string, std::string>> probabilities = {
        {"decimal 0.3", "0.3"}, {"fraction 1/3", "1/3"}, {"decimal 0.123456", "0.123456"},
        {"constant \xCF\x80/4", "\xCF\x80/4"}};
    const int repetitions = 40;

    std::printf("validateAndCalculate, microseconds per call (mean over k = 0, n/2, n; %d runs each)\n",
                repetitions);
    std::printf("%-*s", kLabelWidth, "p \\ n");
    for (int n : trials) std::printf("%10d", n);
    std::printf("\n");
    double baseline = 0;
    double slowest = 0;
    std::vector<std::vector<std::vector<double>>> grid;  // calls by p, then n
    for (const auto& [label, p] : probabilities) {
        auto& row = grid.emplace_back();
        for (int n : trials) {
            auto& calls = row.emplace_back();
            for (int k : {0, n / 2, n}) timeCalls(std::to_string(k), std::to_string(n), p, repetitions, calls);
            const double cell = mean(calls);
            if (baseline == 0) baseline = cell;
            slowest = std::max(slowest, cell);
        }
        printRow(kLabelWidth, label, row, mean);
    }
    std::printf("slowest cell / fastest cell (n = 5, p = 0.3): %.1f\n", slowest / baseline);
    std::vector<double> refusals;
    timeCalls("201", "5", "0.3", repetitions * 10, refusals);
    const double refused = mean(refusals);
    std::printf("refused at the first limit: %.1f microseconds per call (%.2f of the fastest cell)\n", refused,
                refused / baseline);
    std::printf("each call alone, microseconds: median and longest of the %d calls of every cell\n", 3 * repetitions);
    std::printf("%-*s", kSpreadLabelWidth, "p \\ n");
    for (int n : trials) std::printf("%10d", n);
    std::printf("\n");
    for (std::size_t i = 0; i < grid.size(); ++i) {
        printRow(kSpreadLabelWidth, probabilities[i].first + ", median", grid[i], bench::median);
        printRow(kSpreadLabelWidth, probabilities[i].first + ", longest", grid[i], bench::longest);
    }
    std::printf("refused at the first limit: median %.1f, longest %.1f microseconds of %d calls\n",
                bench::median(refusals), bench::longest(refusals), repetitions * 10);
    report.printEnd("bench_engine_calculate");
    return 0;
}
