// The test hooks of the application's colour and text constants.
#include "testsupport/test_hooks.h"
#include "velmora/engine/engine_texts_shared_state.h"
#include "velmora/engine/palette_shared_state.h"
#include "velmora/screens/kuvo_color_shared_state.h"

namespace test_hooks {

void resetApplicationConstants() {
    {
        auto& constants = velmora::KuvoColor::detail::constants();
        std::lock_guard lock(constants.mutex);
        constants.named.fill(nullptr);
        constants.palette.clear();
    }
    {
        auto& palette = velmora::detail::paletteConstants();
        std::lock_guard lock(palette.mutex);
        palette.made.clear();
    }
    auto& texts = velmora::detail::textConstants();
    std::lock_guard lock(texts.mutex);
    texts.made.clear();
}

}  // namespace test_hooks
