#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velmora/engine/chart_data.h"
#include "velmora/engine/digit.h"
#include "velmora/engine/input_manager.h"
#include "velmora/engine/math_operation.h"
#include "velmora/engine/number_format.h"
#include "velmora/engine/string_output.h"

// The math library's other calculators. Each holds its state with its
// starting values; none calculates yet. Shared helpers are taken (and
// created) at construction and never owned.
namespace velmora {

// The shared math operation and step collector.
struct UsesOperation {
    KuvoMathOperation* operation = &KuvoMathOperation::shared();
    KuvoStringOutput* output = &KuvoStringOutput::shared();
};

// The state of the geometry calculators.
struct GeometryState {
    NumberFormatter numberFormatter;
    int solutionStepCounter = 0;
    bool someThingCalculated = false;
    std::map<std::string, std::optional<Digit>> inputParameters;
};

// One factorisation candidate of the quadratic calculators.
struct QuadraticResultContainer {
    double A1, A2, B, C1, C2, D;
};

// Calculators whose inputs may not have been read yet.
struct OptionalInputs : UsesOperation {
    std::optional<std::vector<Digit>> allInputs;
};

// Calculators that round their results to a number of places.
struct RoundedInputs : UsesOperation {
    std::vector<Digit> allInputs;
    int decimalPlaces = 5;
};

struct KuvoLinearEquation {
    KuvoStringOutput* outputHelper = &KuvoStringOutput::shared();
    std::optional<std::string> inputM, inputN, inputX1, inputX2, inputY1, inputY2;
    std::optional<int> tagM, tagN, tagX1, tagX2, tagY1, tagY2;
    Fraction x1, x2, y1, y2, m, n;
    bool withFraction = false;
    double divisor = 1.0;
    bool isMOrNChanged = false, isAnyPointChanged = false, isInputChanged = false, isMChanged = false,
         isNChanged = false, isX1Changed = false, isY1Changed = false, isX2Changed = false, isY2Changed = false;
};

struct KuvoPowerAndLogarithmicFunction : OptionalInputs {};
struct KuvoAdvancedPowerCalculator : OptionalInputs {};
struct KuvoHypothesisTestTypeIError : RoundedInputs {};
struct KuvoIsoscelesTriangle : UsesOperation, GeometryState {};
struct KuvoBinomialDistribution : RoundedInputs {};

struct KuvoFactorizeQuadratics {
    using resultContainer = QuadraticResultContainer;

    KuvoStringOutput* outputHelper = &KuvoStringOutput::shared();
    bool withFraction = false;
    std::string inputAText, inputBText, inputCText;
    int inputATag = 0, inputBTag = 0, inputCTag = 0;
    std::optional<double> a, b, c;
    std::optional<std::vector<resultContainer>> allTmps, allResults;
    std::optional<resultContainer> choosenExample;
    bool isA1Example = true;
    bool negativeSqrt = false;
    std::optional<double> divisor;
    bool isAnyNumberChanged = false;
};

struct KuvoSimpleLogarithm : OptionalInputs {};

struct KuvoPQFormula {
    KuvoStringOutput* outputHelper = &KuvoStringOutput::shared();
    KuvoMathOperation* operation = &KuvoMathOperation::shared();
    bool withFraction = false;
    std::string inputPText, inputQText;
    int inputPTag = 0, inputQTag = 0;
    Fraction p, q;
    bool negativeSqrt = false;
    std::optional<double> divisor;
    bool isAnyNumberChanged = false;
    bool cancelDownDone = false;
    std::vector<std::map<std::string, std::string>> solutionSteps;
    std::optional<int> solutionStepCounter;
};

struct KuvoRuleOfProportion {
    KuvoStringOutput* outputHelper = &KuvoStringOutput::shared();
    KuvoInputManager* inputManager = &KuvoInputManager::shared();
    KuvoMathOperation* mathOperation = &KuvoMathOperation::shared();
    bool withFraction = false;
    Digit a, b, c, d;
    std::string inputAText, inputBText, inputCText, inputDText;
    int inputATag = 0, inputBTag = 0, inputCTag = 0, inputDTag = 0;
    int missingInput = 0;
};

struct KuvoRightTriangle : UsesOperation, GeometryState {};
struct KuvoSphereCalculator : UsesOperation, GeometryState {};

struct KuvoPythagoras {
    std::optional<int> tagA, tagB, tagC;
    Fraction a, b, c;
    bool negativeSqrt = false;
    std::optional<double> divisor;
    bool isAnyNumberChanged = false;
    KuvoStringOutput* outputHelper = &KuvoStringOutput::shared();
    bool withFraction = false;
};

struct KuvoFormulaCheck {};

struct KuvoSineCosineTangent : OptionalInputs {
    Digit a, b, k, x;
};

struct KuvoBinomialFormula {
    Digit a, b, aHistory, bHistory;
    std::string inputAText, inputBText;
    int inputATag = 0, inputBTag = 0;
    KuvoStringOutput* outputHelper = &KuvoStringOutput::shared();
    bool withFraction = false;
    std::optional<float> divisor;
    bool isAnyNumberChanged = false;
    bool cancelDownDone = false;
    std::vector<std::map<std::string, std::string>> solutionSteps;
    std::optional<int> solutionStepCounter;
    int choosenFormula = 0;
};

struct KuvoCircularCone : UsesOperation, GeometryState {};

struct KuvoACMethod {
    using resultContainer = QuadraticResultContainer;

