#pragma once
// Helpers of the chart tests: Bernoulli chart records made by the engine,
// probabilities worked out by hand, and views rendered into display lists.

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include <doctest/doctest.h>

#include "platform/gfx/graphics_context.h"
#include "platform/ui/view.h"
#include "velmora/engine/bernoulli_formula.h"

namespace velmora::testing {

// The engine's chart lists for the texts k, n and p.
inline std::vector<ChartList> bernoulliCharts(const std::string& k, const std::string& n, const std::string& p) {
    KuvoStringOutput::shared().clear();
    KuvoBernoulliFormula formula;
    auto result = formula.validateAndCalculate(k, "kTextField", n, "nTextField", p, "pTextField", 3);
    KuvoStringOutput::shared().clear();
    REQUIRE(result.chartData);
    return *result.chartData;
}

template <class Record>
std::shared_ptr<Record> record(const std::vector<ChartList>& lists, std::size_t index) {
    REQUIRE(index < lists.size());
    REQUIRE(lists[index].size() == 1);
    auto r = std::dynamic_pointer_cast<Record>(lists[index].front());
    REQUIRE(r);
    return r;
}

// P(X = k) for n trials by the textbook product, rounded half up to 5 places.
inline double binomialPoint(int k, int n, double p) {
    double c = 1;
    for (int i = 1; i <= k; ++i) c = c * (n - k + i) / i;
    return std::round(c * std::pow(p, k) * std::pow(1 - p, n - k) * 1e5) / 1e5;
}

// What a view and its subviews draw, the view's top-left corner at the origin.
inline platform::gfx::DisplayList renderView(platform::ui::View& view) {
    view.layoutIfNeeded();
    platform::gfx::GraphicsContext context(view.bounds().size);
    view.layer()->renderInContext(context);
    return context.takeDisplayList();
}

// What a view draws of its own in its bounds.
inline platform::gfx::DisplayList drawView(platform::ui::View& view) {
    platform::gfx::GraphicsContext context(view.bounds().size);
    platform::gfx::ContextScope scope(context);
    view.draw(view.bounds());
    return context.takeDisplayList();
}

}  // namespace velmora::testing
