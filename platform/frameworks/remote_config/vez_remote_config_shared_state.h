#pragma once

// The shared remote-configuration client and its options: held by
// VEZRemoteConfig, and reset between cases by the test hooks
// (testsupport/test_hooks.h).

#include <memory>
#include <mutex>
#include <optional>

#include "platform/frameworks/remote_config/vez_remote_config.h"

namespace platform::detail {

struct SharedRemoteConfig {
    std::mutex mutex;
    std::shared_ptr<VEZRemoteConfig> client;
    std::optional<VEZRemoteConfigOptions> options;
};

SharedRemoteConfig& sharedRemoteConfig();

}  // namespace platform::detail
