#include "velmora/engine/input_manager.h"

#include <cmath>

#include "velmora/engine/decimal_text.h"
#include "velmora/engine/digit_analyser.h"
#include "velmora/engine/formula_unit.h"
#include "velmora/engine/engine_texts.h"
#include "velmora/engine/math_operation.h"
#include "velmora/engine/number_format.h"
#include "velmora/engine/plain_text.h"

namespace velmora {

namespace {

// "%" followed by a field index is that field's value. The longest run of
// digits that names a field wins, so "%10" is field 10 when there is one.
std::string fillTemplate(const std::string& pattern, const std::vector<std::string>& values) {
    std::string out;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%') {
            out += pattern[i];
            continue;
        }
        std::size_t end = i + 1;
        while (end < pattern.size() && pattern[end] >= '0' && pattern[end] <= '9' && end - i <= 9) ++end;
        bool replaced = false;
        for (std::size_t len = end - i - 1; len > 0 && !replaced; --len) {
            std::size_t index = std::stoul(pattern.substr(i + 1, len));
            if (index < values.size()) {
                out += values[index];
                i += len;
                replaced = true;
            }
        }
        if (!replaced) out += '%';
    }
    return out;
}

std::string withoutBlanks(const std::string& text) {
    return text::replaceAll(text::replaceAll(text, " ", ""), "\t", "");
}

