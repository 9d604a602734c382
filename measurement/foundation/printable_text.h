#pragma once

// Text from outside (what clients sent, names read from a damaged file) made safe for a terminal.

#include "platform/foundation/printable_text.h"

namespace measurement {

// The platform's escaping, under which the engine's log lines are written:
// every program of the system escapes what it quotes the same way.
using platform::printable;
using platform::printableBlock;

}  // namespace measurement
