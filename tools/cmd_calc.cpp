// `velmora calc`: one Bernoulli calculation as the calculator page runs it,
// printed for a person or as one JSON object.
#include <iostream>
#include <memory>
#include <string>

#include "platform/foundation/json_codec.h"
#include "tools/command_registry.h"
#include "tools/data_folder.h"
#include "tools/option_values.h"
#include "tools/path_options.h"
#include "velmora/engine/analytics_sink.h"
#include "velmora/engine/bernoulli_formula.h"
#include "velmora/engine/decimal_text.h"
#include "velmora/engine/error_key.h"
#include "velmora/engine/error_manager.h"
#include "velmora/engine/engine_texts.h"
#include "velmora/engine/plain_text.h"

namespace {

using platform::Value;
using velmora::ChartData;
using velmora::ChartPoint;

struct CalcOptions {
    std::string k;
    std::string n;
    std::string p;
    bool json = false;
    // Read where the analytics are set up (cmd_analytics.cpp).
    std::string data;
};

const std::vector<std::string> kFieldIds = {"kTextField", "nTextField", "pTextField"};

Value points(const std::vector<ChartPoint>& list) {
    Value::Array out;
    for (const auto& point : list) out.push_back(Value::Array(point.begin(), point.end()));
    return out;
}

Value chartValue(const ChartData& chart) {
    Value::Dictionary out;
    if (chart.frameRatio) out.insert({"frameRatio", *chart.frameRatio});
    if (auto* h = dynamic_cast<const velmora::HistogramChartData*>(&chart)) {
        Value::Array themes;
        for (const auto& theme : h->dataSetWithColorTheme) {
            themes.push_back(Value::Dictionary{{"hexColor", theme.hexColor}, {"dataValues", points(theme.dataValues)}});
        }
        out.insert({{"type", "histogram"}, {"chartTitle", h->chartTitle}, {"dataName", h->dataName},
                    {"xAxisName", h->xAxisName}, {"dataSetWithColorTheme", themes}});
    } else if (auto* f = dynamic_cast<const velmora::DistributionFunctionChartData*>(&chart)) {
        out.insert({{"type", "distributionFunction"}, {"chartTitle", f->chartTitle}, {"dataName", f->dataName},
                    {"xAxisName", f->xAxisName}, {"chartColorHexCode", f->chartColorHexCode},
                    {"dataSet", points(f->dataSet)}, {"isPresentationView", f->isPresentationView},
                    {"isConverse", f->isConverse}});
    } else if (auto* t = dynamic_cast<const velmora::BernoulliDistributionTreeChartData*>(&chart)) {
        out.insert({{"type", "probabilityTree"}, {"chartTitle", t->chartTitle},
                    {"chartColorHexCode", t->chartColorHexCode}, {"probabilityOfSuccess", t->probabilityOfSuccess},
                    {"hits", t->hits}, {"trials", t->trials}});
    }
    return out;
}

std::string messageOf(const std::string& errorKey) {
    if (auto presentation = velmora::presentationForErrorKey(errorKey)) return presentation->message;
    auto parsed = velmora::parseErrorKey(errorKey);
    return velmora::LocalizedString::localized(parsed ? parsed->key : errorKey);
}

void printStep(const velmora::SolutionStep& step) {
    std::string title = step.count("title") ? step.at("title") : "";
    std::string latex = step.count("latexString") ? step.at("latexString") : "";
    if (title.empty() && latex.empty()) {
        std::cout << '\n';
        return;
    }
    if (velmora::text::endsWith(title, "#bold")) {
        title = title.substr(0, title.size() - 5);
        for (auto& c : title) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (!title.empty()) std::cout << title << '\n';
    std::cout << "    " << latex << '\n';
    if (auto it = step.find("messageString"); it != step.end()) std::cout << "    " << it->second << '\n';
}

void printPoints(const std::string& axis, const std::vector<ChartPoint>& list) {
    for (const auto& point : list) {
        std::cout << "    " << axis << " = " << point[0] << ": " << point[1] << '\n';
    }
}

void printChart(const ChartData& chart) {
    if (auto* h = dynamic_cast<const velmora::HistogramChartData*>(&chart)) {
        for (const auto& theme : h->dataSetWithColorTheme) {
            std::cout << h->chartTitle << ": " << h->dataName << ", colour " << theme.hexColor << '\n';
            printPoints(h->xAxisName, theme.dataValues);
        }
    } else if (auto* f = dynamic_cast<const velmora::DistributionFunctionChartData*>(&chart)) {
        std::cout << f->chartTitle << ": " << f->dataName << ", colour " << f->chartColorHexCode << '\n';
        printPoints(f->xAxisName, f->dataSet);
    } else if (auto* t = dynamic_cast<const velmora::BernoulliDistributionTreeChartData*>(&chart)) {
        std::cout << t->chartTitle << ": p = " << t->probabilityOfSuccess << ", " << t->hits << " hits in "
                  << t->trials << " trials, colour " << t->chartColorHexCode << '\n';
    }
}

int printRefusal(const velmora::BernoulliResult& result, bool json) {
    const std::string key = result.errorKey.value_or("");
    const auto fields = result.failingFieldIds.value_or(std::vector<std::string>{});
    if (json) {
        Value::Array fieldValues(fields.begin(), fields.end());
        std::cout << platform::writeJSON(Value::Dictionary{{"ok", false}, {"error", key}, {"message", messageOf(key)},
                                                           {"fields", fieldValues}},
                                         true)
                  << '\n';
        return 1;
    }
    std::cout << "refused: " << key << '\n' << messageOf(key) << '\n' << "fields:";
    for (const auto& field : fields) std::cout << ' ' << field;
    std::cout << '\n';
    return 1;
}

int printSolution(const velmora::BernoulliResult& result, const velmora::KuvoBernoulliFormula& formula, bool json) {
    const auto& probability = *formula.probability();
    // The rounded value as the Result step writes it.
    const std::string rounded = velmora::decimal::descriptionText(probability.value);
    if (json) {
        Value::Array charts;
        for (const auto& list : *result.chartData) {
            Value::Array cell;
            for (const auto& chart : list) cell.push_back(chartValue(*chart));
            charts.push_back(cell);
        }
        std::cout << platform::writeJSON(Value::Dictionary{{"ok", true}, {"probability", rounded},
                                                           {"approximate", probability.approximate},
                                                           {"steps", velmora::stepDictionaries(*result.solutionSteps)},
                                                           {"charts", charts}},
                                         true)
                  << '\n';
        return 0;
    }
    for (const auto& step : *result.solutionSteps) printStep(step);
    for (const auto& list : *result.chartData) {
        for (const auto& chart : list) printChart(*chart);
    }
    return 0;
}

// What the calculator page logs once a calculation has been shown: the
// collector's steps and their number.
void logCalculation(const std::vector<velmora::SolutionStep>& steps) {
    velmora::logEvent("kuvo_calculate", {{"solutionSteps", velmora::stepDictionaries(steps)},
                                         {"solutionStepsCount", static_cast<long long>(steps.size())}});
}

// Runs the calculation as the calculator page does, analytics included: a
// refusal goes through the field-error manager (which logs "kuvo_got_error"),
// a solution is logged as "kuvo_calculate".
// The keypad's π key, typed on a keyboard as "pi".
std::string withPi(std::string text) {
    for (auto at = text.find("pi"); at != std::string::npos; at = text.find("pi", at)) text.replace(at, 2, "\xCF\x80");
    return text;
}

int runCalc(const CalcOptions& options) {
    auto& collector = velmora::KuvoStringOutput::shared();
    collector.clear();
    velmora::KuvoBernoulliFormula formula;
    auto result = formula.validateAndCalculate(withPi(options.k), kFieldIds[0], withPi(options.n), kFieldIds[1],
                                               withPi(options.p), kFieldIds[2], 3);
    int status = 0;
    if (result.errorKey) {
        velmora::ErrorManager::shared().showInputError(*result.errorKey, {});
        status = printRefusal(result, options.json);
    } else {
        status = printSolution(result, formula, options.json);
        logCalculation(collector.solutionSteps);
    }
    collector.clear();
    return status;
}

tools::CommandRegistration registration([](CLI::App& app, int& status, const platform::LaunchOptions& launch) {
    auto options = std::make_shared<CalcOptions>();
    auto* command = app.add_subcommand("calc", "Solve P(n, p, X=k): the solution steps and the chart data");
    command->add_option("--k", options->k, "successes k, as typed (\"2\")");
    command->add_option("--n", options->n, "trials n, as typed (\"5\")");
    command->add_option("--p", options->p, "success probability p, as typed (\"0.3\", \"1/6\", \"pi/4\" or \"\xCF\x80/4\")");
    command->add_flag("--json", options->json, "print one JSON object");
    command->add_option("--data,--data-dir", options->data,
                        "Data folder for the analytics the calculation logs (default: $VELMORA_DATA, else velmora "
                        "under the user's data home)")
        ->check(tools::pathGiven("a folder (or leave the option out for the default)"));
    // The data folder and the bundle are taken where the analytics are set
    // up (cmd_analytics.cpp); checked here too, so that help refuses what
    // the command refuses.
    tools::runCheckedWords(
        *command,
        [options, &launch]() -> std::optional<std::string> {
            tools::requireDataFolder("velmora calc", options->data, launch);
            tools::requireBundle("velmora calc", launch);
            return std::nullopt;
        },
        [options, &status] { status = runCalc(*options); });
});

}  // namespace
