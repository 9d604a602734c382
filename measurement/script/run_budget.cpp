// The run budget's accounting of allocation and regular-expression time.

#include "measurement/script/run_budget.h"

namespace measurement {

const APMPRuntimeLimits& APMPLimitsOf(const APMPBudget* budget) {
    static const APMPRuntimeLimits defaults;
    return budget ? budget->limits() : defaults;
}

void APMPBudget::reset() {
    instructions_ = 0;
    allocated_ = 0;
    regexTime_ = 0;
}

bool APMPBudget::charge(std::size_t bytes, ScriptError& error) {
    if (bytes > limits_.maxAllocationBytes - allocated_) {
        allocated_ = limits_.maxAllocationBytes;
        error.fail(kAPMPErrorBudgetExhausted);
        return false;
    }
    allocated_ += bytes;
    return true;
}

bool APMPBudget::spendRegexTime(std::int32_t units) {
    regexTime_ += units;
    return regexTime_ <= limits_.maxRegexTimeUnits;
}

}  // namespace measurement
