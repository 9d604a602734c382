#include <doctest/doctest.h>

#include "measurement/core/core_test_support.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/plist_codec.h"
#include "platform/ui/interaction.h"
#include "platform/ui/storyboard.h"
#include "velmora/engine/bernoulli_formula.h"
#include "velmora/engine/string_output.h"
#include "velmora/screens/calculate_view_controller.h"
#include "velmora/charts/chart_table_view_cell.h"
#include "velmora/screens/history_table_view_controller.h"
#include "velmora/screens/page_test_support.h"
#include "velmora/screens/solution_step_table_view_cell.h"
#include "velmora/screens/solution_view_controller.h"
#include "velmora/screens/step_latex.h"
#include "velmora/analytics/measurement_analytics.h"

using measurement::testing::EngineFixture;
using velmora::testing::PageFixture;

namespace {

// The solution of a calculation, straight from the engine.
std::vector<velmora::SolutionStep> engineSteps(const char* k, const char* n, const char* p) {
    auto& output = velmora::KuvoStringOutput::shared();
    output.clear();
    velmora::KuvoBernoulliFormula formula;
    auto result = formula.validateAndCalculate(k, "kTextField", n, "nTextField", p, "pTextField", 3);
    REQUIRE_FALSE(result.errorKey);
    auto steps = output.solutionSteps;
    output.clear();
    return steps;
}

std::shared_ptr<platform::ui::TableViewCell> cellAt(platform::ui::TableView& table, platform::ui::IndexPath path) {
    table.scrollToRow(path, platform::ui::TableViewScrollPosition::top, false);
    table.layoutIfNeeded();
    return table.cellForRow(path);
}

struct AnalyticsScope {
    ~AnalyticsScope() { velmora::setAnalytics(nullptr); }
};

// The last stored event of that name.
std::optional<measurement::APMRawEventData> lastNamed(const std::vector<measurement::APMRawEventData>& events,
                                                      const std::string& name) {
    std::optional<measurement::APMRawEventData> found;
    for (const auto& event : events) {
        if (event.event().name() == name) found = event;
    }
    return found;
}

}  // namespace

TEST_CASE("headless: k, n, p typed on the keypad and calculated reach every page, the history and the database") {
    EngineFixture engine;
    AnalyticsScope analytics;
    PageFixture app({false, false, &engine.time()});
    REQUIRE(velmora::configureMeasurementAnalytics());
    engine.settle();
    const auto expected = engineSteps("2", "5", "0.3");
    REQUIRE(expected.size() == 27);

    app.launch();
    app.calculate("2", "5", "0.3");
    engine.settle();
    REQUIRE(app.tabs()->selectedIndex() == 1);
    auto& table = *app.solutionPage()->tableView;

    // the 27 steps, each typeset from its rewritten LaTeX
    REQUIRE(table.numberOfRows(0) == 27);
    bool resultShown = false;
    for (int row = 0; row < 27; ++row) {
        auto cell = std::dynamic_pointer_cast<velmora::SolutionStepTableViewCell>(cellAt(table, {0, row}));
        REQUIRE(cell);
        const auto& step = expected[static_cast<std::size_t>(row)];
        CAPTURE(row);
        auto latex = step.find("latexString");
        std::string shown = latex == step.end() ? "" : velmora::rewriteStepLatex(latex->second);
        CHECK(cell->mathLabel->latex() == shown);
        CHECK_FALSE(cell->mathLabel->error());
        // P(X = 2) = C(5, 2) 0.3^2 0.7^3 = 10 * 0.09 * 0.343 = 0.3087
        if (shown.find("0.3087") != std::string::npos) resultShown = true;
    }
    CHECK(resultShown);

    // the chart rows: histogram, distribution function and, as n <= 10, the tree
    REQUIRE(table.numberOfSections() == 2);
    REQUIRE(table.numberOfRows(1) == 3);
    for (int row = 0; row < 3; ++row) {
        auto cell = std::dynamic_pointer_cast<velmora::ChartTableViewCell>(cellAt(table, {1, row}));
        REQUIRE(cell);
        REQUIRE(cell->chartData().size() == 1);
        CHECK_FALSE(cell->contentView()->subviews().empty());  // the chart's view
        double ratio = cell->chartData()[0]->frameRatio.value_or(0);
        REQUIRE(ratio > 0);
        CHECK(table.rectForRow({1, row}).height() == doctest::Approx(390.0 / ratio));
    }
    CHECK(std::dynamic_pointer_cast<velmora::HistogramChartData>(
        std::dynamic_pointer_cast<velmora::ChartTableViewCell>(cellAt(table, {1, 0}))->chartData()[0]));
    CHECK(std::dynamic_pointer_cast<velmora::BernoulliDistributionTreeChartData>(
        std::dynamic_pointer_cast<velmora::ChartTableViewCell>(cellAt(table, {1, 2}))->chartData()[0]));

    // the new history row at the top, and the stored "Calculations"
    auto history = platform::ui::Storyboard::named("Main")->instantiate<velmora::HistoryTableViewController>(
        "HistoryTableViewController");
    app.toolbar()->transition(history, {}, false);
    engine.settle();
    auto row = std::dynamic_pointer_cast<velmora::HistoryTableViewCell>(history->tableView()->cellForRow({0, 0}));
    REQUIRE(row);
    CHECK(row->mathLabel->latex() == "p = 0.3 \\quad k = 2 \\quad n = 5");
    auto bytes = platform::readFile(platform::UserDefaults::standard().filePath());
    REQUIRE(bytes);
    auto stored = platform::parsePropertyList(*bytes);
    REQUIRE(stored);
    const auto& calculations = (*stored)["Calculations"].asArray();
    REQUIRE(calculations.size() == 1);
    CHECK(calculations[0] == platform::Value(platform::Value::Dictionary{
                                 {"inputParameters", platform::Value::Dictionary{{"kTextField", "2"},
                                                                                 {"nTextField", "5"},
                                                                                 {"pTextField", "0.3"}}},
                                 {"latexString", "p = 0.3 \\quad k = 2 \\quad n = 5"},
                                 {"solutionSteps", platform::Value::Array{}},
                                 {"setupParameter", platform::Value::Dictionary{{"appKey", "QZT"}}}}));

    // "kuvo_calculate" in the measurement database, whole
    auto events = engine.rawEvents();
    auto calculate = lastNamed(events, "kuvo_calculate");
    REQUIRE(calculate);
    CHECK(calculate->event().parameter("solutionStepsCount")->int64Value() == 27);
    CHECK_FALSE(calculate->event().parameter("_err"));
    const auto& list = calculate->event().parameter("solutionSteps")->listValue();
    REQUIRE(list.size() == 27);
    for (std::size_t i = 0; i < 27; ++i) {
        CAPTURE(i);
        CHECK(list[i].at("title").stringValue() == expected[i].at("title"));
        if (expected[i].count("latexString")) CHECK(list[i].at("latexString").stringValue() == expected[i].at("latexString"));
    }
}

