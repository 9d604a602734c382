// The test hooks of the identity.
#include "measurement/upload/identity/identity.h"
#include "measurement/upload/identity/identity_shared_state.h"
#include "testsupport/test_hooks.h"

namespace test_hooks {

void resetProcessIdentifiers() {
    std::shared_ptr<measurement::APMIdentity> released;
    auto& identifiers = measurement::detail::processIdentifiers();
    std::lock_guard lock(identifiers.mutex);
    identifiers.rozedaAppID.reset();
    identifiers.dozudAppID.reset();
    identifiers.shared.swap(released);
}

}  // namespace test_hooks
