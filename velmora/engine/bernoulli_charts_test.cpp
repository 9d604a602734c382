#include <doctest/doctest.h>

#include <cmath>
#include <memory>

#include "velmora/engine/analytics_sink.h"
#include "velmora/engine/bernoulli_formula.h"
#include "velmora/engine/palette.h"

using namespace velmora;

namespace {

std::vector<ChartList> charts(const std::string& k, const std::string& n, const std::string& p) {
    KuvoStringOutput::shared().clear();
    KuvoBernoulliFormula formula;
    auto result = formula.validateAndCalculate(k, "k", n, "n", p, "p", 3);
    KuvoStringOutput::shared().clear();
    REQUIRE(result.chartData);
    return *result.chartData;
}

template <typename Chart>
std::shared_ptr<Chart> chartAt(const std::vector<ChartList>& lists, std::size_t index) {
    REQUIRE(index < lists.size());
    REQUIRE(lists[index].size() == 1);
    auto chart = std::dynamic_pointer_cast<Chart>(lists[index].front());
    REQUIRE(chart);
    return chart;
}

// P(X = k) of n trials by the textbook product, rounded half up to 5 places.
double binomialPoint(int k, int n, double p) {
    double c = 1;
    for (int i = 1; i <= k; ++i) c = c * (n - k + i) / i;
    return std::round(c * std::pow(p, k) * std::pow(1 - p, n - k) * 1e5) / 1e5;
}

Digit number(double value) {
    Digit d;
    d.z = value;
    return d;
}

struct RecordingScope {
    RecordingScope() : sink(std::make_shared<RecordingAnalytics>()) { setAnalytics(sink); }
    ~RecordingScope() { setAnalytics(nullptr); }
    std::shared_ptr<RecordingAnalytics> sink;
};

}  // namespace

TEST_CASE("the histogram holds P(X = k) for every k") {
    auto lists = charts("2", "5", "0.3");
    REQUIRE(lists.size() == 3);
    auto histogram = chartAt<HistogramChartData>(lists, 0);
    CHECK(histogram->frameRatio == 1.0);
    CHECK(histogram->chartTitle == "Histogram");
    CHECK(histogram->dataName == "P(5; 0.3; X=k)");
    CHECK(histogram->xAxisName == "k");
    REQUIRE(histogram->dataSetWithColorTheme.size() == 1);
    const auto& theme = histogram->dataSetWithColorTheme.front();
    CHECK(theme.hexColor == "#00e575");
    // the records carry the palette colour as first made, dark or light
    CHECK(theme.hexColor == hexString(paletteColor(KuvoColor::paletteGreen)));
    REQUIRE(theme.dataValues.size() == 6);
    for (int k = 0; k <= 5; ++k) {
        CHECK(theme.dataValues[static_cast<std::size_t>(k)] == ChartPoint{double(k), binomialPoint(k, 5, 0.3)});
    }
    CHECK(theme.dataValues[2] == ChartPoint{2, 0.3087});

    auto zero = chartAt<HistogramChartData>(charts("0", "4", "0"), 0);
    CHECK(zero->dataSetWithColorTheme.front().dataValues ==
          std::vector<ChartPoint>{{0, 1}, {1, 0}, {2, 0}, {3, 0}, {4, 0}});
    auto third = chartAt<HistogramChartData>(charts("0", "1", "1/3"), 0);
    CHECK(third->dataName == "P(1; 0.3333333333; X=k)");
    CHECK(third->dataSetWithColorTheme.front().dataValues == std::vector<ChartPoint>{{0, 0.66667}, {1, 0.33333}});
}

TEST_CASE("the distribution function sums the rounded probabilities") {
    auto lists = charts("2", "5", "0.3");
    auto function = chartAt<DistributionFunctionChartData>(lists, 1);
    CHECK(function->frameRatio == 1.0);
    CHECK(function->chartTitle == "Distribution function");
    CHECK(function->dataName == "F(5; 0.3; X)");
    CHECK(function->xAxisName == "x");
    CHECK(function->chartColorHexCode == "#00e575");
    CHECK_FALSE(function->isPresentationView);
    CHECK_FALSE(function->isConverse);
    const std::vector<ChartPoint> expected = {{0, 0.16807}, {1, 0.52822}, {2, 0.83692},
                                              {3, 0.96922}, {4, 0.99757}, {5, 1.0}};
    CHECK(function->dataSet == expected);

    // Rounded parts need not add up to 1; nothing normalises the last point.
    auto thirds = chartAt<DistributionFunctionChartData>(charts("0", "1", "1/3"), 1);
    CHECK(thirds->dataSet.back() == ChartPoint{1, 1.0});
    auto sevenths = chartAt<DistributionFunctionChartData>(charts("0", "3", "1/7"), 1);
    // 0.62974 + 0.31487 + 0.05248 + 0.00292 = 1.00001
    CHECK(sevenths->dataSet.back() == ChartPoint{3, 1.00001});
    auto single = chartAt<DistributionFunctionChartData>(charts("1", "1", "0.5"), 1);
    CHECK(single->dataSet.size() == 2);
}

TEST_CASE("the tree is built up to ten trials") {
    auto tree = chartAt<BernoulliDistributionTreeChartData>(charts("3", "10", "0.25"), 2);
    CHECK(tree->frameRatio == 1.0);
    CHECK(tree->chartTitle == "Probability Tree");
    CHECK(tree->chartColorHexCode == "#00e575");
    CHECK(tree->probabilityOfSuccess == 0.25);
    CHECK(tree->hits == 3);
    CHECK(tree->trials == 10);

    RecordingScope scope;
    auto eleven = charts("3", "11", "0.25");
    CHECK(eleven.size() == 2);
    CHECK(scope.sink->events().empty());
}

TEST_CASE("builders report inputs without a number") {
    RecordingScope scope;
    SUBCASE("nothing parsed") {
        KuvoBernoulliFormula formula;
        CHECK_FALSE(formula.buildHistogramData());
        CHECK_FALSE(formula.buildDistributionFunctionData());
        CHECK_FALSE(formula.buildTreeChartData());
        CHECK(scope.sink->eventNames() == std::vector<std::string>{"qzt_histogramFailedForN",
                                                                    "qzt_distributionFunctionFailedForN",
                                                                    "qzt_treeChartFailedForK"});
        for (const auto& event : scope.sink->events()) CHECK(event.parameters.empty());
    }
    SUBCASE("p missing") {
        KuvoBernoulliFormula formula;
        formula.allInputs = {number(1), number(3), Digit()};
        CHECK_FALSE(formula.buildHistogramData());
        CHECK_FALSE(formula.buildDistributionFunctionData());
        CHECK_FALSE(formula.buildTreeChartData());
        CHECK(scope.sink->eventNames() == std::vector<std::string>{"qzt_histogramFailedForP",
                                                                    "qzt_distributionFunctionFailedForP",
                                                                    "qzt_treeChartFailedForP"});
    }
    SUBCASE("n missing for the tree") {
        KuvoBernoulliFormula formula;
        formula.allInputs = {number(1), Digit(), number(0.5)};
        CHECK_FALSE(formula.buildTreeChartData());
        CHECK(scope.sink->eventNames() == std::vector<std::string>{"qzt_treeChartFailedForN"});
    }
    SUBCASE("complete inputs build without events") {
        KuvoBernoulliFormula formula;
        formula.allInputs = {number(1), number(3), number(0.5)};
        auto histogram = formula.buildHistogramData();
        REQUIRE(histogram);
        REQUIRE(histogram->size() == 1);
        CHECK(formula.buildTreeChartData());
        CHECK(scope.sink->events().empty());
    }
}
