// The test hooks of the application's colours.
#include "testsupport/test_hooks.h"
#include "velmora/engine/palette_shared_state.h"
#include "velmora/screens/kuvo_color_shared_state.h"

namespace test_hooks {

void resetColourConstants() {
    {
        auto& constants = velmora::KuvoColor::detail::constants();
        std::lock_guard lock(constants.mutex);
        constants.named.fill(nullptr);
        constants.palette.clear();
    }
    auto& palette = velmora::detail::paletteConstants();
    std::lock_guard lock(palette.mutex);
    palette.made.clear();
}

}  // namespace test_hooks
