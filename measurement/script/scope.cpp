// Lexical scopes: lookup, declaration and assignment.
#include "measurement/script/scope.h"

#include "measurement/script/object_manager.h"

namespace measurement {

APMPScope::APMPScope(Ref<APMPScope> parentScope) : _parentScope(std::move(parentScope)) {
    if (_parentScope) {
        inheritedManager_ = _parentScope->objectManager();
        if (inheritedManager_) budget_ = &inheritedManager_->budget();
    }
    detail::countLiveObjects(1);
}

APMPScope::~APMPScope() { detail::countLiveObjects(-1); }

Ref<APMPScope> APMPScope::createChildScope() { return makeRef<APMPScope>(Ref<APMPScope>(this)); }

const APMPScope* APMPScope::holderOf(const APMPName& name) const {
    for (const APMPScope* scope = this; scope; scope = scope->_parentScope.get()) {
        if (scope->_contents.contains(name)) return scope;
    }
    return nullptr;
}

void APMPScope::setValue(APMPValueRef value, const APMPName& name) {
    const APMPScope* holder = holderOf(name);
    // Each scope the write passes through ignores it when it is immutable.
    APMPScope* scope = this;
    while (true) {
        if (scope->_contents.isImmutable()) return;
        if (holder == nullptr || scope == holder) {
            scope->_contents.put(std::move(value), name, false);
            return;
        }
        scope = scope->_parentScope.get();
    }
}

bool APMPScope::assignExisting(APMPValueRef value, const APMPName& name) {
    // The holder takes the write (its map ignores it for an immutable
    // name); an immutable scope on the way passes none through.
    bool blocked = false;
    for (APMPScope* scope = this; scope; scope = scope->_parentScope.get()) {
        if (blocked ? scope->_contents.contains(name) : scope->_contents.assign(value, name)) return true;
        blocked = blocked || scope->_contents.isImmutable();
    }
    return false;
}

APMPValueRef* APMPScope::resolve(const APMPName& name, bool& writable) {
    bool blocked = false;
    for (APMPScope* scope = this; scope; scope = scope->_parentScope.get()) {
        if (APMPValueRef* slot = scope->_contents.slot(name, writable)) {
            writable = writable && !blocked;
            return slot;
        }
        blocked = blocked || scope->_contents.isImmutable();
    }
    writable = false;
    return nullptr;
}

APMPObjectManager* APMPScope::objectManager() const {
    if (_objectManager) return _objectManager.get();
    if (inheritedManager_) return inheritedManager_;
    return _parentScope ? _parentScope->objectManager() : nullptr;
}

APMPBudget* APMPScope::inheritedBudget() const {
    APMPObjectManager* manager = objectManager();
    return manager ? &manager->budget() : nullptr;
}

void APMPScope::setObjectManager(Ref<APMPObjectManager> objectManager) {
    _objectManager = std::move(objectManager);
    budget_ = _objectManager ? &_objectManager->budget() : nullptr;
}

void APMPScope::markChildren(std::vector<APMPMarkable*>& work) {
    _contents.forEachValue([&](const APMPValueRef& value) {
        if (APMPRuntimeValue* object = value.get()) work.push_back(object);
    });
}

bool APMPChargeAllocation(APMPScope& scope, std::size_t bytes, ScriptError& error) {
    APMPBudget* budget = scope.budget();
    return budget == nullptr || budget->charge(bytes, error);
}

APMPValueRef APMPNewString(std::u16string text, APMPScope& scope, ScriptError& error) {
    if (!APMPChargeAllocation(scope, text.size() * sizeof(char16_t), error)) return APMPUndefined();
    return APMPString(std::move(text));
}

}  // namespace measurement
