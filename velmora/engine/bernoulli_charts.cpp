// The chart records under a Bernoulli solution: the histogram of P(X=k),
// the distribution function and, for small n, the probability tree.
#include "velmora/engine/analytics_sink.h"
#include "velmora/engine/bernoulli_formula.h"
#include "velmora/engine/decimal_text.h"
#include "velmora/engine/engine_texts.h"
#include "velmora/engine/number_format.h"
#include "velmora/engine/palette.h"

namespace velmora {

namespace {

std::string chartNumber(double value) {
    return formatNumber("", {}, "", 10, true, false, value);
}

// The palette green as the records carry it: darkened when the palette
// colour was first made in dark mode.
std::string chartColor() { return hexString(paletteColor(KuvoColor::paletteGreen)); }

}  // namespace

std::optional<std::pair<long, const Digit*>> KuvoBernoulliFormula::distributionInputs(const char* failedForN,
                                                                                      const char* failedForP) const {
    auto n = countAt(1);
    if (!n) {
        logEvent(failedForN);
        return std::nullopt;
    }
    const Digit* p = numberAt(2);
    if (!p) {
        logEvent(failedForP);
        return std::nullopt;
    }
    return std::make_pair(*n, p);
}

std::optional<ChartList> KuvoBernoulliFormula::buildHistogramData() {
    auto inputs = distributionInputs("qzt_histogramFailedForN", "qzt_histogramFailedForP");
    if (!inputs) return std::nullopt;
    const auto [n, p] = *inputs;
    auto chart = std::make_shared<HistogramChartData>();
    chart->frameRatio = 1.0;
    chart->chartTitle = LocalizedString::histogram();
    chart->dataName = "P(" + chartNumber(static_cast<double>(n)) + "; " + chartNumber(*p->value()) + "; X=k)";
    chart->xAxisName = "k";
    HistogramChartData::ColorTheme theme{chartColor(), {}};
    const auto& values = distribution(n, *p);
    for (std::size_t k = 0; k < values.size(); ++k) theme.dataValues.push_back({static_cast<double>(k), values[k].value});
    chart->dataSetWithColorTheme.push_back(std::move(theme));
    return ChartList{chart};
}

std::optional<ChartList> KuvoBernoulliFormula::buildDistributionFunctionData() {
    auto inputs = distributionInputs("qzt_distributionFunctionFailedForN", "qzt_distributionFunctionFailedForP");
    if (!inputs) return std::nullopt;
    const auto [n, p] = *inputs;
    auto chart = std::make_shared<DistributionFunctionChartData>();
    chart->frameRatio = 1.0;
    chart->chartTitle = LocalizedString::distributionFunction();
    chart->dataName = "F(" + chartNumber(static_cast<double>(n)) + "; " + chartNumber(*p->value()) + "; X)";
    chart->xAxisName = "x";
    chart->chartColorHexCode = chartColor();
    // The running sum of the rounded probabilities, kept exactly in units
    // of the last place: each point is that sum, nothing normalises it.
    mpz_class sum = 0;
    const auto& values = distribution(n, *p);
    for (std::size_t k = 0; k < values.size(); ++k) {
        sum += values[k].scaledValue;
        chart->dataSet.push_back({static_cast<double>(k), decimal::nearestDouble(sum, values[k].decimals)});
    }
    return ChartList{chart};
}

std::optional<ChartList> KuvoBernoulliFormula::buildTreeChartData() {
    auto k = countAt(0);
    if (!k) {
        logEvent("qzt_treeChartFailedForK");
        return std::nullopt;
    }
    auto inputs = distributionInputs("qzt_treeChartFailedForN", "qzt_treeChartFailedForP");
    if (!inputs) return std::nullopt;
    const auto [n, p] = *inputs;
    if (n > kBernoulliMaxTreeTrials) return std::nullopt;
    auto chart = std::make_shared<BernoulliDistributionTreeChartData>();
    chart->frameRatio = 1.0;
    chart->chartTitle = LocalizedString::probabilityTree();
    chart->chartColorHexCode = chartColor();
    chart->probabilityOfSuccess = *p->value();
    chart->hits = static_cast<int>(*k);
    chart->trials = static_cast<int>(n);
    return ChartList{chart};
}

}  // namespace velmora
