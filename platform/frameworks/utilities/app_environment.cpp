// The settable answer to where the application was installed from.
#include "platform/frameworks/utilities/app_environment.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<bool> gFromAppStore{false};
}  // namespace

bool RULAppEnvironmentUtil::isFromAppStore() { return gFromAppStore.load(); }

void RULAppEnvironmentUtil::setFromAppStore(std::optional<bool> fromAppStore) {
    gFromAppStore.store(fromAppStore.value_or(false));
}

}  // namespace platform
