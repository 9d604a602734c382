// Control commands: blocks, branches, switch, functions and returns.
#include "measurement/script/command_support.h"

namespace measurement {

namespace {

using namespace commands;

APMPValueRef methodCall(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 3, error)) return APMPUndefined();
    const APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
    if (error) return APMPUndefined();
    if (!values[1]->isString() || !values[2]->isArray()) return fail(error, kAPMPErrorArgumentKind);
    return values[0]->applyWithName(asText(values[1]), asArray(values[2]).allElements(), scope, error);
}

APMPValueRef block(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    Ref<APMPScope> child = scope.createChildScope();
    return APMPEvaluator::executeStatements(arguments, *child, error);
}

APMPValueRef breakCommand(const APMPValueList& arguments, APMPScope&, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 0, error)) return APMPUndefined();
    return APMPControlValue::breakValue();
}

APMPValueRef continueCommand(const APMPValueList& arguments, APMPScope&, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 0, error)) return APMPUndefined();
    return APMPControlValue::continueValue();
}

APMPValueRef statementList(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 1, error)) return APMPUndefined();
    APMPValueRef list = evaluate(arguments[0], scope, error);
    if (error) return APMPUndefined();
    if (!list->isArray()) return fail(error, kAPMPErrorArgumentKind);
    return runElements(asArray(list), scope, error);
}

Ref<APMPFunctionValue> makeFunction(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckMinimumArgumentCount(arguments, 2, error)) return nullptr;
    // The name is taken as written, never evaluated.
    auto name = arguments[0]->stringValueOrError(error);
    if (error) return nullptr;
    APMPValueRef parameterList = evaluate(arguments[1], scope, error);
    if (error) return nullptr;
    if (!parameterList->isArray()) {
        error.fail(kAPMPErrorArgumentKind);
        return nullptr;
    }
    std::vector<std::u16string> parameters;
    for (const auto& parameter : asArray(parameterList).allElements()) {
        parameters.push_back(parameter->stringValueOrError(error));
        if (error) return nullptr;
    }
    APMPValueList statements(arguments.begin() + 2, arguments.end());
    return APMPObjectManager::functionValueWithFunctionName(std::move(name), std::move(parameters),
                                                            std::move(statements), Ref<APMPScope>(&scope));
}

APMPValueRef functionExpression(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    Ref<APMPFunctionValue> function = makeFunction(arguments, scope, error);
    if (error) return APMPUndefined();
    return function;
}

APMPValueRef functionDeclaration(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    Ref<APMPFunctionValue> function = makeFunction(arguments, scope, error);
    if (error) return APMPUndefined();
    scope.setValue(function, function->functionName());
    return function;
}

APMPValueRef sequence(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckMinimumArgumentCount(arguments, 1, error)) return APMPUndefined();
    APMPValueRef result;
    for (const auto& argument : arguments) {
        result = evaluate(argument, scope, error);
        if (error) return APMPUndefined();
        if (result->isControl()) return fail(error, kAPMPErrorArgumentKind);
    }
    return result;
}

APMPValueRef ifCommand(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckMinimumArgumentCount(arguments, 1, error) || !APMPCheckMaximumArgumentCount(arguments, 3, error)) {
        return APMPUndefined();
    }
    const bool condition = evaluate(arguments[0], scope, error)->booleanValueOrError(error);
    if (error) return APMPUndefined();
    const std::size_t branch = condition ? 1 : 2;
    if (branch >= arguments.size()) return APMPUndefined();
    APMPValueRef result = evaluate(arguments[branch], scope, error);
    if (error) return APMPUndefined();
    if (result->isArray()) return runElements(asArray(result), scope, error);
    return result;
}

APMPValueRef conditional(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 3, error)) return APMPUndefined();
    const bool condition = evaluate(arguments[0], scope, error)->booleanValueOrError(error);
    if (error) return APMPUndefined();
    APMPValueRef result = evaluate(arguments[condition ? 1 : 2], scope, error);
    return error ? APMPUndefined() : result;
}

APMPValueRef statementListLiteral(const APMPValueList& arguments, APMPScope& scope, ScriptError&) {
    return APMPObjectManager::arrayValueWithArray(arguments, scope);
}

APMPValueRef returnCommand(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckMaximumArgumentCount(arguments, 1, error)) return APMPUndefined();
    const APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
    if (error) return APMPUndefined();
    return APMPControlValue::returnValueWithData(values.empty() ? APMPUndefined() : values[0]);
}

// The result of one switch clause: nothing to stop, or what the switch
// yields (undefined for break, the control value for continue or return).
bool clauseEnds(const APMPValueRef& result, APMPValueRef& yield) {
    if (!result->isControl()) return false;
    yield = result.get() == APMPControlValue::breakValue() ? APMPUndefined() : result;
    return true;
}

APMPValueRef switchCommand(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 3, error)) return APMPUndefined();
    const APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
    if (error) return APMPUndefined();
    if (!values[1]->isArray() || !values[2]->isArray()) return fail(error, kAPMPErrorArgumentCount);
    const APMPValueList cases = asArray(values[1]).allElements();
    const APMPValueList bodies = asArray(values[2]).allElements();
    // Every case needs its body; a shorter body list is malformed.
    if (bodies.size() < cases.size()) return fail(error, kAPMPErrorArgumentCount);
    bool matched = false;
    APMPValueRef yield;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        if (!matched) {
            APMPValueRef candidate = evaluate(cases[i], scope, error);
            if (error) return APMPUndefined();
            matched = APMPStrictEquals(*candidate, *values[0], error);
            if (error) return APMPUndefined();
            if (!matched) continue;
        }
        APMPValueRef result = evaluate(bodies[i], scope, error);
        if (error) return APMPUndefined();
        if (clauseEnds(result, yield)) return yield;
    }
    if (bodies.size() == cases.size() + 1) {
        APMPValueRef result = evaluate(bodies.back(), scope, error);
        if (error) return APMPUndefined();
        if (clauseEnds(result, yield)) return yield;
    }
    return APMPUndefined();
}

}  // namespace

APMPControlCommandEvaluator::APMPControlCommandEvaluator() : APMPCommandFamily(Mode::Raw) {
    add(u"2", methodCall);
    add(u"53", block);
    add(u"4", breakCommand);
    add(u"5", statementList);
    add(u"9", statementList);
    add(u"6", continueCommand);
    add(u"50", functionDeclaration);
    add(u"13", sequence);
    add(u"51", functionExpression);
    add(u"22", ifCommand);
    add(u"46", statementListLiteral);
    add(u"36", returnCommand);
    add(u"38", switchCommand);
    add(u"39", conditional);
}

}  // namespace measurement
