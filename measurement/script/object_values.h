#pragma once

// Compound values: arrays, maps and functions.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "measurement/script/property_map.h"
#include "measurement/script/runtime_value.h"

namespace measurement {

class APMPObjectManager;
class APMPFunctionValue;
struct APMPRuntimeLimits;

// Arrays, maps and functions: the compound values that programs create and
// the collector tracks. Each has a property map and a mark (the number of
// the collection that last reached it); the object manager that tracks it
// also meters what it may allocate.
class APMPCollectableValue : public APMPRuntimeValue {
public:
    ~APMPCollectableValue() override;
    APMPPropertyMap& propertyMap() { return _propertyMap; }
    const APMPPropertyMap& propertyMap() const { return _propertyMap; }
    // The object manager tracking this value, if any.
    APMPObjectManager* objectManager() const { return owner_; }
    void sweep(std::uint64_t collection) override;

protected:
    explicit APMPCollectableValue(APMPValueKind kind);
    bool markSelf(std::uint64_t collection) override;
    void markChildren(std::vector<APMPMarkable*>& work) override;
    // What a sweep of an unmarked value releases.
    virtual void releaseContents();
    // Calls the own property of that name: false when there is none; error
    // 17 when it is not a function.
    bool invokeOwnFunction(const APMPName& name, const APMPValueList& arguments, APMPScope& scope,
                           ScriptError& error, APMPValueRef& result);
    // Charges an allocation to the tracking manager's run budget.
    bool chargeAllocation(std::size_t bytes, ScriptError& error) const;
    // The tracking runtime's limits, or the defaults when untracked.
    const APMPRuntimeLimits& limits() const;

    APMPPropertyMap _propertyMap;
    // 0 until a collection reaches the value.
    std::uint64_t _mark = 0;

private:
    friend class APMPObjectManager;
    APMPObjectManager* owner_ = nullptr;
    APMPCollectableValue* prev_ = nullptr;
    APMPCollectableValue* next_ = nullptr;
};

class APMPArrayValue final : public APMPCollectableValue {
public:
    APMPArrayValue() : APMPCollectableValue(APMPValueKind::Array) {}
    explicit APMPArrayValue(APMPValueList elements);  // initWithArray:
    // The shared hole.
    static APMPRuntimeValue* emptyValue() { return APMPHole(); }

    std::u16string stringValueOrError(ScriptError& error) const override;
    double doubleValueOrError(ScriptError& error) const override;
    bool booleanValueOrError(ScriptError&) const override { return true; }
    APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments, APMPScope& scope,
                               ScriptError& error) override;

    // Keyed access: "length", array indices, or named properties.
    bool hasProperty(const APMPValueRef& key, ScriptError& error) const;
    APMPValueRef valueForProperty(const APMPValueRef& key, ScriptError& error) const;
    bool setValue(APMPValueRef value, const APMPValueRef& key, ScriptError& error);
    bool removeValueForProperty(const APMPValueRef& key, ScriptError& error);
    // Named properties first, then the indices of slots that are not holes.
    APMPValueList allPropertyNames() const;

    std::size_t count() const { return _elements.size(); }
    const APMPValueList& slots() const { return _elements; }
    // The elements with every hole read as undefined.
    APMPValueList allElements() const;
    // Shrinks, or grows with holes; lengths beyond the cap fail with 11.
    bool setLength(double length, ScriptError& error);

    // A new (untracked) array of the clamped slice, holes kept.
    Ref<APMPArrayValue> subarrayWithRange(double start, double length) const;
    bool sortUsingFunctionValue(APMPFunctionValue* compare, APMPScope& scope, ScriptError& error);
    // Removes the clamped slice and inserts the values at start.
    APMPValueList spliceFrom(double start, double deleteCount, const APMPValueList& addValues, ScriptError& error);
    bool concat(const APMPValueRef& value, ScriptError& error);
    void reverse();
    APMPValueRef removeFirstElement();
    APMPValueRef removeLastElement();
    // Both yield the new count.
    std::size_t appendElements(const APMPValueList& values, ScriptError& error);
    std::size_t prependElements(const APMPValueList& values, ScriptError& error);
    long indexOfValue(const APMPValueRef& value, double fromIndex, ScriptError& error) const;
    long lastIndexOfValue(const APMPValueRef& value, double fromIndex, ScriptError& error) const;
    std::u16string stringValueWithSeparator(const std::u16string& separator, ScriptError& error) const;

