// Arithmetic, comparison, logical and bitwise commands.
#include <cmath>

#include "measurement/script/command_support.h"

namespace measurement {

namespace {

using namespace commands;

// ---- Math -------------------------------------------------------------

APMPValueRef addOrConcatenate(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 2, error)) return APMPUndefined();
    const APMPValueRef& left = arguments[0];
    const APMPValueRef& right = arguments[1];
    if (!APMPIsObjectOrString(*left) && !APMPIsObjectOrString(*right)) {
        const double x = number(left, error);
        if (error) return APMPUndefined();
        const double y = number(right, error);
        if (error) return APMPUndefined();
        return APMPNumber(x + y);
    }
    auto joined = text(left, error);
    if (error) return APMPUndefined();
    const auto tail = text(right, error);
    if (error) return APMPUndefined();
    joined += tail;
    return APMPNewString(std::move(joined), scope, error);
}

template <double (*Op)(double, double)>
APMPValueRef binary(const APMPValueList& arguments, APMPScope&, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 2, error)) return APMPUndefined();
    const double x = number(arguments[0], error);
    if (error) return APMPUndefined();
    const double y = number(arguments[1], error);
    if (error) return APMPUndefined();
    return APMPNumber(Op(x, y));
}

double subtract(double x, double y) { return x - y; }
double multiply(double x, double y) { return x * y; }
double divide(double x, double y) { return x / y; }
double floatingRemainder(double x, double y) { return std::fmod(x, y); }

APMPValueRef negate(const APMPValueList& arguments, APMPScope&, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 1, error)) return APMPUndefined();
    const double x = number(arguments[0], error);
    if (error) return APMPUndefined();
    return APMPNumber(-x);
}

APMPValueRef firstOfTwo(const APMPValueList& arguments, APMPScope&, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 2, error)) return APMPUndefined();
    return arguments[0];
}

APMPValueRef valueOfOne(const APMPValueList& arguments, APMPScope&, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 1, error)) return APMPUndefined();
    return arguments[0];
}

// ---- Comparison ---------------------------------------------------------

int equalityCategory(const APMPRuntimeValue& value) {
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

bool looseEquals(const APMPRuntimeValue& a, const APMPRuntimeValue& b, ScriptError& error) {
    const bool ordered = equalityCategory(a) <= equalityCategory(b);
    const APMPRuntimeValue& x = ordered ? a : b;
    const APMPRuntimeValue& y = ordered ? b : a;
    switch (equalityCategory(x)) {
        case 0:
            return equalityCategory(y) == 0;
        case 1:
            return APMPLooseNumberEquals(x, y, error);
        case 2:
            return APMPLooseStringEquals(x, y, error);
        default:
            return &x == &y;
    }
}

// -1, 0 or 1; every comparison with NaN gives 1.
int compareRuntimeValues(const APMPRuntimeValue& a, const APMPRuntimeValue& b, ScriptError& error) {
    if (APMPIsObjectOrString(a) && APMPIsObjectOrString(b)) {
        const auto x = a.stringValueOrError(error);
        if (error) return 0;
        const auto y = b.stringValueOrError(error);
        if (error) return 0;
        const int order = x.compare(y);
        return order < 0 ? -1 : (order > 0 ? 1 : 0);
    }
    const double x = a.doubleValueOrError(error);
    if (error) return 0;
    const double y = b.doubleValueOrError(error);
    if (error) return 0;
    if (x == y) return 0;
    return x < y ? -1 : 1;
}

APMPValueRef boolResult(bool value, ScriptError& error) { return error ? APMPUndefined() : APMPBoolean(value); }

APMPValueRef looseEqual(const APMPValueList& a, APMPScope&, ScriptError& error) {
    return boolResult(looseEquals(*a[0], *a[1], error), error);
}
APMPValueRef looseNotEqual(const APMPValueList& a, APMPScope&, ScriptError& error) {
    return boolResult(!looseEquals(*a[0], *a[1], error), error);
}
APMPValueRef strictEqual(const APMPValueList& a, APMPScope&, ScriptError& error) {
    return boolResult(APMPStrictEquals(*a[0], *a[1], error), error);
}
APMPValueRef strictNotEqual(const APMPValueList& a, APMPScope&, ScriptError& error) {
    return boolResult(!APMPStrictEquals(*a[0], *a[1], error), error);
}
APMPValueRef lessThan(const APMPValueList& a, APMPScope&, ScriptError& error) {
    return boolResult(compareRuntimeValues(*a[0], *a[1], error) == -1, error);
}
APMPValueRef lessOrEqual(const APMPValueList& a, APMPScope&, ScriptError& error) {
    return boolResult(compareRuntimeValues(*a[0], *a[1], error) <= 0, error);
}
APMPValueRef greaterThan(const APMPValueList& a, APMPScope&, ScriptError& error) {
    return boolResult(compareRuntimeValues(*a[1], *a[0], error) == -1, error);
}
APMPValueRef greaterOrEqual(const APMPValueList& a, APMPScope&, ScriptError& error) {
    return boolResult(compareRuntimeValues(*a[1], *a[0], error) <= 0, error);
}

// ---- Logical (raw) ------------------------------------------------------

template <bool ShortCircuitOn>
APMPValueRef shortCircuit(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 2, error)) return APMPUndefined();
    APMPValueRef left = evaluate(arguments[0], scope, error);
    if (error) return APMPUndefined();
    const bool truth = left->booleanValueOrError(error);
    if (error) return APMPUndefined();
    if (truth == ShortCircuitOn) return left;
    APMPValueRef right = evaluate(arguments[1], scope, error);
    return error ? APMPUndefined() : right;
}

