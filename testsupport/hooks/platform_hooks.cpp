// The test hooks of the platform stand-ins.
#include "platform/frameworks/app_core/app_shared_state.h"
#include "platform/frameworks/remote_config/vez_remote_config_shared_state.h"
#include "testsupport/test_hooks.h"

namespace test_hooks {

void resetDefaultApp() {
    auto& registry = platform::detail::appRegistry();
    std::lock_guard lock(registry.mutex);
    registry.options.reset();
}

void resetSharedRemoteConfig() {
    auto& shared = platform::detail::sharedRemoteConfig();
    std::shared_ptr<platform::VEZRemoteConfig> old;
    {
        std::lock_guard lock(shared.mutex);
        old = std::move(shared.client);
        shared.options.reset();
    }
}

}  // namespace test_hooks
