// The native functions of the registration, event-creation, settings and
// metadata modules.
#include "measurement/script/editing/native_modules.h"

#include "measurement/foundation/parameter_value.h"
#include "measurement/script/editing/editing_error.h"
#include "measurement/script/entity_converter.h"
#include "measurement/script/runtime_helpers.h"
#include "measurement/script/script_string.h"

namespace measurement {

namespace {

// Checks the count and evaluates the arguments in the caller's scope.
bool evaluatedArguments(const APMPValueList& arguments, std::size_t count, APMPScope& scope, ScriptError& error,
                        APMPValueList& values) {
    if (!APMPCheckArgumentCount(arguments, count, error)) return false;
    values = APMPEvaluateArguments(arguments, scope, error);
    return !error;
}

// The rule's priority: its "priority" as a 32-bit number, else the default.
std::int64_t priorityOf(const APMPMapValue& rule, ScriptError& error) {
    if (!rule.hasProperty(u"priority")) return APMPRegisterCallbackNativeFunctionValue::kDefaultPriority;
    const double priority = rule.valueForProperty(u"priority")->doubleValueOrError(error);
    return APMPToInt32(priority);
}

}  // namespace

APMPValueRef APMPRegisterCallbackNativeFunctionValue::invokeWithArguments(const APMPValueList& arguments,
                                                                          APMPScope& scope, ScriptError& error) {
    APMPValueList values;
    if (!evaluatedArguments(arguments, 3, scope, error, values)) return APMPUndefined();
    if (!values[1]->isFunction() || !values[2]->isMap()) {
        error.fail(kAPMPErrorArgumentKind);
        return APMPUndefined();
    }
    const auto& rule = static_cast<const APMPMapValue&>(*values[2].get());
    if (!rule.hasProperty(u"type")) {
        error.failIn(kAPMPEditingErrorDomain, kAPMPEditingErrorRuleWithoutType);
        return APMPUndefined();
    }
    const auto type = rule.valueForProperty(u"type")->stringValueOrError(error);
    if (error) return APMPUndefined();
    const std::int64_t priority = priorityOf(rule, error);
    if (error) return APMPUndefined();
    Ref<APMPFunctionValue> callback(static_cast<APMPFunctionValue*>(values[1].get()));
    _callbackHandler->registerWithPriority(priority, std::move(callback), type, error);
    return APMPUndefined();
}

APMPValueRef APMPEventLogger::invokeWithArguments(const APMPValueList& arguments, APMPScope& scope,
                                                  ScriptError& error) {
    APMPValueList values;
    if (!evaluatedArguments(arguments, 3, scope, error, values)) return APMPUndefined();
    const auto name = values[0]->stringValueOrError(error);
    if (error) return APMPUndefined();
    const double timestamp = values[1]->doubleValueOrError(error);
    if (error) return APMPUndefined();
    if (!values[2]->isMap()) {
        error.fail(kAPMPErrorArgumentKind);
        return APMPUndefined();
    }
    const auto parameters = APMPRuntimeEntityConverter::dictionaryFromMapValue(
        static_cast<const APMPMapValue&>(*values[2].get()), error);
    if (error || !parameters) return APMPUndefined();
    // Whole seconds; infinite and out-of-range times saturate.
    const auto seconds = APMSaturatingInt64(APMPToInteger(timestamp));
    _eventContext->logEventWithName(utf8FromUTF16(name), static_cast<double>(seconds), parameters->asDictionary());
    return APMPUndefined();
}

APMPValueRef APMPKeyValueStoreGetValue::invokeWithArguments(const APMPValueList& arguments, APMPScope& scope,
                                                            ScriptError& error) {
    APMPValueList values;
    if (!evaluatedArguments(arguments, 2, scope, error, values)) return APMPUndefined();
    const auto key = values[0]->stringValueOrError(error);
    if (error) return APMPUndefined();
    const auto found = _getValueBlock ? _getValueBlock(utf8FromUTF16(key)) : std::nullopt;
    if (!found) return values[1];
    return APMPStringValue::fromUTF8(*found);
}

APMPKeyValueStore::APMPKeyValueStore(std::u16string name, APMPKeyValueLookup getValueBlock)
    : APMPNativeFunctionValue(std::move(name)) {
    setValue(makeRef<APMPKeyValueStoreGetValue>(std::move(getValueBlock)), u"getValue");
}

APMPValueRef APMPKeyValueStore::invokeWithArguments(const APMPValueList& arguments, APMPScope& scope,
                                                    ScriptError& error) {
    APMPEvaluateArguments(arguments, scope, error);
    return APMPUndefined();
}

APMPValueRef APMPObjectProvider::invokeWithArguments(const APMPValueList&, APMPScope& scope, ScriptError& error) {
    if (!_objectProviderBlock) return APMPUndefined();
    APMPValueRef value = APMPRuntimeEntityConverter::runtimeValueFromNSObject(_objectProviderBlock(), scope, error);
    return error ? APMPUndefined() : value;
}

}  // namespace measurement
