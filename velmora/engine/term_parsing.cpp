// How one field text becomes a Digit: brackets, one fraction bar, the
// constants pi and e, one variable, a sign and a decimal number.
#include <algorithm>
#include <array>
#include <cmath>

#include "velmora/engine/decimal_text.h"
#include "velmora/engine/input_manager.h"
#include "velmora/engine/math_operation.h"
#include "velmora/engine/plain_text.h"

namespace velmora {

namespace {

const std::array<std::string, 3> kVariables = {"x", "y", "z"};

bool isOneOf(const std::string& grapheme, const std::vector<std::string>& options) {
    return std::find(options.begin(), options.end(), grapheme) != options.end();
}

// A single marker (constant or variable) must close the term.
std::optional<ParseError> checkMarkers(const std::string& text, const std::vector<std::string>& markers,
                                       const std::string& tooManyKey) {
    auto characters = text::graphemes(text);
    auto count = std::count_if(characters.begin(), characters.end(),
                               [&](const std::string& g) { return isOneOf(g, markers); });
    if (count > 1) return ParseError{tooManyKey};
    if (count == 1 && !isOneOf(characters.back(), markers)) {
        return ParseError{"naturalConstantInWrongPositionOfSubstring"};
    }
    return std::nullopt;
}

// A term that is the marker alone (or minus it) keeps a 1 in its place;
// otherwise the marker is dropped from the number text.
std::string withoutMarker(const std::string& text, const std::string& marker) {
    if (text == marker || text == "-" + marker) return text::replaceAll(text, marker, "1");
    return text::replaceAll(text, marker, "");
}

// The whole text as one finite decimal number in the C locale.
std::optional<double> readNumber(const std::string& text) {
    if (text.empty()) return std::nullopt;
    const char first = text.front();
    if (first == ' ' || first == '\t' || first == '\n' || first == '\v' || first == '\f' || first == '\r') {
        return std::nullopt;
    }
    char* end = nullptr;
    double value = decimal::strtodC(text.c_str(), &end);
    if (end != text.c_str() + text.size()) return std::nullopt;
    // Infinities and NaN are no inputs: they would pass every limit.
    if (!std::isfinite(value)) return std::nullopt;
    return value;
}

TermParseResult failedTerm(const std::string& key) {
    TermParseResult result;
    result.errorKey = key;
    return result;
}

}  // namespace

std::variant<std::vector<NaturalConstant>, ParseError> KuvoInputManager::extractNaturalConstants(const std::string& text) {
    const NaturalConstant& pi = NaturalConstant::pi();
    const NaturalConstant& e = NaturalConstant::e();
    if (auto error = checkMarkers(text, {pi.key, e.key}, "toManyNaturalConstantsInSubstring")) return *error;
    std::vector<NaturalConstant> constants;
    if (text::contains(text, pi.key)) constants.push_back(pi);
    if (text::contains(text, e.key)) constants.push_back(e);
    return constants;
}

std::variant<VariablePart, ParseError> KuvoInputManager::extractVariable(const std::string& text) {
    std::vector<std::string> variables(kVariables.begin(), kVariables.end());
    if (auto error = checkMarkers(text, variables, "toManyVariablesInSubstring")) return *error;
    for (const auto& variable : kVariables) {
        if (text::contains(text, variable)) return VariablePart{variable, 1.0};
    }
    return VariablePart{"", 0.0};
}

TermParseResult KuvoInputManager::parseTerm(const std::string& text) {
    auto constants = extractNaturalConstants(text);
    if (auto* error = std::get_if<ParseError>(&constants)) return failedTerm(error->key);
    std::string rest = text;
    for (const auto& constant : std::get<std::vector<NaturalConstant>>(constants)) {
        rest = withoutMarker(rest, constant.key);
    }
    auto variable = extractVariable(rest);
    if (auto* error = std::get_if<ParseError>(&variable)) return failedTerm(error->key);
    const VariablePart& part = std::get<VariablePart>(variable);
    if (!part.variable.empty()) rest = withoutMarker(rest, part.variable);
    auto value = readNumber(rest);
    if (!value) return failedTerm("inputParameterError");
    return {value, std::get<std::vector<NaturalConstant>>(constants), part.variable, part.power, std::nullopt};
}

std::optional<KuvoInputManager::FieldFailure> KuvoInputManager::parseInputTexts() {
    auto& math = KuvoMathOperation::shared();
    for (std::size_t i = 0; i < allTextFieldTexts.size(); ++i) {
        const std::string& text = allTextFieldTexts[i];
        if (!text::contains(text, "/")) continue;
        isWithFraction = true;
        math.withFraction = true;
        if (std::count(text.begin(), text.end(), '/') >= 2) return failureForField(i, "inputParameterError");
    }
    for (std::size_t i = 0; i < allTextFieldTexts.size(); ++i) {
        Digit digit;
        if (auto failure = parseField(i, digit)) return failure;
        allInputs.push_back(digit);
    }
    return std::nullopt;
}

std::optional<KuvoInputManager::FieldFailure> KuvoInputManager::parseField(std::size_t index, Digit& digit) const {
    const std::string& raw = allTextFieldTexts[index];
    const std::string t = text::replaceAll(text::replaceAll(raw, "(", ""), ")", "");
    if (t.empty()) {
        // Brackets alone are no number: the field counts as not filled.
        if (!raw.empty()) return failureForField(index, "notEnoughInputValues");
        return std::nullopt;
    }
    const bool hasBar = text::contains(t, "/");
    if (!hasBar && !(isWithFraction && isAllFractionIfOccuredOnce)) {
        TermParseResult term = parseTerm(t);
        if (term.errorKey) return failureForField(index, *term.errorKey);
        digit.z = term.value;
        digit.zConstants = *term.constants;
        digit.zVariable = *term.variable;
        digit.powerOfZVariable = *term.power;
        return std::nullopt;
    }
    std::string numeratorText = t;
    std::string denominatorText = "1";
    if (hasBar) {
        auto pieces = text::split(t, "/");
        if (pieces.size() < 2) return failureForField(index, "fractionIncomplete");
        numeratorText = pieces.front();
        denominatorText = pieces.back();
    }
    TermParseResult numerator = parseTerm(numeratorText);
    if (numerator.errorKey) return failureForField(index, *numerator.errorKey);
    TermParseResult denominator = parseTerm(denominatorText);
    if (denominator.errorKey) return failureForField(index, *denominator.errorKey);
    if (*denominator.value == 0) return failureForField(index, "inputZeroInDenominator");
    digit.z = numerator.value;
    digit.zConstants = *numerator.constants;
    digit.zVariable = *numerator.variable;
    digit.powerOfZVariable = *numerator.power;
    digit.n = *denominator.value;
    digit.nConstants = *denominator.constants;
    digit.nVariable = *denominator.variable;
    digit.powerOfNVariable = *denominator.power;
    return std::nullopt;
}

}  // namespace velmora
