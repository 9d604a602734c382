// The runner's check command: the screen looked over for overlaps, cuts and faint texts.
#pragma once

#include "velmora/runner/runner_commands.h"

namespace velmora::runner {

// "check": prints "ok" when the screen has no finding outside the table of
// known findings, else each finding; then the known findings it met, each
// once with its reason. Fails when there is a finding to mend.
RunnerCommand checkCommand();

}  // namespace velmora::runner
