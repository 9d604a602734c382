#include <doctest/doctest.h>

#include <unordered_set>

#include "velmora/engine/calculator_family.h"
#include "velmora/engine/trigonometric_type.h"

using namespace velmora;

TEST_CASE("calculators share the collector, the math operation and the input manager") {
    KuvoPyramid pyramid;
    KuvoCombinatorics combinatorics;
    CHECK(pyramid.output == combinatorics.output);
    CHECK(pyramid.operation == combinatorics.operation);
    CHECK(pyramid.output == &KuvoStringOutput::shared());
    KuvoRuleOfProportion proportion;
    KuvoFindX findX;
    CHECK(proportion.inputManager == findX.inputManager);
    CHECK(proportion.mathOperation == &KuvoMathOperation::shared());
}

TEST_CASE("starting values") {
    KuvoUnitCircle circle;
    REQUIRE(circle.unitCircleChartData);
    const auto& data = *circle.unitCircleChartData;
    CHECK(data.alpha == 0.0);
    CHECK(data.b == 0.0);
    CHECK(data.angle == 0.0);
    CHECK(data.fullCircles == 0);
    CHECK(data.quadrant == Quadrant::first);
    CHECK(data.frameRatio == 2.0);
    CHECK_FALSE(circle.alpha.z.has_value());

    KuvoFindX findX;
    CHECK_FALSE(findX.isDotInDigitAlready.has_value());
    CHECK(findX.isXAllowed);
    CHECK_FALSE(findX.bracketCounter.has_value());

    CHECK(KuvoHypothesisTestTypeIError().decimalPlaces == 5);
    CHECK(KuvoFormulaCalculation().decimalPlaces == 12);
    CHECK(KuvoReduceFraction().maximumFractionDigits == 10);
    CHECK(KuvoFactorizeQuadratics().isA1Example);
    CHECK_FALSE(KuvoPowerAndLogarithmicFunction().allInputs.has_value());
    CHECK(KuvoBernoulliExperiment().allInputs.empty());
    CHECK(KuvoLinearEquation().divisor == 1.0);
    CHECK_FALSE(KuvoLinearEquation().x1.z.has_value());
    KuvoSphereCalculator sphere;
    CHECK(sphere.inputParameters.empty());
    CHECK_FALSE(sphere.someThingCalculated);
}

TEST_CASE("quadrants and trigonometric types") {
    CHECK(quadrantFromRawValue("IV") == Quadrant::fourth);
    CHECK(quadrantFromRawValue("I") == Quadrant::first);
    CHECK_FALSE(quadrantFromRawValue("iv").has_value());
    CHECK_FALSE(quadrantFromRawValue("V").has_value());
    CHECK_FALSE(quadrantFromRawValue(" IV").has_value());
    CHECK(rawValue(Quadrant::third) == "III");
    std::hash<Quadrant> hash;
    CHECK(hash(Quadrant::first) == hash(Quadrant::first));
    CHECK(hash(Quadrant::second) == std::hash<std::string>()("II"));
    CHECK(Quadrant::first != Quadrant::second);
    std::unordered_set<TrigonometricType> types = {TrigonometricType::sin, TrigonometricType::cos,
                                                   TrigonometricType::sin};
    CHECK(types.size() == 2);
}
