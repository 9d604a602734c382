// Variable, literal and property commands.
#include "measurement/script/command_support.h"

namespace measurement {

namespace {

using namespace commands;

// What a new property costs the run: its name and the entry.
std::size_t propertyCost(const std::u16string& name) { return name.size() * sizeof(char16_t) + 64; }

APMPValueRef assign(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 2, error)) return APMPUndefined();
    if (!arguments[0]->isString()) return fail(error, kAPMPErrorArgumentKind);
    const auto& name = asText(arguments[0]);
    if (!scope.hasName(name)) return fail(error, kAPMPErrorUndeclaredAssignment);
    scope.setValue(arguments[1], name);
    return arguments[1];
}

APMPValueRef declareConstants(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (arguments.size() % 2 != 0) return fail(error, kAPMPErrorArgumentCount);
    for (std::size_t i = 0; i < arguments.size(); i += 2) {
        if (!arguments[i]->isString()) return fail(error, kAPMPErrorArgumentKind);
        scope.addImmutableValue(arguments[i + 1], asText(arguments[i]));
    }
    return APMPUndefined();
}

APMPValueRef declareVariables(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    for (const auto& argument : arguments) {
        if (!argument->isString()) return fail(error, kAPMPErrorArgumentKind);
        scope.addValue(APMPUndefined(), asText(argument));
    }
    return APMPUndefined();
}

APMPValueRef arrayLiteral(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPChargeAllocation(scope, arguments.size() * sizeof(APMPValueRef), error)) return APMPUndefined();
    return APMPObjectManager::arrayValueWithArray(arguments, scope);
}

APMPValueRef objectLiteral(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (arguments.size() % 2 != 0) return fail(error, kAPMPErrorArgumentCount);
    Ref<APMPMapValue> map = APMPObjectManager::mapValueWithScope(scope);
    for (std::size_t i = 0; i < arguments.size(); i += 2) {
        auto key = arguments[i]->stringValueOrError(error);
        if (error || !APMPChargeAllocation(scope, propertyCost(key), error)) return APMPUndefined();
        map->setValue(arguments[i + 1], key);
    }
    return map;
}

APMPValueRef readVariable(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 1, error)) return APMPUndefined();
    if (!arguments[0]->isString()) return fail(error, kAPMPErrorArgumentKind);
    return scope.valueForName(asText(arguments[0]));
}

APMPValueRef readStringProperty(const std::u16string& string, const APMPRuntimeValue& key, ScriptError& error) {
    const auto name = key.stringValueOrError(error);
    if (error) return APMPUndefined();
    if (name == u"length") return APMPNumber(static_cast<double>(string.size()));
    double index = 0;
    if (APMPIsArrayIndex(key, &index) && index < static_cast<double>(string.size())) {
        return APMPString(std::u16string(1, string[static_cast<std::size_t>(index)]));
    }
    return APMPUndefined();
}

APMPValueRef readProperty(const APMPValueList& arguments, APMPScope&, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 2, error)) return APMPUndefined();
    const APMPValueRef& object = arguments[0];
    const APMPRuntimeValue& key = *arguments[1];
    switch (object->kind()) {
        case APMPValueKind::Array:
            return asArray(object).valueForProperty(key, error);
        case APMPValueKind::Map:
        case APMPValueKind::Function: {
            if (key.isString()) return valueAs<APMPObjectValue>(*object).valueForProperty(asText(arguments[1]));
            const auto name = key.stringValueOrError(error);
            if (error) return APMPUndefined();
            return valueAs<APMPObjectValue>(*object).valueForProperty(name);
        }
        case APMPValueKind::String:
            return readStringProperty(asText(object), key, error);
        default:
            return APMPUndefined();
    }
}

APMPValueRef writeProperty(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 3, error)) return APMPUndefined();
    const APMPValueRef& object = arguments[0];
    const APMPValueRef& value = arguments[2];
    if (object->isNullOrUndefined()) return fail(error, kAPMPErrorPropertyWriteOnNothing);
    if (object->isArray()) {
        asArray(object).setValue(value, *arguments[1], error);
        return error ? APMPUndefined() : value;
    }
    if (object->isMap() || object->isFunction()) {
        auto name = arguments[1]->stringValueOrError(error);
        if (error) return APMPUndefined();
        auto& target = valueAs<APMPObjectValue>(*object);
        if (!target.hasProperty(name) && !APMPChargeAllocation(scope, propertyCost(name), error)) {
            return APMPUndefined();
        }
        target.setValue(value, name);
    }
    return value;
}

APMPValueRef typeName(const APMPValueList& arguments, APMPScope&, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 1, error)) return APMPUndefined();
    switch (arguments[0]->kind()) {
        case APMPValueKind::Boolean:
            return APMPString(u"boolean");
        case APMPValueKind::Function:
            return APMPString(u"function");
        case APMPValueKind::Number:
            return APMPString(u"number");
        case APMPValueKind::String:
            return APMPString(u"string");
        case APMPValueKind::Undefined:
            return APMPString(u"undefined");
        default:
            return APMPString(u"object");
    }
}

APMPValueRef nullLiteral(const APMPValueList&, APMPScope&, ScriptError&) { return APMPNull(); }

APMPValueRef undefinedLiteral(const APMPValueList&, APMPScope&, ScriptError&) { return APMPUndefined(); }

}  // namespace

APMPVariableCommandEvaluator::APMPVariableCommandEvaluator() : APMPCommandFamily(Mode::Evaluated) {
    add(u"3", assign);
    add(u"52", declareConstants);
    add(u"7", arrayLiteral);
    add(u"8", objectLiteral);
    add(u"15", readVariable);
    add(u"16", readProperty);
    add(u"17", readProperty);
    add(u"45", nullLiteral);
    add(u"43", writeProperty);
    add(u"40", typeName);
    add(u"44", undefinedLiteral);
    add(u"41", declareVariables);
}

}  // namespace measurement
