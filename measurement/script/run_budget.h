#pragma once

// What one run of a program may use, and the count of what it has used.

#include <cstddef>
#include <cstdint>

#include "measurement/script/script_error.h"

namespace measurement {

// What one run may use. Programs come from the configuration server, so
// every resource they can reach is bounded.
struct APMPRuntimeLimits {
    // Evaluations between two resets; the next one fails with 18.
    std::int64_t maxInstructions = 1'000'000;
    // Longest array; a longer one fails with 11.
    std::size_t maxArrayLength = 1u << 24;
    // Bytes of strings, array slots and properties one run may allocate.
    std::size_t maxAllocationBytes = std::size_t{64} << 20;
    // Nested evaluations (statements within statements, calls within calls).
    int maxNestingDepth = 2500;
    // Native stack that nested evaluation may use.
    std::size_t maxStackBytes = std::size_t{2} << 20;
    // Nesting of program entities accepted at load.
    int maxEntityDepth = 512;
    // Regular-expression engine time per run, in the engine's time units.
    std::int32_t maxRegexTimeUnits = 2000;
    // Regular-expression backtracking stack, in bytes.
    std::int32_t maxRegexStackBytes = 1 << 20;
};

// The run budget: evaluations, allocation and nesting. The count lives
// here, out of the scripts' reach, and is reset by the host per run.
class APMPBudget {
public:
    explicit APMPBudget(const APMPRuntimeLimits& limits) : limits_(limits) {}
    const APMPRuntimeLimits& limits() const { return limits_; }

    // Counts one evaluation; fails with 18 once the budget is spent.
    bool countInstruction(ScriptError& error) {
        if (instructions_ >= limits_.maxInstructions) {
            error.fail(kAPMPErrorBudgetExhausted);
            return false;
        }
        ++instructions_;
        return true;
    }
    std::int64_t instructionCount() const { return instructions_; }
    // Counts at once the evaluations of a statement and of the statements
    // nested in it `levels` deep (itself the first level), when the budget
    // and the nesting bound allow every one of them; otherwise counts
    // nothing and answers false.
    bool countAhead(std::uint64_t evaluations, int levels) {
        if (evaluations > static_cast<std::uint64_t>(limits_.maxInstructions - instructions_)) return false;
        if (depth_ + levels > limits_.maxNestingDepth) return false;
        instructions_ += static_cast<std::int64_t>(evaluations);
        return true;
    }
    // Takes back evaluations counted ahead that did not happen after all.
    void uncount(std::uint64_t evaluations) { instructions_ -= static_cast<std::int64_t>(evaluations); }
    // A new run: evaluations, allocations and regular-expression time.
    void reset();

    bool charge(std::size_t bytes, ScriptError& error);
    std::size_t allocatedBytes() const { return allocated_; }

    // Nesting of evaluations, bounded by depth and native stack.
    bool enter(ScriptError& error) {
        const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
        if (depth_ == 0) stackBase_ = here;
        const std::uintptr_t used = stackBase_ > here ? stackBase_ - here : here - stackBase_;
        if (depth_ >= limits_.maxNestingDepth || used > limits_.maxStackBytes) {
            error.fail(kAPMPErrorBudgetExhausted);
            return false;
        }
        ++depth_;
        return true;
    }
    void leave() { --depth_; }
    int depth() const { return depth_; }

    // Regular-expression time left in this run; spending it fails with 18.
    std::int32_t regexTimeLeft() const { return limits_.maxRegexTimeUnits - regexTime_; }
    bool spendRegexTime(std::int32_t units);

private:
    APMPRuntimeLimits limits_;
    std::int64_t instructions_ = 0;
    std::size_t allocated_ = 0;
    int depth_ = 0;
    std::uintptr_t stackBase_ = 0;
    std::int32_t regexTime_ = 0;
};

// One nesting level for the length of a scope.
class APMPNestingGuard {
public:
    APMPNestingGuard(APMPBudget* budget, ScriptError& error)
        : budget_(budget != nullptr && budget->enter(error) ? budget : nullptr), ok_(budget == nullptr || budget_) {}
    ~APMPNestingGuard() {
        if (budget_) budget_->leave();
    }
    APMPNestingGuard(const APMPNestingGuard&) = delete;
    APMPNestingGuard& operator=(const APMPNestingGuard&) = delete;
    bool ok() const { return ok_; }

private:
    APMPBudget* budget_;
    bool ok_;
};

// The limits of a budget; values and scopes outside any runtime keep to
// the defaults.
const APMPRuntimeLimits& APMPLimitsOf(const APMPBudget* budget);

}  // namespace measurement