APMPValueRef logicalNot(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 1, error)) return APMPUndefined();
    const bool truth = evaluate(arguments[0], scope, error)->booleanValueOrError(error);
    return boolResult(!truth, error);
}

// ---- Bitwise ------------------------------------------------------------

template <class Op>
APMPValueRef bitwise(const APMPValueList& arguments, ScriptError& error, Op op) {
    if (!APMPCheckArgumentCount(arguments, 2, error)) return APMPUndefined();
    const double x = number(arguments[0], error);
    if (error) return APMPUndefined();
    const double y = number(arguments[1], error);
    if (error) return APMPUndefined();
    return APMPNumber(op(x, y));
}

std::uint32_t shiftCount(double y) { return APMPToUint32(y) & 31u; }

APMPValueRef bitAnd(const APMPValueList& a, APMPScope&, ScriptError& error) {
    return bitwise(a, error, [](double x, double y) { return double(APMPToInt32(x) & APMPToInt32(y)); });
}
APMPValueRef bitOr(const APMPValueList& a, APMPScope&, ScriptError& error) {
    return bitwise(a, error, [](double x, double y) { return double(APMPToInt32(x) | APMPToInt32(y)); });
}
APMPValueRef bitXor(const APMPValueList& a, APMPScope&, ScriptError& error) {
    return bitwise(a, error, [](double x, double y) { return double(APMPToInt32(x) ^ APMPToInt32(y)); });
}
APMPValueRef shiftLeft(const APMPValueList& a, APMPScope&, ScriptError& error) {
    return bitwise(a, error, [](double x, double y) {
        // Shifted as unsigned: shifting a negative signed value is not
        // defined for every count.
        const std::uint32_t bits = APMPToUint32(x) << shiftCount(y);
        return double(static_cast<std::int32_t>(bits));
    });
}
APMPValueRef shiftRightArithmetic(const APMPValueList& a, APMPScope&, ScriptError& error) {
    return bitwise(a, error, [](double x, double y) { return double(APMPToInt32(x) >> shiftCount(y)); });
}
APMPValueRef shiftRightLogical(const APMPValueList& a, APMPScope&, ScriptError& error) {
    return bitwise(a, error, [](double x, double y) { return double(APMPToUint32(x) >> shiftCount(y)); });
}
APMPValueRef bitNot(const APMPValueList& arguments, APMPScope&, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 1, error)) return APMPUndefined();
    const double x = number(arguments[0], error);
    if (error) return APMPUndefined();
    return APMPNumber(double(~APMPToInt32(x)));
}

}  // namespace

APMPMathCommandEvaluator::APMPMathCommandEvaluator() : APMPCommandFamily(Mode::Evaluated) {
    add(u"0", addOrConcatenate);
    add(u"10", binary<divide>);
    add(u"25", binary<floatingRemainder>);
    add(u"26", binary<multiply>);
    add(u"27", negate);
    add(u"37", binary<subtract>);
    add(u"34", valueOfOne);
    add(u"35", valueOfOne);
    add(u"32", firstOfTwo);
    add(u"33", firstOfTwo);
}

APMPComparisonCommandEvaluator::APMPComparisonCommandEvaluator() : APMPCommandFamily(Mode::Evaluated, 2) {
    add(u"12", looseEqual);
    add(u"18", greaterThan);
    add(u"19", greaterOrEqual);
    add(u"20", strictEqual);
    add(u"21", strictNotEqual);
    add(u"23", lessThan);
    add(u"24", lessOrEqual);
    add(u"29", looseNotEqual);
}

APMPLogicalCommandEvaluator::APMPLogicalCommandEvaluator() : APMPCommandFamily(Mode::Raw) {
    add(u"1", shortCircuit<false>);
    add(u"28", logicalNot);
    add(u"30", shortCircuit<true>);
}

APMPBitwiseCommandEvaluator::APMPBitwiseCommandEvaluator() : APMPCommandFamily(Mode::Evaluated) {
    add(u"56", bitAnd);
    add(u"57", shiftLeft);
    add(u"58", bitNot);
    add(u"59", bitOr);
    add(u"60", shiftRightArithmetic);
    add(u"61", shiftRightLogical);
    add(u"62", bitXor);
}

}  // namespace measurement
