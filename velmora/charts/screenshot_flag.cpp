// The process-wide screenshot mark.
#include "velmora/charts/screenshot_flag.h"

#include <atomic>

namespace velmora {

namespace {
std::atomic<bool> taking{false};
}

bool isTakingScreenshot() { return taking.load(); }
void setIsTakingScreenshot(bool value) { taking.store(value); }

}  // namespace velmora
