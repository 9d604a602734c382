// The variable family: declarations, reads and assignments, literals and
// property access. Names that arrive as string values are looked up (and
// stored) as those values, so a program's literal names match by identity.

#include "measurement/script/command_support.h"

namespace measurement {

namespace {

using namespace commands;

// What a new property costs the run: its name and the entry.
std::size_t propertyCost(std::u16string_view name) { return name.size() * sizeof(char16_t) + 64; }

const APMPStringValue& asString(const APMPValueRef& value) { return valueAs<APMPStringValue>(value); }

APMPValueRef assignValue(const APMPValueRef& name, const APMPValueRef& value, APMPScope& scope, ScriptError& error) {
    if (!name.isString()) return fail(error, kAPMPErrorArgumentKind);
    if (!scope.assignExisting(value, APMPName(asString(name)))) return fail(error, kAPMPErrorUndeclaredAssignment);
    return value;
}

APMPValueRef assign(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 2, error)) return APMPUndefined();
    return assignValue(arguments[0], arguments[1], scope, error);
}

APMPValueRef assignDirect(const APMPStatementValue& statement, APMPScope& scope, ScriptError& error) {
    const APMPValueRef* arguments = statement.arguments().data();
    APMPValueRef holder;
    const APMPValueRef& name = evaluateRef(arguments[0], holder, scope, error);
    if (error) return APMPUndefined();
    APMPValueRef value = evaluate(arguments[1], scope, error);
    if (error) return APMPUndefined();
    return assignValue(name, value, scope, error);
}

APMPValueRef declareConstants(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (arguments.size() % 2 != 0) return fail(error, kAPMPErrorArgumentCount);
    for (std::size_t i = 0; i < arguments.size(); i += 2) {
        if (!arguments[i]->isString()) return fail(error, kAPMPErrorArgumentKind);
        scope.addValue(arguments[i + 1], APMPName(asString(arguments[i])), true);
    }
    return APMPUndefined();
}

APMPValueRef declareVariables(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    for (const auto& argument : arguments) {
        if (!argument->isString()) return fail(error, kAPMPErrorArgumentKind);
        scope.addValue(APMPUndefined(), APMPName(asString(argument)));
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
        const APMPValueRef& key = arguments[i];
        if (key.isString()) {
            if (!APMPChargeAllocation(scope, propertyCost(asText(key)), error)) return APMPUndefined();
            map->setValue(arguments[i + 1], APMPName(asString(key)));
            continue;
        }
        auto name = key->stringValueOrError(error);
        if (error || !APMPChargeAllocation(scope, propertyCost(name), error)) return APMPUndefined();
        map->setValue(arguments[i + 1], name);
    }
    return map;
}

APMPValueRef readVariable(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 1, error)) return APMPUndefined();
    if (!arguments[0]->isString()) return fail(error, kAPMPErrorArgumentKind);
    return scope.valueForName(APMPName(asString(arguments[0])));
}

APMPValueRef readVariableDirect(const APMPStatementValue& statement, APMPScope& scope, ScriptError& error) {
    APMPValueRef holder;
    const APMPValueRef& name = evaluateRef(statement.arguments()[0], holder, scope, error);
    if (error) return APMPUndefined();
    if (!name.isString()) return fail(error, kAPMPErrorArgumentKind);
    return scope.valueForName(APMPName(asString(name)));
}

APMPValueRef readStringProperty(const std::u16string& string, const APMPValueRef& key, ScriptError& error) {
    if (key.isString()) {
        if (asText(key) == u"length") return APMPNumber(static_cast<double>(string.size()));
    } else {
        const auto name = key.stringValueOrError(error);
        if (error) return APMPUndefined();
    }
    double index = 0;
    if (APMPIsArrayIndex(key, &index) && index < static_cast<double>(string.size())) {
        return APMPString(std::u16string(1, string[static_cast<std::size_t>(index)]));
    }
    return APMPUndefined();
}

