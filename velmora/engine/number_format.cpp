#include "velmora/engine/number_format.h"

#include <cmath>

#include "velmora/engine/decimal_text.h"
#include "velmora/engine/plain_text.h"

namespace velmora {

namespace {

constexpr double kUpperLimit = 1e12;
constexpr double kLowerLimit = 1e-10;

bool beyondRange(double value) {
    double magnitude = std::fabs(value);
    return value != 0 && (magnitude > kUpperLimit || magnitude < kLowerLimit);
}

// The number alone, before constants: decimal text, or scientific form for
// values out of range when that is asked for.
std::string numberText(double value, int maximumFractionDigits, OutOfRange outOfRange) {
    if (outOfRange == OutOfRange::scientific && std::isfinite(value) && beyondRange(value)) {
        return decimal::scientificLatex(value);
    }
    return NumberFormatter::decimal(maximumFractionDigits).string(value);
}

// A lone 1 (or -1) becomes the constant; otherwise the constant follows.
std::string withConstants(std::string text, const std::vector<NaturalConstant>& constants) {
    for (const auto& constant : constants) {
        if (text == "1" || text == "-1") {
            text = text::replaceAll(text, "1", constant.latex);
        } else {
            text += constant.latex;
        }
    }
    return text;
}

std::string constantsText(const std::vector<NaturalConstant>& constants) {
    std::string out;
    for (const auto& constant : constants) out += constant.latex;
    return out;
}

std::string appendSuffixes(std::string text, const std::string& factorSuffix, const std::string& trailingText) {
    if (!factorSuffix.empty()) {
        if (text == "1" || text == "-1") {
            text = text::replaceAll(text, "1", factorSuffix);
        } else {
            text += " " + factorSuffix;
        }
    }
    if (!trailingText.empty()) text += " " + trailingText;
    return text;
}

std::string powerText(const std::string& variable, double power) {
    if (power == 1) return variable;
    return variable + "^{" + decimal::descriptionText(power) + "}";
}

std::string signedNumberWithConstants(const std::vector<NaturalConstant>& constants, int maximumFractionDigits,
                                      bool negativesWithoutParentheses, double value, OutOfRange outOfRange) {
    std::string number = numberText(value, maximumFractionDigits, outOfRange);
    const bool negative = value < 0 && number != "0";
    if (negative && !negativesWithoutParentheses) {
        if (constants.empty()) return "(" + number + ")";
        if (value == -1) return "(-" + constantsText(constants) + ")";
        return "(" + number + constantsText(constants) + ")";
    }
    if (constants.empty()) return number;
    if (value == 1) return constantsText(constants);
    return number + constantsText(constants);
}

// The value-level shortcuts of the LaTeX form; none when the parts are written.
std::optional<std::string> latexShortcut(double value, bool signedParts, OutOfRange outOfRange) {
    if (outOfRange == OutOfRange::scientific) {
        if (!signedParts && value == 0) return "0";
        return std::nullopt;
    }
    if (std::fabs(value) < kLowerLimit && !signedParts) return "0";
    if (value > kUpperLimit) return "\\infty";
    if (value < -kUpperLimit) return "-\\infty";
    return std::nullopt;
}

}  // namespace

NumberFormatter NumberFormatter::decimal(int maximumFractionDigits) {
    NumberFormatter formatter;
    formatter.numberStyle = Style::decimal;
    formatter.maximumFractionDigits = maximumFractionDigits;
    return formatter;
}

std::string NumberFormatter::string(double value) const {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-\xE2\x88\x9E" : "\xE2\x88\x9E";
    int places = numberStyle == Style::none ? 0 : std::max(0, maximumFractionDigits);
    return decimal::positional(decimal::roundedToFractionDigits(decimal::shortest(value), places));
}

std::string formatNumber(const std::string& trailingText, const std::vector<NaturalConstant>& constants,
                         const std::string& factorSuffix, int maximumFractionDigits, bool infinityAllowed,
                         bool negativesWithoutParentheses, double value, OutOfRange outOfRange) {
    const bool limited = outOfRange == OutOfRange::limits;
    std::string text;
    if (std::isinf(value) || (limited && infinityAllowed && std::fabs(value) > kUpperLimit)) {
        text = value > 0 ? "\\infty" : "-\\infty";
    } else if (value == 0 || (limited && std::fabs(value) < kLowerLimit)) {
        text = "0";
    } else {
        text = signedNumberWithConstants(constants, maximumFractionDigits, negativesWithoutParentheses, value,
                                         outOfRange);
    }
    return appendSuffixes(text, factorSuffix, trailingText);
}

std::string formatNumberForLatex(const Digit& digit, const std::string& trailingText, int parenthesesMode,
                                 bool forceFraction, bool signedParts, int maximumFractionDigits,
                                 OutOfRange outOfRange) {
    if (!digit.z) return " ? ";
    const double z = *digit.z;
    const double n = digit.n;
    std::string text;
    if (auto shortcut = latexShortcut(*digit.value(), signedParts, outOfRange)) {
        text = *shortcut;
    } else {
        if (!signedParts && ((z < 0) != (n < 0))) text = "-";
        std::string numerator = withConstants(
            numberText(signedParts ? z : std::fabs(z), maximumFractionDigits, outOfRange), digit.zConstants);
        std::string denominator = withConstants(
            numberText(signedParts ? n : std::fabs(n), maximumFractionDigits, outOfRange), digit.nConstants);
        if (n != 1 || !digit.nConstants.empty() || forceFraction) {
            text += "\\frac{" + numerator + "}{" + denominator + "}";
        } else {
            text += numerator;
        }
    }
    if (auto variables = formatVariablePart(digit)) {
        if (text == "1" || text == "-1") {
            text = text::replaceAll(text, "1", *variables);
        } else {
            text += " " + *variables;
        }
    }
    if (parenthesesMode == 1 || (parenthesesMode == 2 && text::startsWith(text, "-"))) {
        text = "\\left(" + text + "\\right)";
    }
    if (!trailingText.empty()) text += " " + trailingText;
    return text;
}

std::optional<std::string> formatVariablePart(const Digit& digit) {
    if (digit.zVariable.empty() && digit.nVariable.empty()) return std::nullopt;
    std::string numerator = digit.zVariable.empty() ? "1" : powerText(digit.zVariable, digit.powerOfZVariable);
    if (digit.nVariable.empty()) return " " + numerator;
    return "\\frac{" + numerator + "}{" + powerText(digit.nVariable, digit.powerOfNVariable) + "}";
}

std::string formatFraction(const Digit& digit, const std::vector<NaturalConstant>& constants, double factor) {
    std::string f = formatNumber("", constants, "", 10, true, false, factor);
    std::string z = formatNumber("", digit.zConstants, "", 10, true, false, digit.z.value_or(0));
    std::string n = formatNumber("", digit.nConstants, "", 10, true, false, digit.n);
    std::string text = "\\frac{" + z + " : " + f + "}{" + n + " : " + f + "}";
    if (auto variables = formatVariablePart(digit)) text += *variables;
    return text;
}

}  // namespace velmora
