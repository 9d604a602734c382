// Maps and functions, and calls of functions.
#include "measurement/script/object_values.h"

#include <limits>

#include "measurement/script/evaluator.h"
#include "measurement/script/object_manager.h"
#include "measurement/script/runtime_helpers.h"
#include "measurement/script/scope.h"

namespace measurement {

APMPCollectableValue::APMPCollectableValue(APMPValueKind kind) : APMPRuntimeValue(kind) {
    detail::countLiveObjects(1);
}

APMPCollectableValue::~APMPCollectableValue() {
    if (owner_) owner_->unlink(this);
    detail::countLiveObjects(-1);
}

bool APMPCollectableValue::markSelf(std::uint64_t collection) {
    if (_mark == collection) return false;
    _mark = collection;
    return true;
}

void APMPCollectableValue::markChildren(std::vector<APMPMarkable*>& work) {
    _propertyMap.forEachValue([&](const APMPValueRef& value) {
        if (APMPRuntimeValue* object = value.get()) work.push_back(object);
    });
}

void APMPCollectableValue::sweep(std::uint64_t collection) {
    if (_mark != collection) releaseContents();
}

void APMPCollectableValue::releaseContents() { _propertyMap.releaseAll(); }

bool APMPCollectableValue::chargeAllocation(std::size_t bytes, ScriptError& error) const {
    return owner_ == nullptr || owner_->budget().charge(bytes, error);
}

const APMPRuntimeLimits& APMPCollectableValue::limits() const {
    return APMPLimitsOf(owner_ ? &owner_->budget() : nullptr);
}

bool APMPCollectableValue::invokeOwnFunction(const APMPName& name, const APMPValueList& arguments,
                                             APMPScope& scope, ScriptError& error, APMPValueRef& result) {
    if (_propertyMap.count() == 0) return false;
    const APMPValueRef* own = _propertyMap.find(name);
    if (!own) return false;
    if (!own->isFunction()) {
        error.fail(kAPMPErrorUnknownMethod);
        result = APMPUndefined();
        return true;
    }
    Ref<APMPFunctionValue> function(&valueAs<APMPFunctionValue>(*own));
    result = function->invokeWithArguments(arguments, scope, error);
    return true;
}

APMPValueRef APMPObjectValue::applyWithName(const std::u16string& name, const APMPValueList& arguments,
                                            APMPScope& scope, ScriptError& error) {
    APMPValueRef result;
    if (invokeOwnFunction(APMPName(name), arguments, scope, error, result)) return result;
    if (name == u"hasOwnProperty") {
        APMPArgumentList values;
        APMPEvaluateArgumentsInto(arguments, scope, error, values.list());
        if (error || !APMPCheckArgumentCount(values.list(), 1, error)) return APMPUndefined();
        const auto key = values.list()[0]->stringValueOrError(error);
        if (error) return APMPUndefined();
        return APMPBoolean(_propertyMap.hasName(key));
    }
    return applyBaseRule(name, error);
}

double APMPMapValue::doubleValueOrError(ScriptError&) const { return std::numeric_limits<double>::quiet_NaN(); }

namespace {

std::vector<Ref<APMPStringValue>> nameValues(std::vector<std::u16string> names) {
    std::vector<Ref<APMPStringValue>> values;
    values.reserve(names.size());
    for (auto& name : names) values.push_back(makeRef<APMPStringValue>(std::move(name)));
    return values;
}

}  // namespace

APMPFunctionValue::APMPFunctionValue(std::u16string functionName, std::vector<std::u16string> parameterNames,
                                     APMPValueList statements, Ref<APMPScope> definingScope)
    : APMPFunctionValue(std::move(functionName), nameValues(std::move(parameterNames)), std::move(statements),
                        std::move(definingScope)) {}

APMPFunctionValue::APMPFunctionValue(std::u16string functionName, std::vector<Ref<APMPStringValue>> parameterNames,
                                     APMPValueList statements, Ref<APMPScope> definingScope)
    : APMPObjectValue(APMPValueKind::Function),
      _functionName(std::move(functionName)),
      _parameters(std::move(parameterNames)),
      _statements(std::move(statements)),
      _definingScope(std::move(definingScope)) {}

std::vector<std::u16string> APMPFunctionValue::parameters() const {
    std::vector<std::u16string> names;
    for (const auto& name : _parameters) names.push_back(name->value());
    return names;
}

APMPFunctionValue::~APMPFunctionValue() = default;

double APMPFunctionValue::doubleValueOrError(ScriptError&) const { return std::numeric_limits<double>::quiet_NaN(); }

APMPValueRef APMPFunctionValue::invokeWithArguments(const APMPValueList& arguments, APMPScope& scope,
                                                    ScriptError& error) {
    APMPArgumentList values;
    APMPEvaluateArgumentsInto(arguments, scope, error, values.list());
    if (error) return APMPUndefined();
    return invokeWithEvaluatedArguments(values.list(), error);
}

APMPValueRef APMPFunctionValue::invokeWithEvaluatedArguments(const APMPValueList& arguments, ScriptError& error) {
    // A swept function has no scope left: it behaves as empty.
    if (!_definingScope) return APMPUndefined();
    // Held for the call: the body may overwrite the variable holding us.
    Ref<APMPFunctionValue> self(this);
    Ref<APMPScope> callScope = _definingScope->createChildScope();
    for (std::size_t i = 0; i < _parameters.size(); ++i) {
        callScope->addValue(i < arguments.size() ? arguments[i] : APMPUndefined(), APMPName(*_parameters[i]));
    }
    // Collection never runs during evaluation, so the statements stay put.
    APMPValueRef result = evaluation::executeStatements(_statements, *callScope, error);
    if (error) return APMPUndefined();
    if (result->isControl()) {
        const auto& control = valueAs<APMPControlValue>(result);
        if (control.type() == APMPControlValue::Type::Return) return control.data();
    }
    return result;
}

void APMPFunctionValue::markChildren(std::vector<APMPMarkable*>& work) {
    APMPCollectableValue::markChildren(work);
    for (const auto& statement : _statements) {
        if (APMPRuntimeValue* object = statement.get()) work.push_back(object);
    }
    if (_definingScope) work.push_back(_definingScope.get());
}

void APMPFunctionValue::releaseContents() {
    APMPCollectableValue::releaseContents();
    auto statements = std::move(_statements);
    _statements.clear();
    auto scope = std::move(_definingScope);
}

APMPNativeFunctionValue::APMPNativeFunctionValue(std::u16string functionName)
    : APMPFunctionValue(std::move(functionName), std::vector<Ref<APMPStringValue>>{}, {}, makeRef<APMPScope>()) {}

APMPValueRef APMPBlockFunctionValue::invokeWithArguments(const APMPValueList& arguments, APMPScope& scope,
                                                         ScriptError& error) {
    if (!block_) return APMPUndefined();
    APMPValueRef result = block_(arguments, scope, error);
    if (error || !result) return APMPUndefined();
    return result;
}

}  // namespace measurement
