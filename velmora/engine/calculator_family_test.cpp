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

TEST_CASE("quadrants and trigonometric types") {
    CHECK(quadrantFromRawValue("IV") == Quadrant::fourth);
    CHECK(quadrantFromRawValue("I") == Quadrant::first);
    CHECK_FALSE(quadrantFromRawValue("iv").has_value());
    CHECK_FALSE(quadrantFromRawValue("V").has_value());
    CHECK_FALSE(quadrantFromRawValue(" IV").has_value());
    CHECK(rawValue(Quadrant::third) == "III");
    CHECK(Quadrant::first != Quadrant::second);
    std::unordered_set<TrigonometricType> types = {TrigonometricType::sin, TrigonometricType::cos,
                                                   TrigonometricType::sin};
    CHECK(types.size() == 2);
    std::unordered_set<Quadrant> quadrants = {Quadrant::first, Quadrant::fourth, Quadrant::first};
    CHECK(quadrants.size() == 2);
}
