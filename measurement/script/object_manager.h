#pragma once

// The object manager: what one run may use, and collection.

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <vector>

#include "measurement/script/object_values.h"
#include "measurement/script/scope.h"

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
    // A new run: evaluations, allocations and regular-expression time.
    void reset();

    bool charge(std::size_t bytes, ScriptError& error);
    std::size_t allocatedBytes() const { return allocated_; }

    // Nesting of evaluations, bounded by depth and native stack.
    bool enter(ScriptError& error);
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

// Tracks the compound values a runtime creates and collects those that the
// roots no longer reach. It keeps nothing alive: tracked values leave the
// list when they are freed, and roots are held weakly.
class APMPObjectManager final : public RefCounted {
public:
    explicit APMPObjectManager(const APMPRuntimeLimits& limits = {});
    ~APMPObjectManager() override;

    void addRoot(APMPMarkable* root);
    // Tracks an array, map or function; other values are ignored.
    void addObject(APMPRuntimeValue* object);

    void collectGarbage();
    // Marks everything the live roots reach under a new collection number.
    void mark();
    // Releases the contents of every tracked value the last mark did not
    // reach; its marks are stale afterwards.
    void sweep();
    // Releases the contents of every tracked value, reachable or not: the
    // runtime's end, which frees every cycle its programs made.
    void releaseAll();

    std::vector<APMPValueRef> trackedObjects() const;
    std::vector<Ref<APMPMarkable>> roots() const;
    std::size_t trackedCount() const { return trackedCount_; }

    APMPBudget& budget() { return budget_; }
    const APMPBudget& budget() const { return budget_; }

    // Factories: each value is registered with the manager the scope finds.
    static Ref<APMPFunctionValue> functionValueWithFunctionName(std::u16string functionName,
                                                                std::vector<std::u16string> parameterNames,
                                                                APMPValueList statements,
                                                                const Ref<APMPScope>& definingScope);
    static Ref<APMPMapValue> mapValueWithScope(APMPScope& scope);
    static Ref<APMPArrayValue> arrayValueWithScope(APMPScope& scope);
    static Ref<APMPArrayValue> arrayValueWithArray(APMPValueList values, APMPScope& scope);
    static Ref<APMPArrayValue> subarrayWithArray(const APMPArrayValue& array, double start, double length,
                                                 APMPScope& scope);

private:
    friend class APMPCollectableValue;
    void unlink(APMPCollectableValue* object);

    APMPBudget budget_;
    // The number current marks are made under.
    std::uint64_t collection_;
    std::vector<WeakRef<APMPMarkable>> roots_;
    APMPCollectableValue* head_ = nullptr;
    std::size_t trackedCount_ = 0;
};

// The budget of the runtime that owns a scope, if any.
APMPBudget* APMPBudgetOf(const APMPScope& scope);
// The limits of a budget; values and scopes outside any runtime keep to
// the defaults.
const APMPRuntimeLimits& APMPLimitsOf(const APMPBudget* budget);
// Charges bytes to the scope's run budget (always granted outside a
// runtime).
bool APMPChargeAllocation(APMPScope& scope, std::size_t bytes, ScriptError& error);
// A new string value whose size is charged to the scope's run budget;
// undefined with error 18 when the run may allocate no more.
APMPValueRef APMPNewString(std::u16string text, APMPScope& scope, ScriptError& error);

// Live compound values and scopes in this process, for leak checks.
std::int64_t APMPLiveObjectCount();
namespace detail {
std::atomic<std::int64_t>& liveObjectCounter();
}

}  // namespace measurement
