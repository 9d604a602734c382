#include "velmora/engine/string_output.h"

#include "velmora/engine/formula_unit.h"
#include "velmora/engine/plain_text.h"

namespace velmora {

SolutionStep makeStep(const std::string& title, const std::string& latexString) {
    return {{"title", title}, {"latexString", latexString}};
}

platform::Value::Array stepDictionaries(const std::vector<SolutionStep>& steps) {
    platform::Value::Array out;
    out.reserve(steps.size());
    for (const auto& step : steps) out.emplace_back(platform::Value::Dictionary(step.begin(), step.end()));
    return out;
}

KuvoStringOutput& KuvoStringOutput::shared() {
    static KuvoStringOutput instance;
    return instance;
}

void KuvoStringOutput::clear() {
    solutionSteps.clear();
    solutionStepCounter = 0;
}

void KuvoStringOutput::convertUnits(const std::string& prefix, const std::string& valueText, const Symbol& symbol) {
    for (auto& step : solutionSteps) step = convertUnits(step, prefix, valueText, symbol);
}

SolutionStep KuvoStringOutput::convertUnits(const SolutionStep& step, const std::string& prefix,
                                            const std::string& valueText, const Symbol& symbol) {
    auto it = step.find("latexString");
    if (it == step.end() || !text::startsWith(it->second, prefix)) return step;
    SolutionStep out = step;
    out["latexString"] = text::replaceAll(it->second, "\n", " = ") + valueText + " " +
                         KuvoFormulaUnit::shared().replaceDefaultUnit(symbol.unit, false);
    return out;
}

}  // namespace velmora
