#pragma once

// The palette colours made so far, one per value for the process: kept by
// paletteColor(), and unset between test cases by the test hooks
// (testsupport/test_hooks.h), so that each case's first use fixes them.

#include <deque>
#include <map>
#include <mutex>
#include <tuple>

#include "velmora/engine/palette.h"

namespace velmora::detail {

struct PaletteConstants {
    std::mutex mutex;
    std::map<std::tuple<double, double, double, double>, const RGBColor*> made;
    // Every value ever handed out, so that a reference outlives an unset.
    std::deque<RGBColor> kept;
};

PaletteConstants& paletteConstants();

}  // namespace velmora::detail
