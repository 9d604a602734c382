// The math, comparison, logical and bitwise command families. Statements
// of the usual shape run directly, evaluating their operands as they go;
// numbers take a path of their own that converts nothing.

#include <cmath>

#include "measurement/script/command_support.h"
#include "measurement/script/value_operators.h"

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

APMPValueRef addOrConcatenate(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 2, error)) return APMPUndefined();
    return operators::add(arguments[0], arguments[1], scope, error);
}

APMPValueRef addDirect(const APMPStatementValue& statement, APMPScope& scope, ScriptError& error) {
    APMPValueRef x;
    APMPValueRef y;
    if (!operands(statement, scope, error, x, y)) return APMPUndefined();
    return operators::add(x, y, scope, error);
}

template <double (*Op)(double, double)>
APMPValueRef binary(const APMPValueList& arguments, APMPScope&, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 2, error)) return APMPUndefined();
    return operators::combine<Op>(arguments[0], arguments[1], error);
}

template <double (*Op)(double, double)>
APMPValueRef binaryDirect(const APMPStatementValue& statement, APMPScope& scope, ScriptError& error) {
    APMPValueRef x;
    APMPValueRef y;
    if (!operands(statement, scope, error, x, y)) return APMPUndefined();
    return operators::combine<Op>(x, y, error);
}

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

// The family checks the count (two) before anything runs.
template <operators::Comparison Compare>
APMPValueRef compare(const APMPValueList& arguments, APMPScope&, ScriptError& error) {
    return operators::compare<Compare>(arguments[0], arguments[1], error);
}

template <operators::Comparison Compare>
APMPValueRef compareDirect(const APMPStatementValue& statement, APMPScope& scope, ScriptError& error) {
    APMPValueRef x;
    APMPValueRef y;
    if (!operands(statement, scope, error, x, y)) return APMPUndefined();
    return operators::compare<Compare>(x, y, error);
}

APMPValueRef boolResult(bool value, ScriptError& error) { return error ? APMPUndefined() : APMPBoolean(value); }

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
    using namespace operators;
    add(u"0", addOrConcatenate, {addDirect, exactly<2>, APMPPlainForm::Add});
    add(u"10", binary<divide>, {binaryDirect<divide>, exactly<2>, APMPPlainForm::Divide});
    add(u"25", binary<remainder>, {binaryDirect<remainder>, exactly<2>, APMPPlainForm::Remainder});
    add(u"26", binary<multiply>, {binaryDirect<multiply>, exactly<2>, APMPPlainForm::Multiply});
    add(u"27", negate);
    add(u"37", binary<subtract>, {binaryDirect<subtract>, exactly<2>, APMPPlainForm::Subtract});
    add(u"34", valueOfOne);
    add(u"35", valueOfOne);
    add(u"32", firstOfTwo);
    add(u"33", firstOfTwo);
}

APMPComparisonCommandEvaluator::APMPComparisonCommandEvaluator() : APMPCommandFamily(Mode::Evaluated, 2) {
    using namespace operators;
    add(u"12", compare<looseEquals>, {compareDirect<looseEquals>, exactly<2>, APMPPlainForm::LooseEqual});
    add(u"18", compare<greaterThan>, {compareDirect<greaterThan>, exactly<2>, APMPPlainForm::Greater});
    add(u"19", compare<greaterOrEqual>, {compareDirect<greaterOrEqual>, exactly<2>, APMPPlainForm::GreaterOrEqual});
    add(u"20", compare<strictEquals>, {compareDirect<strictEquals>, exactly<2>, APMPPlainForm::StrictEqual});
    add(u"21", compare<strictNotEquals>, {compareDirect<strictNotEquals>, exactly<2>, APMPPlainForm::StrictNotEqual});
    add(u"23", compare<lessThan>, {compareDirect<lessThan>, exactly<2>, APMPPlainForm::Less});
    add(u"24", compare<lessOrEqual>, {compareDirect<lessOrEqual>, exactly<2>, APMPPlainForm::LessOrEqual});
    add(u"29", compare<looseNotEquals>, {compareDirect<looseNotEquals>, exactly<2>, APMPPlainForm::LooseNotEqual});
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
