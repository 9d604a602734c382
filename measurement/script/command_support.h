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

inline APMPArrayValue& asArray(const APMPValueRef& value) { return valueAs<APMPArrayValue>(*value); }
inline APMPFunctionValue& asFunction(const APMPValueRef& value) { return valueAs<APMPFunctionValue>(*value); }
inline const std::u16string& asText(const APMPValueRef& value) { return valueAs<APMPStringValue>(*value).value(); }

}  // namespace measurement::commands
