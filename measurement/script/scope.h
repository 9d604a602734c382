#pragma once

// APMPScope: a lexical scope.

#include <cstdint>
#include <string>

#include "measurement/script/property_map.h"
#include "measurement/script/run_budget.h"
#include "measurement/script/runtime_value.h"

namespace measurement {

class APMPObjectManager;

// A lexical scope: its own names and a parent. The root scope carries the
// object manager that every descendant finds.
class APMPScope final : public APMPMarkable {
public:
    explicit APMPScope(Ref<APMPScope> parentScope = nullptr);  // initWithParentScope:
    ~APMPScope() override;
    Ref<APMPScope> createChildScope();

    APMPScope* parentScope() const { return _parentScope.get(); }
    // Whether this scope or an enclosing one holds the name.
    bool hasName(const std::u16string& name) const { return find(APMPName(name)) != nullptr; }
    // The value in the nearest scope holding the name, else undefined.
    APMPValueRef valueForName(const std::u16string& name) const { return valueForName(APMPName(name)); }
    // Define the name here (ignored when this scope is immutable).
    void addValue(APMPValueRef value, const std::u16string& name) {
        _contents.put(std::move(value), APMPName(name), false);
    }
    void addImmutableValue(APMPValueRef value, const std::u16string& name) {
        _contents.put(std::move(value), APMPName(name), true);
    }
    // Writes where the name lives, or defines it here when no scope does.
    void setValue(APMPValueRef value, const std::u16string& name) { setValue(std::move(value), APMPName(name)); }
    void makeImmutable() { _contents.makeImmutable(); }
    const APMPPropertyMap& contents() const { return _contents; }

    APMPObjectManager* objectManager() const;
    void setObjectManager(Ref<APMPObjectManager> objectManager);

    // The same operations by name key, as the evaluator uses them.
    // The value slot of the nearest scope holding the name, or nullptr.
    const APMPValueRef* find(const APMPName& name) const {
        for (const APMPScope* scope = this; scope; scope = scope->_parentScope.get()) {
            if (const APMPValueRef* value = scope->_contents.find(name)) return value;
        }
        return nullptr;
    }
    APMPValueRef valueForName(const APMPName& name) const {
        const APMPValueRef* value = find(name);
        return value ? *value : APMPUndefined();
    }
    void addValue(APMPValueRef value, const APMPName& name, bool immutable = false) {
        _contents.put(std::move(value), name, immutable);
    }
    void setValue(APMPValueRef value, const APMPName& name);
    // Writes where the name lives; false (and nothing written) when no
    // scope holds it.
    bool assignExisting(APMPValueRef value, const APMPName& name);
    // The slot that reads and assignments of the name use from this scope,
    // or nullptr when no scope holds it; `writable` says whether an
    // assignment stores (an immutable name or scope on the way ignores
    // it). Valid while no scope on the chain gains or loses a name.
    APMPValueRef* resolve(const APMPName& name, bool& writable);

    // The run budget of the runtime that owns this scope, if any.
    APMPBudget* budget() const { return budget_ ? budget_ : inheritedBudget(); }

    // Whether nothing but the caller's reference holds this scope, so that
    // it may be emptied and serve again as a new child of its parent.
    bool isUnshared() const { return referenceCount() == 1; }
    // Empties an unshared scope's own names (and makes it mutable again).
    void resetContents() { _contents.reset(); }

protected:
    // Every function defined here leads back to this scope: its contents
    // are visited once per collection, not once per function.
    bool markSelf(std::uint64_t collection) override {
        if (marked_ == collection) return false;
        marked_ = collection;
        return true;
    }
    void markChildren(std::vector<APMPMarkable*>& work) override;

private:
    const APMPScope* holderOf(const APMPName& name) const;
    APMPBudget* inheritedBudget() const;

    Ref<APMPScope> _parentScope;
    APMPPropertyMap _contents;
    Ref<APMPObjectManager> _objectManager;
    // The manager found through the parent when this scope was made.
    APMPObjectManager* inheritedManager_ = nullptr;
    // That manager's budget, read on every evaluation.
    APMPBudget* budget_ = nullptr;
    // The collection that last marked the contents.
    std::uint64_t marked_ = 0;
};

}  // namespace measurement
