#pragma once

// APMPScope: a lexical scope.

#include <cstdint>
#include <string>

#include "measurement/script/property_map.h"
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
    bool hasName(const std::u16string& name) const;
    // The value in the nearest scope holding the name, else undefined.
    APMPValueRef valueForName(const std::u16string& name) const;
    // Define the name here (ignored when this scope is immutable).
    void addValue(APMPValueRef value, const std::u16string& name);
    void addImmutableValue(APMPValueRef value, const std::u16string& name);
    // Writes where the name lives, or defines it here when no scope does.
    void setValue(APMPValueRef value, const std::u16string& name);
    void makeImmutable() { _contents.makeImmutable(); }
    const APMPPropertyMap& contents() const { return _contents; }

    APMPObjectManager* objectManager() const;
    void setObjectManager(Ref<APMPObjectManager> objectManager);

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
    const APMPScope* holderOf(const std::u16string& name) const;

    Ref<APMPScope> _parentScope;
    APMPPropertyMap _contents;
    Ref<APMPObjectManager> _objectManager;
    // The manager found through the parent when this scope was made.
    APMPObjectManager* inheritedManager_ = nullptr;
    // The collection that last marked the contents.
    std::uint64_t marked_ = 0;
};

}  // namespace measurement
