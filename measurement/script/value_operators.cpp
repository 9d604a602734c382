// The operators of the script language on two evaluated values.

#include "measurement/script/value_operators.h"

#include "measurement/script/object_manager.h"
#include "measurement/script/runtime_helpers.h"

namespace measurement::operators {

APMPValueRef add(const APMPValueRef& left, const APMPValueRef& right, APMPScope& scope, ScriptError& error) {
    if (left.isNumber() && right.isNumber()) return APMPNumber(left.numberValue() + right.numberValue());
    if (!APMPIsObjectOrString(left) && !APMPIsObjectOrString(right)) {
        const double x = left.doubleValueOrError(error);
        if (error) return APMPUndefined();
        const double y = right.doubleValueOrError(error);
        if (error) return APMPUndefined();
        return APMPNumber(x + y);
    }
    auto joined = left.stringValueOrError(error);
    if (error) return APMPUndefined();
    const auto tail = right.stringValueOrError(error);
    if (error) return APMPUndefined();
    joined += tail;
    return APMPNewString(std::move(joined), scope, error);
}

namespace {

int equalityCategory(const APMPValueRef& value) {
    switch (value.kind()) {
        case APMPValueKind::Undefined:
        case APMPValueKind::Null:
            return 0;
        case APMPValueKind::Number:
        case APMPValueKind::Boolean:
            return 1;
        case APMPValueKind::String:
            return 2;
        default:
            return 3;
    }
}

// -1, 0 or 1; every comparison with NaN gives 1.
int order(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error) {
    if (APMPIsObjectOrString(a) && APMPIsObjectOrString(b)) {
        int order = 0;
        if (a.isString() && b.isString()) {
            order = valueAs<APMPStringValue>(a).value().compare(valueAs<APMPStringValue>(b).value());
        } else {
            const auto x = a.stringValueOrError(error);
            if (error) return 0;
            const auto y = b.stringValueOrError(error);
            if (error) return 0;
            order = x.compare(y);
        }
        return order < 0 ? -1 : (order > 0 ? 1 : 0);
    }
    const double x = a.doubleValueOrError(error);
    if (error) return 0;
    const double y = b.doubleValueOrError(error);
    if (error) return 0;
    if (x == y) return 0;
    return x < y ? -1 : 1;
}

}  // namespace

bool looseEquals(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error) {
    const bool ordered = equalityCategory(a) <= equalityCategory(b);
    const APMPValueRef& x = ordered ? a : b;
    const APMPValueRef& y = ordered ? b : a;
    switch (equalityCategory(x)) {
        case 0:
            return equalityCategory(y) == 0;
        case 1:
            return APMPLooseNumberEquals(x, y, error);
        case 2:
            return APMPLooseStringEquals(x, y, error);
        default:
            return x.get() == y.get();
    }
}

bool looseNotEquals(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error) {
    return !looseEquals(a, b, error);
}
bool strictEquals(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error) {
    return APMPStrictEquals(a, b, error);
}
bool strictNotEquals(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error) {
    return !APMPStrictEquals(a, b, error);
}
bool lessThan(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error) { return order(a, b, error) == -1; }
bool lessOrEqual(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error) { return order(a, b, error) <= 0; }
bool greaterThan(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error) { return order(b, a, error) == -1; }
bool greaterOrEqual(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error) {
    return order(b, a, error) <= 0;
}

}  // namespace measurement::operators
