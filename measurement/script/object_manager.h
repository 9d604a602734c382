#pragma once

// The object manager: what one run may use, and collection.

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <vector>

#include "measurement/script/object_values.h"
#include "measurement/script/run_budget.h"
#include "measurement/script/scope.h"

namespace measurement {

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
    static Ref<APMPFunctionValue> functionValueWithFunctionName(std::u16string functionName,
                                                                std::vector<Ref<APMPStringValue>> parameterNames,
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
    // Empty between marks; kept for its room.
    std::vector<APMPMarkable*> markWork_;
    APMPCollectableValue* head_ = nullptr;
    std::size_t trackedCount_ = 0;
};

// The budget of the runtime that owns a scope, if any.
inline APMPBudget* APMPBudgetOf(const APMPScope& scope) { return scope.budget(); }
// Charges bytes to the scope's run budget (always granted outside a
// runtime).
bool APMPChargeAllocation(APMPScope& scope, std::size_t bytes, ScriptError& error);
// A new string value whose size is charged to the scope's run budget;
// undefined with error 18 when the run may allocate no more.
APMPValueRef APMPNewString(std::u16string text, APMPScope& scope, ScriptError& error);

}  // namespace measurement
