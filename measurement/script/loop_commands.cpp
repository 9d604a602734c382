// The loop family: the conditional loop, the counted loop with its
// per-iteration copies, and the key and value loops. A per-iteration scope
// that nothing captured during its iteration serves the next one, emptied:
// a fresh scope could not be told apart from it.

#include <algorithm>

#include "measurement/script/command_support.h"
#include "measurement/script/plain_loop.h"
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
        const auto type = valueAs<APMPControlValue>(outcome).type();
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
            const auto& properties = valueAs<APMPObjectValue>(collection).propertyMap();
            if (!chargeItems(properties.count(), scope, error)) break;
            properties.appendNames(keys);
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

// A new child of the loop's scope for the next iteration: the previous
// iteration's scope, emptied, when nothing but the loop holds it.
void freshIterationScope(Ref<APMPScope>& iteration, APMPScope& parent) {
    if (iteration && iteration->isUnshared()) {
        iteration->resetContents();
        return;
    }
    iteration = parent.createChildScope();
}

template <bool Keys, Binding Bind>
APMPValueRef itemLoop(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 3, error)) return APMPUndefined();
    APMPArgumentList evaluated;
    APMPEvaluateArgumentsInto(arguments, scope, error, evaluated.list());
    if (error) return APMPUndefined();
    const APMPValueList& values = evaluated.list();
    const Ref<APMPStringValue> nameValue = nameOf(values[0], error);
    if (error) return APMPUndefined();
    const APMPName name(*nameValue);
    const APMPValueList items = Keys ? keysOf(values[1], scope, error) : valuesOf(values[1], scope, error);
    if (error) return APMPUndefined();
    if (!values[2]->isArray()) return fail(error, kAPMPErrorArgumentKind);
    const APMPValueList body = asArray(values[2]).allElements();
    Ref<APMPScope> iteration;
    for (const auto& item : items) {
        APMPValueRef result;
        BodyOutcome outcome;
        if constexpr (Bind == Binding::Assign) {
            scope.setValue(item, name);
            outcome = runBody(body, scope, result, error);
        } else {
            freshIterationScope(iteration, scope);
            iteration->addValue(item, name, Bind == Binding::Constant);
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
    if (APMPRunPlainLoop(arguments[0], arguments[1], body, runFirst, scope, result, error) ==
        APMPPlainLoopOutcome::Ran) {
        return result;
    }
    if (runFirst && runBody(body, scope, result, error) == BodyOutcome::Stop) return result;
    while (truth(arguments[0], scope, error)) {
        if (runBody(body, scope, result, error) == BodyOutcome::Stop) return result;
        evaluate(arguments[1], scope, error);
        if (error) return APMPUndefined();
    }
    return APMPUndefined();
}

// The next iteration's copies of the loop variables, in a new child of
// the loop's scope (or the last iteration's scope, emptied, when nothing
// holds it).
void copyLoopVariables(const std::vector<Ref<APMPStringValue>>& names, Ref<APMPScope>& iteration,
                       APMPScope& parent, APMPArgumentList& values) {
    auto& copies = values.list();
    copies.clear();
    for (const auto& name : names) copies.push_back(iteration->valueForName(APMPName(*name)));
    freshIterationScope(iteration, parent);
    for (std::size_t i = 0; i < names.size(); ++i) iteration->addValue(std::move(copies[i]), APMPName(*names[i]));
}

APMPValueRef countedLoop(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 4, error)) return APMPUndefined();
    APMPValueRef nameList = evaluate(arguments[0], scope, error);
    if (error) return APMPUndefined();
    if (!nameList->isArray()) return fail(error, kAPMPErrorArgumentKind);
    APMPValueRef bodyValue = evaluate(arguments[3], scope, error);
    if (error) return APMPUndefined();
    if (!bodyValue->isArray()) return fail(error, kAPMPErrorArgumentKind);
    std::vector<Ref<APMPStringValue>> names;
    for (const auto& name : asArray(nameList).allElements()) {
        names.push_back(nameOf(name, error));
        if (error) return APMPUndefined();
    }
    const APMPValueList body = asArray(bodyValue).allElements();
    APMPArgumentList copies;
    Ref<APMPScope> iteration = scope.createChildScope();
    for (const auto& name : names) iteration->addValue(scope.valueForName(APMPName(*name)), APMPName(*name));
    APMPValueRef result;
    bool go = truth(arguments[1], *iteration, error);
    while (go) {
        if (runBody(body, *iteration, result, error) == BodyOutcome::Stop) return result;
        copyLoopVariables(names, iteration, scope, copies);
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
