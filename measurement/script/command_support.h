#pragma once

// Shared by the command families and method tables.

#include "measurement/script/command_families.h"
#include "measurement/script/evaluator.h"
#include "measurement/script/object_manager.h"
#include "measurement/script/runtime_helpers.h"
#include "measurement/script/scope.h"

namespace measurement::commands {

// Fails with a script error code and yields undefined.
inline APMPValueRef fail(ScriptError& error, long code) {
    error.fail(code);
    return APMPUndefined();
}

// What a new string value costs the run besides its text: the value and
// the slot of the list that holds it. Commands that make one string per
// unit or per piece of a text charge this for each before they make them.
inline constexpr std::size_t kNewStringCost = sizeof(APMPValueRef) + sizeof(APMPStringValue);

using evaluation::evaluate;

// Runs the elements of a statement array as a statement list. They are
// taken as a copy: the statements may change the array while they run.
inline APMPValueRef runElements(const APMPArrayValue& array, APMPScope& scope, ScriptError& error) {
    return evaluation::executeStatements(array.allElements(), scope, error);
}

// Evaluates a value to be read where it stands: a literal answers itself
// (no copy), a statement's result is kept in `holder`.
inline const APMPValueRef& evaluateRef(const APMPValueRef& value, APMPValueRef& holder, APMPScope& scope,
                                       ScriptError& error) {
    APMPBudget* budget = scope.budget();
    if (budget && !budget->countInstruction(error)) return holder = APMPUndefined();
    if (!value.isStatement()) return value;
    return holder = evaluation::runStatement(valueAs<APMPStatementValue>(value), scope, budget, error);
}

// Direct runners' argument shapes.
template <std::size_t N>
bool exactly(const APMPValueList& arguments) {
    return arguments.size() == N;
}

// Whether a value is a statement that this runner runs.
inline bool isRunBy(const APMPValueRef& value, APMPStatementRunner run) {
    return value.isStatement() && valueAs<APMPStatementValue>(value).op().run == run;
}

// The statement-list literal ("46"): a new array of its unevaluated
// arguments.
APMPValueRef runStatementListLiteral(const APMPStatementValue& statement, APMPScope& scope, ScriptError& error);
// The array literal ("7") of evaluated arguments.
APMPValueRef runArrayLiteral(const APMPStatementValue& statement, APMPScope& scope, ScriptError& error);

// Counts and nests the evaluation of a literal statement whose value is
// not made because its user takes its parts directly; false with the
// error when the budget refuses.
inline bool countInPlace(APMPScope& scope, ScriptError& error) {
    APMPBudget* budget = scope.budget();
    if (budget && !budget->countInstruction(error)) return false;
    APMPNestingGuard nesting(budget, error);
    return nesting.ok();
}

// Evaluates a value that must give a statement list (an array of
// statements) and runs it in the scope; any other result yields itself,
// or fails with `otherwise` when that is not 0. A statement-list literal
// runs its own arguments: what it evaluates to is a new array of them,
// which nothing else could reach.
inline APMPValueRef runStatementList(const APMPValueRef& value, APMPScope& scope, ScriptError& error,
                                     long otherwise) {
    if (isRunBy(value, runStatementListLiteral)) {
        if (!countInPlace(scope, error)) return APMPUndefined();
        return evaluation::executeStatements(valueAs<APMPStatementValue>(value).arguments(), scope, error);
    }
    APMPValueRef result = evaluate(value, scope, error);
    if (error) return APMPUndefined();
    if (result.isArray()) return runElements(valueAs<APMPArrayValue>(result), scope, error);
    if (otherwise != 0) return fail(error, otherwise);
    return result;
}

// Number form, string form and truth value; each may fail.
inline double number(const APMPValueRef& value, ScriptError& error) { return value->doubleValueOrError(error); }
inline std::u16string text(const APMPValueRef& value, ScriptError& error) { return value->stringValueOrError(error); }

// The integer form of an optional argument (its default when absent).
inline double integerArgument(const APMPValueList& arguments, std::size_t i, double fallback, ScriptError& error) {
    if (i >= arguments.size()) return fallback;
    return APMPToInteger(arguments[i]->doubleValueOrError(error));
}

// A method table's dispatch: unknown names fail with 17; the arguments are
// evaluated before the handler runs.
template <class Handler, class Receiver>
APMPValueRef dispatchMethod(Handler handler, Receiver& receiver, const APMPValueList& arguments, APMPScope& scope,
                            ScriptError& error) {
    if (!handler) return fail(error, kAPMPErrorUnknownMethod);
    APMPArgumentList values;
    APMPEvaluateArgumentsInto(arguments, scope, error, values.list());
    if (error) return APMPUndefined();
    return handler(receiver, values.list(), scope, error);
}

// A name's string value (its string form): the value itself when it is
// a string, so that the program's literal stays the name.
inline Ref<APMPStringValue> nameOf(const APMPValueRef& value, ScriptError& error) {
    if (value.isString()) return Ref<APMPStringValue>(&valueAs<APMPStringValue>(value));
    auto text = value.stringValueOrError(error);
    if (error) return nullptr;
    return makeRef<APMPStringValue>(std::move(text));
}

inline APMPArrayValue& asArray(const APMPValueRef& value) { return valueAs<APMPArrayValue>(value); }
inline APMPFunctionValue& asFunction(const APMPValueRef& value) { return valueAs<APMPFunctionValue>(value); }
inline const std::u16string& asText(const APMPValueRef& value) { return valueAs<APMPStringValue>(value).value(); }

}  // namespace measurement::commands
