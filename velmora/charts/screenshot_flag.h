#pragma once
// The process-wide mark that a screenshot of the solution is being taken.

namespace velmora {

// Set by the solution page's share flow around its table screenshot; while
// it is set, chart views draw their final state at once and start no
// animation. Read and written on the main thread.
bool isTakingScreenshot();
void setIsTakingScreenshot(bool taking);

}  // namespace velmora
