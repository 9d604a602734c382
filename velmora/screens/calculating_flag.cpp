// The process-wide mark of a running calculation.
#include "velmora/screens/calculating_flag.h"

namespace velmora {

bool isCalculating = false;

}  // namespace velmora
