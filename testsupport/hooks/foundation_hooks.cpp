// The test hooks of the measurement foundations.
#include "measurement/foundation/numeric_util_shared_state.h"
#include "testsupport/test_hooks.h"

namespace test_hooks {

void setDecimalNumberPattern(std::optional<std::string> pattern) {
    auto& state = measurement::detail::decimalPattern();
    std::lock_guard lock(state.mutex);
    state.override = std::move(pattern);
    state.compiled.reset();
}

}  // namespace test_hooks
