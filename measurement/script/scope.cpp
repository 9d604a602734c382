// Lexical scopes: lookup, declaration and assignment.
#include "measurement/script/scope.h"

#include "measurement/script/object_manager.h"

namespace measurement {

APMPScope::APMPScope(Ref<APMPScope> parentScope) : _parentScope(std::move(parentScope)) {
    if (_parentScope) inheritedManager_ = _parentScope->objectManager();
    detail::liveObjectCounter().fetch_add(1, std::memory_order_relaxed);
}

APMPScope::~APMPScope() { detail::liveObjectCounter().fetch_sub(1, std::memory_order_relaxed); }

Ref<APMPScope> APMPScope::createChildScope() { return makeRef<APMPScope>(Ref<APMPScope>(this)); }

const APMPScope* APMPScope::holderOf(const std::u16string& name) const {
    for (const APMPScope* scope = this; scope; scope = scope->_parentScope.get()) {
        if (scope->_contents.hasName(name)) return scope;
    }
    return nullptr;
}

bool APMPScope::hasName(const std::u16string& name) const { return holderOf(name) != nullptr; }

APMPValueRef APMPScope::valueForName(const std::u16string& name) const {
    for (const APMPScope* scope = this; scope; scope = scope->_parentScope.get()) {
        if (APMPRuntimeValue* value = scope->_contents.lookup(name)) return APMPValueRef(value);
    }
    return APMPUndefined();
}

void APMPScope::addValue(APMPValueRef value, const std::u16string& name) { _contents.setValue(std::move(value), name); }

void APMPScope::addImmutableValue(APMPValueRef value, const std::u16string& name) {
    _contents.setImmutableValue(std::move(value), name);
}

void APMPScope::setValue(APMPValueRef value, const std::u16string& name) {
    const APMPScope* holder = holderOf(name);
    // Each scope the write passes through ignores it when it is immutable.
    APMPScope* scope = this;
    while (true) {
        if (scope->_contents.isImmutable()) return;
        if (holder == nullptr || scope == holder) {
            scope->_contents.setValue(std::move(value), name);
            return;
        }
        scope = scope->_parentScope.get();
    }
}

APMPObjectManager* APMPScope::objectManager() const {
    if (_objectManager) return _objectManager.get();
    if (inheritedManager_) return inheritedManager_;
    return _parentScope ? _parentScope->objectManager() : nullptr;
}

void APMPScope::setObjectManager(Ref<APMPObjectManager> objectManager) { _objectManager = std::move(objectManager); }

void APMPScope::markChildren(std::vector<APMPMarkable*>& work) {
    _contents.forEachValue([&](APMPRuntimeValue* value) { work.push_back(value); });
}

APMPBudget* APMPBudgetOf(const APMPScope& scope) {
    APMPObjectManager* manager = scope.objectManager();
    return manager ? &manager->budget() : nullptr;
}

bool APMPChargeAllocation(APMPScope& scope, std::size_t bytes, ScriptError& error) {
    APMPBudget* budget = APMPBudgetOf(scope);
    return budget == nullptr || budget->charge(bytes, error);
}

APMPValueRef APMPNewString(std::u16string text, APMPScope& scope, ScriptError& error) {
    if (!APMPChargeAllocation(scope, text.size() * sizeof(char16_t), error)) return APMPUndefined();
    return APMPString(std::move(text));
}

}  // namespace measurement
