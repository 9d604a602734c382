// The test hooks of the audiences.
#include "measurement/audience/audience_expression_shared_state.h"
#include "testsupport/test_hooks.h"

namespace test_hooks {

void setExpressionTimeLimit(std::int32_t units) {
    measurement::detail::expressionTimeLimit().store(units > 0 ? units
                                                               : measurement::detail::kDefaultExpressionTimeLimit);
}

}  // namespace test_hooks
