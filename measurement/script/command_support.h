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

inline APMPValueRef evaluate(const APMPValueRef& argument, APMPScope& scope, ScriptError& error) {
    return APMPEvaluator::evaluateStatement(*argument, scope, error);
}

// Runs the elements of a statement array as a statement list.
inline APMPValueRef runElements(const APMPArrayValue& array, APMPScope& scope, ScriptError& error) {
    return APMPEvaluator::executeStatements(array.allElements(), scope, error);
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
template <class Handlers, class Receiver>
APMPValueRef dispatchMethod(const Handlers& handlers, const std::u16string& name, Receiver& receiver,
                            const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    const auto it = handlers.find(name);
    if (it == handlers.end()) return fail(error, kAPMPErrorUnknownMethod);
    const APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
    if (error) return APMPUndefined();
    return it->second(receiver, values, scope, error);
}

inline APMPArrayValue& asArray(const APMPValueRef& value) { return valueAs<APMPArrayValue>(*value); }
inline APMPFunctionValue& asFunction(const APMPValueRef& value) { return valueAs<APMPFunctionValue>(*value); }
inline const std::u16string& asText(const APMPValueRef& value) { return valueAs<APMPStringValue>(*value).value(); }

}  // namespace measurement::commands