TEST_CASE("headless: what the database holds of a refusal, a large calculation and a reopened entry") {
    EngineFixture engine;
    AnalyticsScope analytics;
    PageFixture app({false, false, &engine.time()});
    REQUIRE(velmora::configureMeasurementAnalytics());
    app.launch();

    app.calculate("7", "5", "0.3");  // k above n
    engine.settle();
    auto refusal = lastNamed(engine.rawEvents(), "kuvo_got_error");
    REQUIRE(refusal);
    CHECK(refusal->event().parameter("error_case")->stringValue() == "binomialCoefficientKBiggerThanN");
    CHECK_FALSE(refusal->event().parameter("_err"));
    CHECK_FALSE(lastNamed(engine.rawEvents(), "kuvo_calculate"));

    // The largest inputs the calculator takes: every step text still fits
    // the engine's value limit, so nothing is cut and no "_err" is added;
    // above ten trials there is no tree.
    for (const auto& id : {"kTextField", "nTextField", "pTextField"}) {
        std::dynamic_pointer_cast<platform::ui::TextField>(platform::ui::findView(app.window(), id))->setText("");
    }
    app.calculate("100", "200", "0.5");
    engine.settle();
    const auto expected = engineSteps("100", "200", "0.5");
    auto calculate = lastNamed(engine.rawEvents(), "kuvo_calculate");
    REQUIRE(calculate);
    CHECK_FALSE(calculate->event().parameter("_err"));
    const auto& list = calculate->event().parameter("solutionSteps")->listValue();
    REQUIRE(list.size() == expected.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        for (const auto& field : expected[i]) {
            const auto& key = field.first;
            const auto& text = field.second;
            CAPTURE(text);
            CHECK(text.size() <= 500);
            CHECK(list[i].at(key).stringValue() == text);
        }
    }
    CHECK(app.solutionPage()->tableView->numberOfRows(1) == 2);

    // the history's pick: the parameters arrive as a list of one dictionary
    auto history = platform::ui::Storyboard::named("Main")->instantiate<velmora::HistoryTableViewController>(
        "HistoryTableViewController");
    app.toolbar()->transition(history, {}, false);
    engine.settle();
    REQUIRE(platform::ui::tap(*history->tableView()->cellForRow({0, 0})));
    engine.settle();
    auto pick = lastNamed(engine.rawEvents(), "tapped_history_item");
    REQUIRE(pick);
    CHECK_FALSE(pick->event().parameter("_err"));
    CHECK(pick->event().parameter("latex_string")->stringValue() == "p = 0.5 \\quad k = 100 \\quad n = 200");
    const auto& parameters = pick->event().parameter("calc_parameters")->listValue();
    REQUIRE(parameters.size() == 1);
    CHECK(parameters[0].at("kTextField").stringValue() == "100");
    CHECK(parameters[0].at("nTextField").stringValue() == "200");
    CHECK(parameters[0].at("pTextField").stringValue() == "0.5");
    CHECK(app.calculatePage()->nTextField->text() == "200");
}
