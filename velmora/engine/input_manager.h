#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "velmora/engine/digit.h"
#include "velmora/engine/formula_symbol.h"
#include "velmora/engine/string_output.h"

namespace velmora {

// How the input templates are read: one template for all fields with "%0",
// "%1", ... (formula), or one template per field whose text ahead of "="
// names a symbol (variables).
enum class FormatMode { formula, variables };

struct InputReadResult {
    std::optional<std::vector<Digit>> inputs;
    std::optional<std::string> errorKey;
    std::optional<std::vector<int>> failingTags;
    std::optional<std::vector<std::string>> failingIds;
    bool isWithFraction = false;
    std::optional<std::vector<SolutionStep>> solutionSteps;
};

// The reading of one numerator or denominator text.
struct TermParseResult {
    std::optional<double> value;
    std::optional<std::vector<NaturalConstant>> constants;
    std::optional<std::string> variable;
    std::optional<double> power;
    std::optional<std::string> errorKey;
};

struct ParseError {
    std::string key;
};

struct VariablePart {
    std::string variable;  // "" when none
    double power = 0;
};

// Turns the typed texts of a calculator's fields into Digits, one per field,
// and writes the first solution steps (given values, expansions, cancelling).
// The first failure is reported as an error key with the fields at fault.
class KuvoInputManager {
public:
    // The instance the other calculators of the family share.
    static KuvoInputManager& shared();

    KuvoStringOutput* outputHelper = &KuvoStringOutput::shared();
    std::vector<std::string> stringInputs;
    bool isTagUsed = false;
    std::vector<std::string> allTextFieldIds;
    std::vector<Digit> allInputs;
    std::vector<std::string> allTextFieldPlaceholder;
    std::vector<std::string> inputFormat;
    std::vector<Symbol> inputSymbols;
    std::vector<std::string> allTextFieldTexts;
    std::string subcategory;
    std::string topic;
    FormatMode inputFormatMode = FormatMode::formula;
    bool isAllFractionIfOccuredOnce = true;
    bool isDecimalEliminationForced = false;
    bool isWithFraction = false;
    bool isAnyNumberChanged = false;
    Digit digit;

    InputReadResult readInputs(const std::vector<std::string>& texts, const std::vector<int>& tags,
                               const std::vector<std::string>& ids, const std::vector<std::string>& inputFormat,
                               bool addGivenValuesStep, bool isAllFractionIfOccuredOnce,
                               bool isDecimalEliminationForced, FormatMode inputFormatMode,
                               const std::string& subcategory, const std::string& topic,
                               std::optional<int> requiredInputCount,
                               const std::vector<std::string>& requiredFieldIds);

    struct CountCheck {
        std::optional<std::string> errorKey;
        std::optional<std::vector<int>> failingTags;
        std::optional<std::vector<std::string>> failingIds;
    };
    CountCheck checkInputCount(std::optional<int> requiredInputCount,
                               const std::vector<std::string>& requiredFieldIds) const;

    // The failure of one field: its key, its tag (when tags are used) and id.
    struct FieldFailure {
        std::string errorKey;
        std::optional<int> tag;
        std::string id;
    };
    std::optional<FieldFailure> parseInputTexts();
    // Variables mode: the symbol of each template. A template without a key
    // or with a key no symbol has is refused.
    std::optional<FieldFailure> collectInputSymbols();
    void addGivenValuesStep(bool signedParts);
    void eliminateDecimals();
    void cancelDownInputs();
    void normalizeSigns();

    static TermParseResult parseTerm(const std::string& text);
    static std::variant<std::vector<NaturalConstant>, ParseError> extractNaturalConstants(const std::string& text);
    static std::variant<VariablePart, ParseError> extractVariable(const std::string& text);

private:
    FieldFailure failureForField(std::size_t index, const std::string& key) const;
    std::optional<FieldFailure> parseField(std::size_t index, Digit& digit) const;
    std::string valueLatex(std::size_t index, bool signedParts) const;
    std::string unitText(std::size_t index) const;
};

}  // namespace velmora
