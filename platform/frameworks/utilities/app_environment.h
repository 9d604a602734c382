// Where the application was installed from, as far as services ask.
#pragma once

#include <optional>

namespace platform {

// A headless process is no store installation, so the answer is false
// unless a program or a test says otherwise. Safe from any thread.
class RULAppEnvironmentUtil {
public:
    // Whether the application runs as installed from the application store.
    static bool isFromAppStore();
    // None restores the default (false).
    static void setFromAppStore(std::optional<bool> fromAppStore);
};

}  // namespace platform
