#pragma once

// The process-wide mark of a running calculation; main thread only.
namespace velmora {

// True while the calculator page runs a calculation: the keypad, the delete
// and calculate keys, clear-all and the toolbar's menu button hold still.
extern bool isCalculating;

}  // namespace velmora
