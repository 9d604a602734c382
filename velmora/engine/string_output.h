#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/foundation/value.h"
#include "velmora/engine/formula_symbol.h"

namespace velmora {

// One solution step: "title" (already localised; "#bold" at its end asks for
// bold), "latexString" (math-mode LaTeX) and an optional "messageString".
// A step whose title and LaTeX are both empty is a spacer.
using SolutionStep = std::map<std::string, std::string>;

SolutionStep makeStep(const std::string& title, const std::string& latexString);

// Steps as value dictionaries, the form in which they are logged with an
// analytics event and kept in a history entry.
platform::Value::Array stepDictionaries(const std::vector<SolutionStep>& steps);

// The shared collector of the solution of the calculation in progress.
// Producers append to `solutionSteps`; the calculator page empties it
// before and after each calculation.
class KuvoStringOutput {
public:
    static KuvoStringOutput& shared();

    int solutionStepCounter = 0;
    std::vector<SolutionStep> solutionSteps;

    // Empties the list and resets the counter.
    void clear();

    // Extends every step whose LaTeX begins with `prefix`: its line feeds
    // become " = ", then the value text, a blank and the symbol's unit (as
    // the unit table rewrites it) follow. Other steps stay as they are.
    void convertUnits(const std::string& prefix, const std::string& valueText, const Symbol& symbol);
    static SolutionStep convertUnits(const SolutionStep& step, const std::string& prefix,
                                     const std::string& valueText, const Symbol& symbol);
};

}  // namespace velmora
