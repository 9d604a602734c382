#pragma once

// Flags of the whole process that the pages and the chrome read; main
// thread only.
namespace velmora {

// True while the calculator page runs a calculation: the keypad, the delete
// and calculate keys, clear-all and the toolbar's menu button hold still.
extern bool isCalculating;

// True while the solution page takes its screenshot for sharing: charts
// draw at once instead of animating.
extern bool isTakingScreenshot;

}  // namespace velmora
