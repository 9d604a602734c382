// The math, comparison, logical and bitwise command families. Statements
// of the usual shape run directly, evaluating their operands as they go;
// numbers take a path of their own that converts nothing.

#include <cmath>

#include "measurement/script/command_support.h"

namespace measurement {

namespace {

using namespace commands;

// Evaluates a statement's two operands in order; false at an error.
bool operands(const APMPStatementValue& statement, APMPScope& scope, ScriptError& error, APMPValueRef& x,
              APMPValueRef& y) {
    const APMPValueRef* arguments = statement.arguments().data();
    x = evaluate(arguments[0], scope, error);
    if (error) return false;
    y = evaluate(arguments[1], scope, error);
    return !error;
}

// ---- Math -------------------------------------------------------------

APMPValueRef addValues(const APMPValueRef& left, const APMPValueRef& right, APMPScope& scope, ScriptError& error) {
    if (!APMPIsObjectOrString(left) && !APMPIsObjectOrString(right)) {
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

APMPValueRef addOrConcatenate(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 2, error)) return APMPUndefined();
    return addValues(arguments[0], arguments[1], scope, error);
}

APMPValueRef addDirect(const APMPStatementValue& statement, APMPScope& scope, ScriptError& error) {
    APMPValueRef x;
    APMPValueRef y;
    if (!operands(statement, scope, error, x, y)) return APMPUndefined();
    if (x.isNumber() && y.isNumber()) return APMPNumber(x.numberValue() + y.numberValue());
    return addValues(x, y, scope, error);
}

template <double (*Op)(double, double)>
APMPValueRef combine(const APMPValueRef& left, const APMPValueRef& right, ScriptError& error) {
    const double x = number(left, error);
    if (error) return APMPUndefined();
    const double y = number(right, error);
    if (error) return APMPUndefined();
    return APMPNumber(Op(x, y));
}

template <double (*Op)(double, double)>
APMPValueRef binary(const APMPValueList& arguments, APMPScope&, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 2, error)) return APMPUndefined();
    return combine<Op>(arguments[0], arguments[1], error);
}

template <double (*Op)(double, double)>
APMPValueRef binaryDirect(const APMPStatementValue& statement, APMPScope& scope, ScriptError& error) {
    APMPValueRef x;
    APMPValueRef y;
    if (!operands(statement, scope, error, x, y)) return APMPUndefined();
    if (x.isNumber() && y.isNumber()) return APMPNumber(Op(x.numberValue(), y.numberValue()));
    return combine<Op>(x, y, error);
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

// -1, 0 or 1; every comparison with NaN gives 1.
int compareRuntimeValues(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error) {
    if (APMPIsObjectOrString(a) && APMPIsObjectOrString(b)) {
        if (a.isString() && b.isString()) {
            const int order = asText(a).compare(asText(b));
            return order < 0 ? -1 : (order > 0 ? 1 : 0);
        }
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

bool lessThan(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error) {
    return compareRuntimeValues(a, b, error) == -1;
}
bool lessOrEqual(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error) {
    return compareRuntimeValues(a, b, error) <= 0;
}
bool greaterThan(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error) {
    return compareRuntimeValues(b, a, error) == -1;
}
bool greaterOrEqual(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error) {
    return compareRuntimeValues(b, a, error) <= 0;
}
bool looseNotEquals(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error) {
    return !looseEquals(a, b, error);
}
bool strictNotEquals(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error) {
    return !APMPStrictEquals(a, b, error);
}

APMPValueRef boolResult(bool value, ScriptError& error) { return error ? APMPUndefined() : APMPBoolean(value); }

using Comparison = bool (*)(const APMPValueRef&, const APMPValueRef&, ScriptError&);

// The family checks the count (two) before anything runs.
template <Comparison Compare>
APMPValueRef compare(const APMPValueList& arguments, APMPScope&, ScriptError& error) {
    return boolResult(Compare(arguments[0], arguments[1], error), error);
}

// The same on two numbers, without conversions.
template <Comparison Compare>
bool compareNumbers(double x, double y) {
    if constexpr (Compare == lessThan) return x < y;
    if constexpr (Compare == lessOrEqual) return x <= y;
    if constexpr (Compare == greaterThan) return x > y;
    if constexpr (Compare == greaterOrEqual) return x >= y;
    if constexpr (Compare == looseNotEquals || Compare == strictNotEquals) return !(x == y);
    return x == y;
}

template <Comparison Compare>
APMPValueRef compareDirect(const APMPStatementValue& statement, APMPScope& scope, ScriptError& error) {
    APMPValueRef x;
    APMPValueRef y;
    if (!operands(statement, scope, error, x, y)) return APMPUndefined();
    if (x.isNumber() && y.isNumber()) return APMPBoolean(compareNumbers<Compare>(x.numberValue(), y.numberValue()));
    return boolResult(Compare(x, y, error), error);
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
    add(u"0", addOrConcatenate, {addDirect, exactly<2>});
    add(u"10", binary<divide>, {binaryDirect<divide>, exactly<2>});
    add(u"25", binary<floatingRemainder>, {binaryDirect<floatingRemainder>, exactly<2>});
    add(u"26", binary<multiply>, {binaryDirect<multiply>, exactly<2>});
    add(u"27", negate);
    add(u"37", binary<subtract>, {binaryDirect<subtract>, exactly<2>});
    add(u"34", valueOfOne);
    add(u"35", valueOfOne);
    add(u"32", firstOfTwo);
    add(u"33", firstOfTwo);
}

APMPComparisonCommandEvaluator::APMPComparisonCommandEvaluator() : APMPCommandFamily(Mode::Evaluated, 2) {
    add(u"12", compare<looseEquals>, {compareDirect<looseEquals>, exactly<2>});
    add(u"18", compare<greaterThan>, {compareDirect<greaterThan>, exactly<2>});
    add(u"19", compare<greaterOrEqual>, {compareDirect<greaterOrEqual>, exactly<2>});
    add(u"20", compare<APMPStrictEquals>, {compareDirect<APMPStrictEquals>, exactly<2>});
    add(u"21", compare<strictNotEquals>, {compareDirect<strictNotEquals>, exactly<2>});
    add(u"23", compare<lessThan>, {compareDirect<lessThan>, exactly<2>});
    add(u"24", compare<lessOrEqual>, {compareDirect<lessOrEqual>, exactly<2>});
    add(u"29", compare<looseNotEquals>, {compareDirect<looseNotEquals>, exactly<2>});
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