    // Whether count could become newCount within the caps (11 and 18).
    bool reserveSlots(std::size_t newCount, ScriptError& error) const;

protected:
    void markChildren(std::vector<APMPMarkable*>& work) override;
    void releaseContents() override;

private:
    APMPValueList _elements;
};

// Maps and functions: property access by name.
class APMPObjectValue : public APMPCollectableValue {
public:
    bool hasProperty(const std::u16string& name) const { return _propertyMap.hasName(name); }
    APMPValueRef valueForProperty(const std::u16string& name) const { return _propertyMap.valueForName(name); }
    void setValue(APMPValueRef value, const std::u16string& name) { _propertyMap.setValue(std::move(value), name); }
    void removeValueForProperty(const std::u16string& name) { _propertyMap.removeValueForName(name); }
    std::vector<std::u16string> allPropertyNames() const { return _propertyMap.allNames(); }
    // The same by name key.
    bool hasProperty(const APMPName& name) const { return _propertyMap.contains(name); }
    APMPValueRef valueForProperty(const APMPName& name) const {
        const APMPValueRef* value = _propertyMap.find(name);
        return value ? *value : APMPUndefined();
    }
    void setValue(APMPValueRef value, const APMPName& name) { _propertyMap.put(std::move(value), name, false); }
    // Own function properties, "hasOwnProperty", then the base rule.
    APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments, APMPScope& scope,
                               ScriptError& error) override;

protected:
    using APMPCollectableValue::APMPCollectableValue;
};

class APMPMapValue : public APMPObjectValue {
public:
    APMPMapValue() : APMPObjectValue(APMPValueKind::Map) {}
    std::u16string stringValueOrError(ScriptError&) const override { return u"[object Object]"; }
    double doubleValueOrError(ScriptError&) const override;
    bool booleanValueOrError(ScriptError&) const override { return true; }
};

class APMPFunctionValue : public APMPObjectValue {
public:
    APMPFunctionValue(std::u16string functionName, std::vector<std::u16string> parameterNames,
                      APMPValueList statements, Ref<APMPScope> definingScope);
    // The parameter names as string values (shared with the program).
    APMPFunctionValue(std::u16string functionName, std::vector<Ref<APMPStringValue>> parameterNames,
                      APMPValueList statements, Ref<APMPScope> definingScope);
    ~APMPFunctionValue() override;

    const std::u16string& functionName() const { return _functionName; }
    std::vector<std::u16string> parameters() const;
    const APMPValueList& statements() const { return _statements; }
    APMPScope* definingScope() const { return _definingScope.get(); }

    std::u16string stringValueOrError(ScriptError&) const override { return _functionName; }
    double doubleValueOrError(ScriptError&) const override;
    bool booleanValueOrError(ScriptError&) const override { return true; }

    // Evaluates the argument statements in the caller's scope, then calls.
    // Native functions override this and take the arguments unevaluated.
    virtual APMPValueRef invokeWithArguments(const APMPValueList& arguments, APMPScope& scope, ScriptError& error);
    // Binds the parameters in a child of the defining scope and runs the
    // statements; a return yields its data.
    virtual APMPValueRef invokeWithEvaluatedArguments(const APMPValueList& arguments, ScriptError& error);

protected:
    void markChildren(std::vector<APMPMarkable*>& work) override;
    void releaseContents() override;

private:
    std::u16string _functionName;
    std::vector<Ref<APMPStringValue>> _parameters;
    APMPValueList _statements;
    Ref<APMPScope> _definingScope;
};

// A function implemented by the host. It has no statements, a new scope
// without parent as defining scope, and receives its arguments unevaluated
// with the caller's scope.
class APMPNativeFunctionValue : public APMPFunctionValue {
public:
    explicit APMPNativeFunctionValue(std::u16string functionName);
    APMPValueRef invokeWithArguments(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) override = 0;
};

// A native function over a host callable, for modules that need no class
// of their own.
class APMPBlockFunctionValue final : public APMPNativeFunctionValue {
public:
    using Block = std::function<APMPValueRef(const APMPValueList& arguments, APMPScope& scope, ScriptError& error)>;
    APMPBlockFunctionValue(std::u16string functionName, Block block)
        : APMPNativeFunctionValue(std::move(functionName)), block_(std::move(block)) {}
    APMPValueRef invokeWithArguments(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) override;

private:
    Block block_;
};

}  // namespace measurement