std::optional<int> tagNumber(const std::string& id) {
    try {
        std::size_t used = 0;
        int tag = std::stoi(id, &used);
        if (used == id.size()) return tag;
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

}  // namespace

KuvoInputManager& KuvoInputManager::shared() {
    static KuvoInputManager instance;
    return instance;
}

KuvoInputManager::FieldFailure KuvoInputManager::failureForField(std::size_t index, const std::string& key) const {
    FieldFailure failure;
    failure.errorKey = key;
    failure.id = index < allTextFieldIds.size() ? allTextFieldIds[index] : std::string();
    if (isTagUsed) failure.tag = tagNumber(failure.id).value_or(0);
    return failure;
}

InputReadResult KuvoInputManager::readInputs(const std::vector<std::string>& texts, const std::vector<int>& tags,
                                             const std::vector<std::string>& ids,
                                             const std::vector<std::string>& inputFormat, bool addGivenValues,
                                             bool isAllFractionIfOccuredOnce, bool isDecimalEliminationForced,
                                             FormatMode inputFormatMode, const std::string& subcategory,
                                             const std::string& topic, std::optional<int> requiredInputCount,
                                             const std::vector<std::string>& requiredFieldIds) {
    isAnyNumberChanged = false;
    this->isAllFractionIfOccuredOnce = isAllFractionIfOccuredOnce;
    this->isDecimalEliminationForced = isDecimalEliminationForced;
    isWithFraction = false;
    this->inputFormatMode = inputFormatMode;
    allTextFieldTexts = texts;
    allInputs.clear();
    this->inputFormat = inputFormat;
    inputSymbols.clear();
    this->subcategory = subcategory;
    this->topic = topic;
    // Fraction mode describes the inputs of this calculation only.
    KuvoMathOperation::shared().withFraction = false;

    isTagUsed = !tags.empty();
    allTextFieldIds.clear();
    if (isTagUsed) {
        for (int tag : tags) allTextFieldIds.push_back(std::to_string(tag));
    } else {
        allTextFieldIds = ids;
    }

    InputReadResult result;
    auto count = checkInputCount(requiredInputCount, requiredFieldIds);
    if (count.errorKey) {
        result.errorKey = count.errorKey;
        result.failingTags = count.failingTags;
        result.failingIds = count.failingIds;
        return result;
    }
    auto failure = parseInputTexts();
    if (!failure && inputFormatMode == FormatMode::variables) failure = collectInputSymbols();
    if (failure) {
        result.errorKey = failure->errorKey;
        if (failure->tag) result.failingTags = std::vector<int>{*failure->tag};
        result.failingIds = std::vector<std::string>{failure->id};
        result.isWithFraction = isWithFraction;
        return result;
    }
    if (addGivenValues) addGivenValuesStep(true);
    eliminateDecimals();
    cancelDownInputs();
    normalizeSigns();
    if (isAnyNumberChanged && inputFormatMode == FormatMode::formula && addGivenValues) addGivenValuesStep(false);
    result.inputs = allInputs;
    result.isWithFraction = isWithFraction;
    result.solutionSteps = outputHelper->solutionSteps;
    return result;
}

KuvoInputManager::CountCheck KuvoInputManager::checkInputCount(std::optional<int> requiredInputCount,
                                                               const std::vector<std::string>& requiredFieldIds) const {
    std::vector<std::string> emptyIds;
    auto idAt = [&](std::size_t i) { return i < allTextFieldIds.size() ? allTextFieldIds[i] : std::string(); };
    bool passed = false;
    if (requiredFieldIds.empty()) {
        const int required = requiredInputCount.value_or(static_cast<int>(allTextFieldTexts.size()));
        int filled = 0;
        for (std::size_t i = 0; i < allTextFieldTexts.size() && !passed; ++i) {
            if (allTextFieldTexts[i].empty()) {
                emptyIds.push_back(idAt(i));
            } else {
                passed = ++filled >= required;
            }
        }
    } else {
        for (std::size_t i = 0; i < allTextFieldTexts.size(); ++i) {
            const std::string id = idAt(i);
            bool listed = std::find(requiredFieldIds.begin(), requiredFieldIds.end(), id) != requiredFieldIds.end();
            if (listed && allTextFieldTexts[i].empty()) emptyIds.push_back(id);
        }
        passed = emptyIds.empty();
    }
    CountCheck check;
    if (passed) return check;
    check.errorKey = "notEnoughInputValues";
    if (isTagUsed) {
        std::vector<int> failingTags;
        for (const auto& id : emptyIds) failingTags.push_back(tagNumber(id).value_or(0));
        check.failingTags = failingTags;
    }
    check.failingIds = emptyIds;
    return check;
}

std::optional<KuvoInputManager::FieldFailure> KuvoInputManager::collectInputSymbols() {
    const std::size_t count = std::max(inputFormat.size(), allTextFieldTexts.size());
    for (std::size_t i = 0; i < count; ++i) {
        if (i >= inputFormat.size()) return failureForField(i, "missingInputSymbol");
        auto pieces = text::split(inputFormat[i], "=");
        const std::string key = pieces.empty() ? std::string() : withoutBlanks(pieces.front());
        if (key.empty()) return failureForField(i, "missingInputSymbol");
        auto matches = filterSymbols(KuvoFormulaSymbol::shared().symbols, subcategory, topic, key);
        if (matches.empty()) return failureForField(i, "unknownInputSymbol");
        inputFormat[i] = text::replaceAll(inputFormat[i], key, matches.front().latex);
        inputSymbols.push_back(matches.front());
    }
    return std::nullopt;
}

std::string KuvoInputManager::valueLatex(std::size_t index, bool signedParts) const {
    if (index >= allInputs.size() || !allInputs[index].z) return " ? ";
    return formatNumberForLatex(allInputs[index], "", 0, false, signedParts, 10, OutOfRange::scientific);
}

std::string KuvoInputManager::unitText(std::size_t index) const {
    if (index >= inputSymbols.size()) return "";
    return KuvoFormulaUnit::shared().replaceDefaultUnit(inputSymbols[index].unit, false);
}

void KuvoInputManager::addGivenValuesStep(bool signedParts) {
    std::vector<std::string> values;
    for (std::size_t i = 0; i < allInputs.size(); ++i) values.push_back(valueLatex(i, signedParts));
    const std::string& title = isAnyNumberChanged ? LocalizedString::modifiedInput() : LocalizedString::yourInput();
    if (inputFormatMode == FormatMode::formula) {
        const std::string pattern = inputFormat.empty() ? std::string() : inputFormat.front();
        outputHelper->solutionSteps.push_back(makeStep(title, fillTemplate(pattern, values)));
        return;
    }
    for (std::size_t i = 0; i < values.size() && i < inputFormat.size(); ++i) {
        std::string line = text::replaceAll(inputFormat[i], "%0", values[i]) + " " + unitText(i) + "\n";
        outputHelper->solutionSteps.push_back(makeStep(i == 0 ? title : std::string(), line));
    }
}

void KuvoInputManager::eliminateDecimals() {
    if (allTextFieldTexts.empty()) return;
    std::vector<std::string> lines;
    std::vector<std::size_t> changed;
    for (std::size_t i = 0; i < allTextFieldTexts.size(); ++i) {
        if (allTextFieldTexts[i].empty() || i >= allInputs.size() || !allInputs[i].z) {
            lines.push_back(" ? ");
            continue;
        }
        Digit& input = allInputs[i];
        const std::string oldText = formatNumberForLatex(input, "", 0, false, false, 10, OutOfRange::scientific);
        // The exact shortest digits: a six-digit "%g" text would lose digits.
        const std::string zText = decimal::shortestText(*input.z);
        const std::string nText = decimal::shortestText(input.n);
        const double places = KuvoDigitAnalyser::decimalPlaces(zText, nText);
        const bool wanted =
            (isWithFraction && isAllFractionIfOccuredOnce) || isDecimalEliminationForced || input.n != 1;
        if (places <= 0 || !wanted) {
            lines.push_back(oldText);
            continue;
        }
        const int d = static_cast<int>(places);
        const std::string m = decimal::shortestText(std::pow(10.0, d));
        const std::string expansion =
            "\\frac{" + zText + " \\cdot " + m + "}{" + nText + " \\cdot " + m + "}";
        input.z = decimal::shiftedDecimal(*input.z, d);
        input.n = decimal::shiftedDecimal(input.n, d);
        const std::string newText = formatNumberForLatex(input, "", 0, false, false, 10, OutOfRange::scientific);
        lines.push_back(inputFormatMode == FormatMode::formula ? oldText + " = " + expansion + " = " + newText
                                                               : expansion + " = " + newText);
        changed.push_back(i);
        isAnyNumberChanged = true;
        isWithFraction = true;
    }
    for (std::size_t i : changed) {
        if (inputFormatMode == FormatMode::formula) {
            const std::string title = i == changed.front() ? LocalizedString::expand() : std::string();
            outputHelper->solutionSteps.push_back(makeStep(title, lines[i]));
        } else if (i < inputFormat.size() && i < inputSymbols.size()) {
            outputHelper->convertUnits(text::replaceAll(inputFormat[i], "%0", ""), lines[i], inputSymbols[i]);
        }
    }
}

void KuvoInputManager::cancelDownInputs() {
    bool first = true;
    for (auto& input : allInputs) {
        auto reduced = KuvoMathOperation::shared().cancelDown(input);
        if (!reduced) continue;
        const std::string before = formatNumberForLatex(input, "", 0, false, true, 10, OutOfRange::scientific);
        input = reduced->digit;
        outputHelper->solutionSteps.push_back(
            makeStep(first ? LocalizedString::cancelMath() : std::string(), before + "= " + reduced->latex));
        first = false;
        isAnyNumberChanged = true;
    }
}

void KuvoInputManager::normalizeSigns() {
    for (auto& input : allInputs) {
        if (!input.z || !(input.n < 0)) continue;
        input.z = -*input.z;
        input.n = -input.n;
        isAnyNumberChanged = true;
    }
}

}  // namespace velmora