    std::string inputAText, inputBText, inputCText;
    int inputATag = 0, inputBTag = 0, inputCTag = 0;
    std::optional<double> a, b, c;
    bool isA1Example = true;
    bool isAnyNumberChanged = false;
    std::optional<std::vector<resultContainer>> allTmps, allResults;
    std::optional<resultContainer> choosenExample;
    KuvoStringOutput* outputHelper = &KuvoStringOutput::shared();
    bool withFraction = false;
};

struct KuvoSimpleFractionCalculator : UsesOperation {
    std::string inputStringA, inputStringB, inputStringC, inputStringD;
    NumberFormatter numberFormatter;
    int solutionStepCounter = 0;
    bool withFraction = false;
    Digit a, b, c, d, ab, cd;
};

struct KuvoQuickStochastics : UsesOperation {
    NumberFormatter numberFormatter;
    std::map<std::string, std::optional<Digit>> inputParameters;
    int decimalPlaces = 5;
};

struct KuvoReduceFraction {
    bool withFraction = false;
    std::optional<double> divisor;
    int maximumFractionDigits = 10;
    std::optional<std::string> inputString;
    std::string inputStringA, inputStringB;
    NumberFormatter numberFormatter;
    int solutionStepCounter = 0;
};

struct KuvoFindX {
    struct Instance {
        int index;
        int level;
        std::optional<int> surroundingInstanceIndex;
        int leftOperation;
        bool isNegative;
        std::optional<int> operationInstancePartnerIndex;
        std::optional<int> operationDigitPartnerIndex;
        bool hasRightOperation, isRight, isProcessed;
    };
    struct Digit {
        double value;
        std::optional<int> index;
        int mathOperator;
        bool isNegative;
        std::optional<int> instanceIndex;
        bool isRight;
        int powerOfVariable;
        bool isDenominator;
        std::optional<int> fractionIndex;
    };

    KuvoStringOutput* outputHelper = &KuvoStringOutput::shared();
    KuvoInputManager* inputManager = &KuvoInputManager::shared();
    KuvoMathOperation* mathOperation = &KuvoMathOperation::shared();
    bool withFraction = false;
    std::map<int, Digit> allDigits;
    int firstDigitIndexForRight = 0;
    std::map<int, Instance> allInstances;
    int firstInstanceIndexForRight = 0;
    std::string inputLeftText, inputRightText;
    int inputLeftTag = 0, inputRightTag = 0;
    std::string leftTerm, rightTerm, lastShownTerm;
    std::optional<float> divisor;
    int fractionIndexCounter = 0;
    std::optional<bool> isDotInDigitAlready;
    bool isOpeningBrackingAppeared = false;
    bool isXAllowed = true;
    bool isPlusOperatorAllowed = false;
    std::optional<int> bracketCounter, operatorCounter;
    bool isError = false;
    bool isFinished = false;
};

struct KuvoFormulaCalculation : UsesOperation {
    int decimalPlaces = 12;
};

struct KuvoPercentageCalculator {
    KuvoStringOutput* outputHelper = &KuvoStringOutput::shared();
    KuvoInputManager* inputManager = &KuvoInputManager::shared();
    KuvoMathOperation* mathOperation = &KuvoMathOperation::shared();
    bool withFraction = false;
    std::string inputFormat;
    int missingInput = 0;
    Digit a, b, c, d;
    std::string inputAText, inputBText, inputCText;
    int inputATag = 0, inputBTag = 0, inputCTag = 0;
};

struct KuvoPyramid : UsesOperation, GeometryState {};
struct KuvoSimplePowerCalculator : OptionalInputs {};

struct KuvoUnitCircle : UsesOperation {
    std::string inputStringAlpha, inputStringB;
    NumberFormatter numberFormatter;
    int solutionStepCounter = 0;
    bool withFraction = false;
    Digit alpha, b;
    std::shared_ptr<UnitCircleChartData> unitCircleChartData =
        std::make_shared<UnitCircleChartData>(0, 0, 0, 0, Quadrant::first);
};

struct KuvoExponentialGrowthAndDecay : OptionalInputs {};
struct KuvoLogarithmicIdentities : OptionalInputs {};
struct KuvoFrustumOfACone : UsesOperation, GeometryState {};
struct KuvoBinomialCoefficient : OptionalInputs {};

struct KuvoBernoulliExperiment : UsesOperation {
    std::vector<velmora::Digit> allInputs;
};

struct KuvoFrustumOfAPyramid : UsesOperation, GeometryState {};
struct KuvoArbitraryTriangle : UsesOperation, GeometryState {};
struct KuvoCombinatorics : RoundedInputs {};

}  // namespace velmora
