// The calculators of the family by type, and the short code that names each in remote content.
#pragma once

#include <array>
#include <string>

namespace velmora {

// One value per calculator of the math library; bernoulliFormula is this
// application's own.
enum class CalculatorType {
    bernoulliFormula,
    linearEquation,
    powerAndLogarithmicFunction,
    advancedPowerCalculator,
    hypothesisTestTypeIError,
    isoscelesTriangle,
    binomialDistribution,
    factorizeQuadratics,
    simpleLogarithm,
    pqFormula,
    ruleOfProportion,
    rightTriangle,
    sphereCalculator,
    pythagoras,
    formulaCheck,
    sineCosineTangent,
    binomialFormula,
    circularCone,
    acMethod,
    simpleFractionCalculator,
    quickStochastics,
    reduceFraction,
    findX,
    formulaCalculation,
    percentageCalculator,
    pyramid,
    simplePowerCalculator,
    unitCircle,
    exponentialGrowthAndDecay,
    logarithmicIdentities,
    frustumOfACone,
    binomialCoefficient,
    bernoulliExperiment,
    frustumOfAPyramid,
    arbitraryTriangle,
    combinatorics,
};

inline constexpr std::size_t kCalculatorTypeCount = 36;

// Every type, in declaration order.
const std::array<CalculatorType, kCalculatorTypeCount>& allCalculatorTypes();

// Two to five capital letters, one code per calculator; the video tutorial
// lists are keyed by it. The Bernoulli calculator's is "QZT".
std::string calculatorShortCode(CalculatorType type);

}  // namespace velmora
