#pragma once

#include <gmpxx.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "velmora/engine/digit.h"
#include "velmora/engine/string_output.h"

namespace velmora {

struct FractionSubtraction {
    std::optional<Digit> result;
    std::optional<std::string> expansionText;    // the expansion to a common denominator, when shown
    std::optional<std::string> subtractionText;  // the subtraction itself
};

struct CancelDownResult {
    Digit digit;        // the reduced number
    std::string latex;  // "\frac{6 : 2}{4 : 2} =  \frac{3}{2}"
};

struct BinomialCoefficient {
    mpz_class value;   // exact
    std::string text;  // formatNumber of the value, ten fraction digits at most
};

struct BernoulliProbability {
    double value = 0;            // rounded to `decimals` places, half away from zero
    std::string valueText;
    double percentage = 0;       // value * 100, exactly as a decimal
    std::string percentageText;  // "30.87 \%"
    bool approximate = false;    // the rounding changed the value
    mpz_class scaledValue;       // value * 10^decimals, a whole number
    int decimals = 0;
};

struct RoundedValue {
    double value = 0;
    bool approximate = false;
};

// x rounded to `toPlaces` places (halves away from zero). The flag is false
// when the rounding left x as it was, or when the digits cut off begin with
// "0000" or "9999" (noise of binary arithmetic); true otherwise.
RoundedValue round(double x, int toPlaces);

// The exact value of a Digit when it is rational: no constants (or a zero
// numerator) and finite parts; each part is read as its shortest decimal
// text, so 0.3 is 3/10. Absent otherwise.
std::optional<mpq_class> exactValue(const Digit& digit);

// The engine's arithmetic on Digits and doubles.
class KuvoMathOperation {
public:
    static KuvoMathOperation& shared();

    KuvoStringOutput* outputHelper = &KuvoStringOutput::shared();
    // Fraction mode: differences of fractions are shown expanded to a
    // common denominator.
    bool withFraction = false;
    bool negativeSqrt = false;
    bool isAnyNumberChanged = false;
    bool cancelDownDone = false;
    // The divisor of the last cancelDown, signed.
    std::optional<std::int64_t> divisor;

    // a - b on copies of a and b; all parts absent when either has no number.
    FractionSubtraction fractionSubtractionSteps(const Digit& a, const Digit& b) const;

    // The Digit divided through by the greatest common divisor of its whole
    // parts and by a constant common to both parts; absent when nothing
    // cancels. Sets `divisor`.
    std::optional<CancelDownResult> cancelDown(const Digit& digit);

    // Numerator and denominator raised to e.
    Digit power(const Digit& digit, double e) const;

    BinomialCoefficient binomialCoefficient(long k, long n) const;

    // P(X = k) for n trials, rounded to `decimals` places. A rational p is
    // computed exactly; a p with constants in double.
    BernoulliProbability bernoulliProbability(long k, long n, int decimals, const Digit& p) const;
    BernoulliProbability bernoulliProbability(long k, long n, int decimals, double p) const;
    // P(X = k) for k = 0 ... n, each exactly as bernoulliProbability gives it.
    std::vector<BernoulliProbability> bernoulliDistribution(long n, int decimals, const Digit& p) const;
};

}  // namespace velmora
