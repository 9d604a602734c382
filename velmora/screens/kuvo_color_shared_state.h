#pragma once

// The application's colour constants made so far, for the process: kept by
// KuvoColor, and unset between test cases by the test hooks
// (testsupport/test_hooks.h), so that each case's first use fixes them.

#include <array>
#include <deque>
#include <map>
#include <mutex>
#include <tuple>

#include "platform/gfx/color.h"

namespace velmora::KuvoColor::detail {

// The named constants of kuvo_color.h.
enum class Constant {
    tertiaryGroupedBackground,
    disabledText,
    label,
    darkGray,
    lightGray,
    systemGray,
    cardShadow,
    background,
    neutralGray,
    inputFieldBackground,
    disabledInputFieldBackground,
    count
};

struct Constants {
    std::mutex mutex;
    std::array<const platform::gfx::Color*, static_cast<std::size_t>(Constant::count)> named{};
    std::map<std::tuple<double, double, double, double>, const platform::gfx::Color*> palette;
    // Every colour ever handed out, so that a reference outlives an unset.
    std::deque<platform::gfx::Color> kept;
};

Constants& constants();

}  // namespace velmora::KuvoColor::detail
