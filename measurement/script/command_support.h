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

inline APMPArrayValue& asArray(const APMPValueRef& value) { return valueAs<APMPArrayValue>(value); }
inline APMPFunctionValue& asFunction(const APMPValueRef& value) { return valueAs<APMPFunctionValue>(value); }
inline const std::u16string& asText(const APMPValueRef& value) { return valueAs<APMPStringValue>(value).value(); }

}  // namespace measurement::commands
