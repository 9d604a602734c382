#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace velmora {

// One entry of the calculation history.
struct Calculation {
    // Input text by field identifier ("kTextField", "nTextField", "pTextField").
    std::map<std::string, std::string> inputParameters;
    // The LaTeX line the history shows for the entry.
    std::string latexString;
    // Solution steps, each a "title" / "latexString" dictionary.
    std::vector<platform::Value::Dictionary> solutionSteps;
    // Further settings; the calculator stores {"appKey": "QZT"}.
    platform::Value::Dictionary setupParameter;

    Calculation() = default;
    Calculation(std::map<std::string, std::string> inputParameters, std::string latexString,
                std::vector<platform::Value::Dictionary> solutionSteps, platform::Value::Dictionary setupParameter);

    // Never fails: each field is read on its own, and one that is missing or
    // of another type is left empty. Extra keys are ignored.
    explicit Calculation(const platform::Value::Dictionary& dictionary);

    // The stored form: exactly the keys "inputParameters", "latexString",
    // "solutionSteps" and "setupParameter".
    platform::Value::Dictionary dictionary() const;

    bool operator==(const Calculation&) const = default;
};

}  // namespace velmora
