#pragma once

#include <optional>
#include <string>
#include <vector>

#include "velmora/engine/digit.h"

namespace velmora {

// Decimal text in US English conventions whatever the device language: a
// point, no grouping, a leading "-" for negatives, at most
// `maximumFractionDigits` fraction digits rounded half to even, trailing
// zeros dropped. The digits rounded are those of the shortest text of the
// double, so 1.00000000005 at ten places is "1".
class NumberFormatter {
public:
    enum class Style { none, decimal };

    Style numberStyle = Style::none;
    int maximumFractionDigits = 0;

    // Decimal style with the given number of fraction digits.
    static NumberFormatter decimal(int maximumFractionDigits);

    std::string string(double value) const;
};

// How numbers beyond the displayable range print: `limits` writes values
// above 1e12 as "\infty" and values below 1e-10 as "0" (titles, tables);
// `scientific` writes them as "9.05485 \cdot 10^{58}" so that a solution
// step never shows a false number.
enum class OutOfRange { limits, scientific };

// A double with its constants, an optional factor suffix (a unit or
// variable: a lone 1 disappears before it) and a trailing text.
std::string formatNumber(const std::string& trailingText, const std::vector<NaturalConstant>& constants,
                         const std::string& factorSuffix, int maximumFractionDigits, bool infinityAllowed,
                         bool negativesWithoutParentheses, double value,
                         OutOfRange outOfRange = OutOfRange::limits);

// The LaTeX of a Digit: sign, fraction, constants and variables.
// parenthesesMode: 0 never, 1 always, 2 around negatives only. With
// signedParts the numerator and denominator each keep their own sign.
std::string formatNumberForLatex(const Digit& digit, const std::string& trailingText, int parenthesesMode,
                                 bool forceFraction, bool signedParts, int maximumFractionDigits,
                                 OutOfRange outOfRange = OutOfRange::limits);

// The LaTeX of a Digit's variables alone (" x^{2.0}", "\frac{x}{y}"); absent
// without variables.
std::optional<std::string> formatVariablePart(const Digit& digit);

// The display of dividing a fraction through by a common factor:
// "\frac{6 : 2}{4 : 2}".
std::string formatFraction(const Digit& digit, const std::vector<NaturalConstant>& constants, double factor);

}  // namespace velmora
