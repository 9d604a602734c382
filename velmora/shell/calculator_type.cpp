// Short codes of the calculators.
#include "velmora/shell/calculator_type.h"

namespace velmora {

namespace {

struct Entry {
    CalculatorType type;
    const char* code;
};

// In declaration order, so a type's entry is at its own index.
constexpr std::array<Entry, kCalculatorTypeCount> kEntries{{
    {CalculatorType::bernoulliFormula, "QZT"},
    {CalculatorType::linearEquation, "LEQ"},
    {CalculatorType::powerAndLogarithmicFunction, "PLF"},
    {CalculatorType::advancedPowerCalculator, "APC"},
    {CalculatorType::hypothesisTestTypeIError, "HTE"},
    {CalculatorType::isoscelesTriangle, "IST"},
    {CalculatorType::binomialDistribution, "BDI"},
    {CalculatorType::factorizeQuadratics, "FQ"},
    {CalculatorType::simpleLogarithm, "SLOG"},
    {CalculatorType::pqFormula, "PQF"},
    {CalculatorType::ruleOfProportion, "ROP"},
    {CalculatorType::rightTriangle, "RT"},
    {CalculatorType::sphereCalculator, "SPH"},
    {CalculatorType::pythagoras, "PYT"},
    {CalculatorType::formulaCheck, "FC"},
    {CalculatorType::sineCosineTangent, "SCT"},
    {CalculatorType::binomialFormula, "BF"},
    {CalculatorType::circularCone, "CC"},
    {CalculatorType::acMethod, "ACM"},
    {CalculatorType::simpleFractionCalculator, "SFC"},
    {CalculatorType::quickStochastics, "QS"},
    {CalculatorType::reduceFraction, "RF"},
    {CalculatorType::findX, "FX"},
    {CalculatorType::formulaCalculation, "FCA"},
    {CalculatorType::percentageCalculator, "PC"},
    {CalculatorType::pyramid, "PYR"},
    {CalculatorType::simplePowerCalculator, "SPC"},
    {CalculatorType::unitCircle, "UC"},
    {CalculatorType::exponentialGrowthAndDecay, "EGD"},
    {CalculatorType::logarithmicIdentities, "LI"},
    {CalculatorType::frustumOfACone, "FOC"},
    {CalculatorType::binomialCoefficient, "BC"},
    {CalculatorType::bernoulliExperiment, "BE"},
    {CalculatorType::frustumOfAPyramid, "FOP"},
    {CalculatorType::arbitraryTriangle, "AT"},
    {CalculatorType::combinatorics, "COMB"},
}};

constexpr bool entriesInOrder() {
    for (std::size_t i = 0; i < kEntries.size(); ++i) {
        if (static_cast<std::size_t>(kEntries[i].type) != i) return false;
    }
    return true;
}
static_assert(entriesInOrder(), "one entry per calculator type, in declaration order");
static_assert(static_cast<std::size_t>(CalculatorType::combinatorics) + 1 == kCalculatorTypeCount);

}  // namespace

const std::array<CalculatorType, kCalculatorTypeCount>& allCalculatorTypes() {
    static const auto types = [] {
        std::array<CalculatorType, kCalculatorTypeCount> out{};
        for (std::size_t i = 0; i < kEntries.size(); ++i) out[i] = kEntries[i].type;
        return out;
    }();
    return types;
}

std::string calculatorShortCode(CalculatorType type) {
    const auto index = static_cast<std::size_t>(type);
    return index < kEntries.size() ? kEntries[index].code : "";
}

}  // namespace velmora
