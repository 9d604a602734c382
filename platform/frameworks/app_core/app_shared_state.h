#pragma once

// The default application's process-wide registry: held by VEZApp, and
// reset between cases by the test hooks (testsupport/test_hooks.h).

#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/frameworks/app_core/app.h"

namespace platform::detail {

struct AppRegistry {
    std::mutex mutex;
    std::vector<std::pair<std::string, VEZApp::StartHook>> hooks;
    std::optional<VEZAppOptions> options;
};

AppRegistry& appRegistry();

}  // namespace platform::detail
