// The findings of the screen check that the application's own design makes, each with its reason.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "velmora/runner/screen_check.h"

namespace velmora::runner {

// A finding the design itself brings about (its colours or frames), kept
// as the design has it: what it is and why it stays.
struct KnownFinding {
    std::string title;
    std::string reason;
    std::function<bool(const Finding&)> matches;
};

// The table of known findings, in the order the check reports them.
const std::vector<KnownFinding>& knownFindings();
// The entry a finding belongs to; none for a finding that needs mending.
const KnownFinding* knownFindingFor(const Finding& finding);

}  // namespace velmora::runner
