// The control family: method calls, blocks and statement lists, break,
// continue and return, functions, sequences, if, switch and the
// conditional expression.

#include "measurement/script/command_support.h"

namespace measurement {

namespace {

using namespace commands;

APMPValueRef methodCall(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 3, error)) return APMPUndefined();
    APMPArgumentList values;
    APMPEvaluateArgumentsInto(arguments, scope, error, values.list());
    if (error) return APMPUndefined();
    const APMPValueList& v = values.list();
    if (!v[1]->isString() || !v[2]->isArray()) return fail(error, kAPMPErrorArgumentKind);
    return v[0]->applyWithName(asText(v[1]), asArray(v[2]).allElements(), scope, error);
}

// A method call whose argument list is an array literal takes the
// literal's evaluated arguments as they are: the array it would make (and
// pay for) is read only for its elements.
APMPValueRef methodCallDirect(const APMPStatementValue& statement, APMPScope& scope, ScriptError& error) {
    const APMPValueRef* arguments = statement.arguments().data();
    const APMPValueRef receiver = evaluate(arguments[0], scope, error);
    if (error) return APMPUndefined();
    APMPValueRef holder;
    const APMPValueRef& name = evaluateRef(arguments[1], holder, scope, error);
    if (error) return APMPUndefined();
    APMPArgumentList elements;
    if (isRunBy(arguments[2], runArrayLiteral)) {
        const auto& literal = valueAs<APMPStatementValue>(arguments[2]);
        APMPBudget* budget = scope.budget();
        if (budget && !budget->countInstruction(error)) return APMPUndefined();
        APMPNestingGuard nesting(budget, error);
        if (!nesting.ok()) return APMPUndefined();
        APMPEvaluateArgumentsInto(literal.arguments(), scope, error, elements.list());
        if (error) return APMPUndefined();
        if (!APMPChargeAllocation(scope, elements.list().size() * sizeof(APMPValueRef), error)) {
            return APMPUndefined();
        }
    } else {
        const APMPValueRef list = evaluate(arguments[2], scope, error);
        if (error) return APMPUndefined();
        if (!name.isString() || !list.isArray()) return fail(error, kAPMPErrorArgumentKind);
        elements.list() = asArray(list).allElements();
    }
    if (!name.isString()) return fail(error, kAPMPErrorArgumentKind);
    return receiver.applyWithName(asText(name), elements.list(), scope, error);
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
    return runStatementList(arguments[0], scope, error, kAPMPErrorArgumentKind);
}

Ref<APMPFunctionValue> makeFunction(const APMPValueList& arguments, APMPScope& scope, ScriptError& error,
                                    Ref<APMPStringValue>& name) {
    if (!APMPCheckMinimumArgumentCount(arguments, 2, error)) return nullptr;
    // The name is taken as written, never evaluated.
    name = nameOf(arguments[0], error);
    if (error) return nullptr;
    APMPValueRef parameterList = evaluate(arguments[1], scope, error);
    if (error) return nullptr;
    if (!parameterList->isArray()) {
        error.fail(kAPMPErrorArgumentKind);
        return nullptr;
    }
    std::vector<Ref<APMPStringValue>> parameters;
    for (const auto& parameter : asArray(parameterList).allElements()) {
        parameters.push_back(nameOf(parameter, error));
        if (error) return nullptr;
    }
    APMPValueList statements(arguments.begin() + 2, arguments.end());
    return APMPObjectManager::functionValueWithFunctionName(name->value(), std::move(parameters),
                                                            std::move(statements), Ref<APMPScope>(&scope));
}

APMPValueRef functionExpression(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    Ref<APMPStringValue> name;
    Ref<APMPFunctionValue> function = makeFunction(arguments, scope, error, name);
    if (error) return APMPUndefined();
    return function;
}

APMPValueRef functionDeclaration(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    Ref<APMPStringValue> name;
    Ref<APMPFunctionValue> function = makeFunction(arguments, scope, error, name);
    if (error) return APMPUndefined();
    scope.setValue(function, APMPName(*name));
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
    return runStatementList(arguments[branch], scope, error, 0);
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
    if (arguments.empty()) return APMPControlValue::returnValueWithData(APMPUndefined());
    APMPValueRef value = evaluate(arguments[0], scope, error);
    if (error) return APMPUndefined();
    return APMPControlValue::returnValueWithData(std::move(value));
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
    APMPArgumentList evaluated;
    APMPEvaluateArgumentsInto(arguments, scope, error, evaluated.list());
    if (error) return APMPUndefined();
    const APMPValueList& values = evaluated.list();
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
            matched = APMPStrictEquals(candidate, values[0], error);
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

namespace commands {

APMPValueRef runStatementListLiteral(const APMPStatementValue& statement, APMPScope& scope, ScriptError& error) {
    return statementListLiteral(statement.arguments(), scope, error);
}

}  // namespace commands

APMPControlCommandEvaluator::APMPControlCommandEvaluator() : APMPCommandFamily(Mode::Raw) {
    add(u"2", methodCall, {methodCallDirect, exactly<3>});
    add(u"53", block);
    add(u"4", breakCommand);
    add(u"5", statementList);
    add(u"9", statementList);
    add(u"6", continueCommand);
    add(u"50", functionDeclaration);
    add(u"13", sequence);
    add(u"51", functionExpression);
    add(u"22", ifCommand);
    add(u"46", statementListLiteral, {runStatementListLiteral, nullptr});
    add(u"36", returnCommand);
    add(u"38", switchCommand);
    add(u"39", conditional);
}

}  // namespace measurement