APMPValueRef readPropertyOf(const APMPValueRef& object, const APMPValueRef& key, ScriptError& error) {
    switch (object->kind()) {
        case APMPValueKind::Array:
            return asArray(object).valueForProperty(key, error);
        case APMPValueKind::Map:
        case APMPValueKind::Function: {
            if (key.isString()) return valueAs<APMPObjectValue>(object).valueForProperty(APMPName(asString(key)));
            const auto name = key.stringValueOrError(error);
            if (error) return APMPUndefined();
            return valueAs<APMPObjectValue>(object).valueForProperty(name);
        }
        case APMPValueKind::String:
            return readStringProperty(asText(object), key, error);
        default:
            return APMPUndefined();
    }
}

APMPValueRef readProperty(const APMPValueList& arguments, APMPScope&, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 2, error)) return APMPUndefined();
    return readPropertyOf(arguments[0], arguments[1], error);
}

APMPValueRef readPropertyDirect(const APMPStatementValue& statement, APMPScope& scope, ScriptError& error) {
    const APMPValueRef* arguments = statement.arguments().data();
    const APMPValueRef object = evaluate(arguments[0], scope, error);
    if (error) return APMPUndefined();
    APMPValueRef holder;
    const APMPValueRef& key = evaluateRef(arguments[1], holder, scope, error);
    if (error) return APMPUndefined();
    return readPropertyOf(object, key, error);
}

APMPValueRef writePropertyOf(const APMPValueRef& object, const APMPValueRef& key, const APMPValueRef& value,
                             APMPScope& scope, ScriptError& error) {
    if (object->isNullOrUndefined()) return fail(error, kAPMPErrorPropertyWriteOnNothing);
    if (object->isArray()) {
        asArray(object).setValue(value, key, error);
        return error ? APMPUndefined() : value;
    }
    if (object->isMap() || object->isFunction()) {
        auto& target = valueAs<APMPObjectValue>(object);
        std::u16string converted;
        if (!key.isString()) {
            converted = key->stringValueOrError(error);
            if (error) return APMPUndefined();
        }
        const APMPName name = key.isString() ? APMPName(asString(key)) : APMPName(converted);
        if (!target.hasProperty(name) && !APMPChargeAllocation(scope, propertyCost(name.text), error)) {
            return APMPUndefined();
        }
        target.setValue(value, name);
    }
    return value;
}

APMPValueRef writeProperty(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 3, error)) return APMPUndefined();
    return writePropertyOf(arguments[0], arguments[1], arguments[2], scope, error);
}

APMPValueRef writePropertyDirect(const APMPStatementValue& statement, APMPScope& scope, ScriptError& error) {
    const APMPValueRef* arguments = statement.arguments().data();
    const APMPValueRef object = evaluate(arguments[0], scope, error);
    if (error) return APMPUndefined();
    APMPValueRef holder;
    const APMPValueRef& key = evaluateRef(arguments[1], holder, scope, error);
    if (error) return APMPUndefined();
    const APMPValueRef value = evaluate(arguments[2], scope, error);
    if (error) return APMPUndefined();
    return writePropertyOf(object, key, value, scope, error);
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

namespace commands {

APMPValueRef runArrayLiteral(const APMPStatementValue& statement, APMPScope& scope, ScriptError& error) {
    APMPArgumentList values;
    APMPEvaluateArgumentsInto(statement.arguments(), scope, error, values.list());
    if (error) return APMPUndefined();
    return arrayLiteral(values.list(), scope, error);
}

}  // namespace commands

APMPVariableCommandEvaluator::APMPVariableCommandEvaluator() : APMPCommandFamily(Mode::Evaluated) {
    add(u"3", assign, {assignDirect, exactly<2>, APMPPlainForm::Assign});
    add(u"52", declareConstants);
    add(u"7", arrayLiteral, {runArrayLiteral, nullptr});
    add(u"8", objectLiteral);
    add(u"15", readVariable, {readVariableDirect, exactly<1>, APMPPlainForm::ReadVariable});
    add(u"16", readProperty, {readPropertyDirect, exactly<2>});
    add(u"17", readProperty, {readPropertyDirect, exactly<2>});
    add(u"45", nullLiteral);
    add(u"43", writeProperty, {writePropertyDirect, exactly<3>});
    add(u"40", typeName);
    add(u"44", undefinedLiteral);
    add(u"41", declareVariables);
}

}  // namespace measurement
