#pragma once

// The operators of the script language on two evaluated values: addition
// with concatenation, the other arithmetic, and the comparisons. Shared by
// the command families and by plain expressions.

#include <cmath>

#include "measurement/script/runtime_value.h"
#include "measurement/script/scope.h"

namespace measurement::operators {

// The sum of the number forms, or the two string forms joined when either
// is a string, array, map or function (the text is charged to the run).
APMPValueRef add(const APMPValueRef& left, const APMPValueRef& right, APMPScope& scope, ScriptError& error);

inline double subtract(double x, double y) { return x - y; }
inline double multiply(double x, double y) { return x * y; }
inline double divide(double x, double y) { return x / y; }
inline double remainder(double x, double y) { return std::fmod(x, y); }

// An arithmetic operator on the number forms.
template <double (*Op)(double, double)>
APMPValueRef combine(const APMPValueRef& left, const APMPValueRef& right, ScriptError& error) {
    if (left.isNumber() && right.isNumber()) return APMPNumber(Op(left.numberValue(), right.numberValue()));
    const double x = left.doubleValueOrError(error);
    if (error) return APMPUndefined();
    const double y = right.doubleValueOrError(error);
    if (error) return APMPUndefined();
    return APMPNumber(Op(x, y));
}

using Comparison = bool (*)(const APMPValueRef&, const APMPValueRef&, ScriptError&);

bool looseEquals(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error);
bool looseNotEquals(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error);
bool strictEquals(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error);
bool strictNotEquals(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error);
bool lessThan(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error);
bool lessOrEqual(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error);
bool greaterThan(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error);
bool greaterOrEqual(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error);

// A comparison of two values as its boolean; two numbers compare without
// conversions. (The operator tests are plain ones: a sanitizer build does
// not take comparisons of functions as constants.)
template <Comparison Compare>
APMPValueRef compare(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error) {
    if (a.isNumber() && b.isNumber()) {
        const double x = a.numberValue();
        const double y = b.numberValue();
        if (Compare == lessThan) return APMPBoolean(x < y);
        if (Compare == lessOrEqual) return APMPBoolean(x <= y);
        if (Compare == greaterThan) return APMPBoolean(x > y);
        if (Compare == greaterOrEqual) return APMPBoolean(x >= y);
        if (Compare == looseNotEquals || Compare == strictNotEquals) return APMPBoolean(!(x == y));
        return APMPBoolean(x == y);
    }
    const bool result = Compare(a, b, error);
    return error ? APMPUndefined() : APMPBoolean(result);
}

}  // namespace measurement::operators
