// Loop commands: while, for and for-in.
#include <algorithm>

#include "measurement/script/command_support.h"
#include "measurement/script/script_string.h"

namespace measurement {

namespace {

using namespace commands;

enum class BodyOutcome { Next, Stop };

// Runs the body once. Stop carries the loop's result in `result`:
// undefined after a break, the control value after a return.
BodyOutcome runBody(const APMPValueList& body, APMPScope& scope, APMPValueRef& result, ScriptError& error) {
    APMPValueRef outcome = APMPEvaluator::executeStatements(body, scope, error);
    if (error) {
        result = APMPUndefined();
        return BodyOutcome::Stop;
    }
    if (outcome->isControl()) {
        const auto type = valueAs<APMPControlValue>(*outcome).type();
        if (type == APMPControlValue::Type::Break) {
            result = APMPUndefined();
            return BodyOutcome::Stop;
        }
        if (type == APMPControlValue::Type::Return) {
            result = outcome;
            return BodyOutcome::Stop;
        }
    }
    return BodyOutcome::Next;
}

// Items are new strings, paid for before they are made: one per unit of a
// long text or per element of a long array would otherwise multiply what
// the run holds far beyond its allocation budget.
bool chargeItems(std::size_t count, APMPScope& scope, ScriptError& error) {
    return APMPChargeAllocation(scope, count * kNewStringCost, error);
}

APMPValueList keysOf(const APMPValueRef& collection, APMPScope& scope, ScriptError& error) {
    APMPValueList keys;
    switch (collection->kind()) {
        case APMPValueKind::String: {
            const auto length = asText(collection).size();
            if (!chargeItems(length, scope, error)) break;
            keys.reserve(length);
            for (std::size_t i = 0; i < length; ++i) keys.push_back(APMPString(formatScriptNumber(double(i))));
            break;
        }
        case APMPValueKind::Array: {
            const auto& array = asArray(collection);
            const auto& slots = array.slots();
            const auto present = static_cast<std::size_t>(
                std::count_if(slots.begin(), slots.end(), [](const APMPValueRef& slot) { return !slot->isHole(); }));
            if (!chargeItems(array.propertyMap().count() + present, scope, error)) break;
            keys = array.allPropertyNames();
            break;
        }
        case APMPValueKind::Map:
        case APMPValueKind::Function: {
            auto names = valueAs<APMPObjectValue>(*collection).allPropertyNames();
            if (!chargeItems(names.size(), scope, error)) break;
            for (auto& name : names) keys.push_back(APMPString(std::move(name)));
            break;
        }
        default:
            break;
    }
    return keys;
}

APMPValueList valuesOf(const APMPValueRef& collection, APMPScope& scope, ScriptError& error) {
    APMPValueList values;
    if (collection->isString()) {
        const auto& text = asText(collection);
        if (!chargeItems(text.size(), scope, error)) return values;
        values.reserve(text.size());
        for (char16_t unit : text) values.push_back(APMPString(std::u16string(1, unit)));
    } else if (collection->isArray()) {
        values = asArray(collection).allElements();
    } else {
        error.fail(kAPMPErrorNotIterable);
    }
    return values;
}

enum class Binding { Assign, Constant, Variable };

template <bool Keys, Binding Bind>
APMPValueRef itemLoop(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 3, error)) return APMPUndefined();
    const APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
    if (error) return APMPUndefined();
    const auto name = values[0]->stringValueOrError(error);
    if (error) return APMPUndefined();
    const APMPValueList items = Keys ? keysOf(values[1], scope, error) : valuesOf(values[1], scope, error);
    if (error) return APMPUndefined();
    if (!values[2]->isArray()) return fail(error, kAPMPErrorArgumentKind);
    const APMPValueList body = asArray(values[2]).allElements();
    for (const auto& item : items) {
        APMPValueRef result;
        BodyOutcome outcome;
        if constexpr (Bind == Binding::Assign) {
            scope.setValue(item, name);
            outcome = runBody(body, scope, result, error);
        } else {
            Ref<APMPScope> iteration = scope.createChildScope();
            if constexpr (Bind == Binding::Constant) {
                iteration->addImmutableValue(item, name);
            } else {
                iteration->addValue(item, name);
            }
            outcome = runBody(body, *iteration, result, error);
        }
        if (outcome == BodyOutcome::Stop) return result;
    }
    return APMPUndefined();
}

bool truth(const APMPValueRef& condition, APMPScope& scope, ScriptError& error) {
    const bool value = evaluate(condition, scope, error)->booleanValueOrError(error);
    return !error && value;
}

APMPValueRef conditionalLoop(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 4, error)) return APMPUndefined();
    const bool runFirst = evaluate(arguments[2], scope, error)->booleanValueOrError(error);
    if (error) return APMPUndefined();
    APMPValueRef bodyValue = evaluate(arguments[3], scope, error);
    if (error) return APMPUndefined();
    if (!bodyValue->isArray()) return fail(error, kAPMPErrorArgumentKind);
    const APMPValueList body = asArray(bodyValue).allElements();
    APMPValueRef result;
    if (runFirst && runBody(body, scope, result, error) == BodyOutcome::Stop) return result;
    while (truth(arguments[0], scope, error)) {
        if (runBody(body, scope, result, error) == BodyOutcome::Stop) return result;
        evaluate(arguments[1], scope, error);
        if (error) return APMPUndefined();
    }
    return APMPUndefined();
}

Ref<APMPScope> copyLoopVariables(const std::vector<std::u16string>& names, const APMPScope& from, APMPScope& parent) {
    Ref<APMPScope> iteration = parent.createChildScope();
    for (const auto& name : names) iteration->addValue(from.valueForName(name), name);
    return iteration;
}

APMPValueRef countedLoop(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 4, error)) return APMPUndefined();
    APMPValueRef nameList = evaluate(arguments[0], scope, error);
    if (error) return APMPUndefined();
    if (!nameList->isArray()) return fail(error, kAPMPErrorArgumentKind);
    APMPValueRef bodyValue = evaluate(arguments[3], scope, error);
    if (error) return APMPUndefined();
    if (!bodyValue->isArray()) return fail(error, kAPMPErrorArgumentKind);
    std::vector<std::u16string> names;
    for (const auto& name : asArray(nameList).allElements()) {
        names.push_back(name->stringValueOrError(error));
        if (error) return APMPUndefined();
    }
    const APMPValueList body = asArray(bodyValue).allElements();
    Ref<APMPScope> iteration = copyLoopVariables(names, scope, scope);
    APMPValueRef result;
    bool go = truth(arguments[1], *iteration, error);
    while (go) {
        if (runBody(body, *iteration, result, error) == BodyOutcome::Stop) return result;
        iteration = copyLoopVariables(names, *iteration, scope);
        evaluate(arguments[2], *iteration, error);
        if (error) return APMPUndefined();
        go = truth(arguments[1], *iteration, error);
    }
    return APMPUndefined();
}

}  // namespace

APMPLoopCommandEvaluator::APMPLoopCommandEvaluator() : APMPCommandFamily(Mode::Raw) {
    add(u"47", itemLoop<true, Binding::Assign>);
    add(u"54", itemLoop<true, Binding::Constant>);
    add(u"55", itemLoop<true, Binding::Variable>);
    add(u"63", countedLoop);
    add(u"64", itemLoop<false, Binding::Assign>);
    add(u"65", itemLoop<false, Binding::Constant>);
    add(u"66", itemLoop<false, Binding::Variable>);
    add(u"42", conditionalLoop);
}

}  // namespace measurement
