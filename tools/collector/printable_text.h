#pragma once

// Text that clients sent, made safe for the collector's terminal: the
// escaping the engine's own lines get, under the collector's names.

#include "measurement/foundation/printable_text.h"

namespace tools::collector {

using measurement::printable;
using measurement::printableBlock;

}  // namespace tools::collector
