// The process-wide flags of the pages.
#include "velmora/screens/process_flags.h"

namespace velmora {

bool isCalculating = false;
bool isTakingScreenshot = false;

}  // namespace velmora
