// Plain expressions: statements of literals, variable reads and writes by
// literal name, arithmetic and comparisons, whose evaluations are counted
// all at once and which then run without the evaluator's per-statement
// bookkeeping.

#include <algorithm>

#include "measurement/script/command_support.h"
#include "measurement/script/value_operators.h"

namespace measurement {

namespace {

using namespace commands;

// What an argument brings to an expression: a literal is one evaluation
// that cannot fail; a statement must be a plain expression itself.
struct Part {
    bool plain = false;
    bool mayFail = false;
    std::uint16_t depth = 0;
    std::uint32_t evaluations = 0;
};

Part partOf(const APMPValueRef& argument) {
    if (!argument.isStatement()) return {true, false, 0, 1};
    const APMPPlainExpression& inner = valueAs<APMPStatementValue>(argument).plain();
    if (inner.form == APMPPlainForm::None) return {};
    return {true, inner.mayFail, inner.depth, inner.evaluations};
}

constexpr std::uint32_t kMaxEvaluations = 1u << 30;
constexpr std::uint16_t kMaxDepth = 1u << 14;

APMPPlainExpression expression(APMPPlainForm form, bool mayFail, std::uint32_t depth, std::uint64_t evaluations) {
    // Absurdly large expressions run statement by statement.
    if (depth > kMaxDepth || evaluations > kMaxEvaluations) return {};
    return {form, mayFail, static_cast<std::uint16_t>(depth), static_cast<std::uint32_t>(evaluations)};
}

APMPValueRef evaluatePlain(const APMPStatementValue& statement, APMPScope& scope, ScriptError& error);

const APMPStringValue& nameArgument(const APMPStatementValue& statement) {
    return valueAs<APMPStringValue>(statement.arguments()[0]);
}

// An operand: a literal yields itself, a variable read is done in place.
inline APMPValueRef plainValue(const APMPValueRef& argument, APMPScope& scope, ScriptError& error) {
    if (!argument.isStatement()) return argument;
    const auto& statement = valueAs<APMPStatementValue>(argument);
    if (statement.plain().form == APMPPlainForm::ReadVariable) {
        return scope.valueForName(APMPName(nameArgument(statement)));
    }
    return evaluatePlain(statement, scope, error);
}

APMPValueRef applyOperator(APMPPlainForm form, const APMPValueRef& x, const APMPValueRef& y, APMPScope& scope,
                           ScriptError& error) {
    using namespace operators;
    switch (form) {
        case APMPPlainForm::Add:
            return add(x, y, scope, error);
        case APMPPlainForm::Subtract:
            return combine<subtract>(x, y, error);
        case APMPPlainForm::Multiply:
            return combine<multiply>(x, y, error);
        case APMPPlainForm::Divide:
            return combine<divide>(x, y, error);
        case APMPPlainForm::Remainder:
            return combine<remainder>(x, y, error);
        case APMPPlainForm::Less:
            return compare<lessThan>(x, y, error);
        case APMPPlainForm::LessOrEqual:
            return compare<lessOrEqual>(x, y, error);
        case APMPPlainForm::Greater:
            return compare<greaterThan>(x, y, error);
        case APMPPlainForm::GreaterOrEqual:
            return compare<greaterOrEqual>(x, y, error);
        case APMPPlainForm::LooseEqual:
            return compare<looseEquals>(x, y, error);
        case APMPPlainForm::LooseNotEqual:
            return compare<looseNotEquals>(x, y, error);
        case APMPPlainForm::StrictEqual:
            return compare<strictEquals>(x, y, error);
        case APMPPlainForm::StrictNotEqual:
            return compare<strictNotEquals>(x, y, error);
        default:
            return APMPUndefined();
    }
}

APMPValueRef evaluatePlain(const APMPStatementValue& statement, APMPScope& scope, ScriptError& error) {
    const APMPValueRef* arguments = statement.arguments().data();
    const APMPPlainForm form = statement.plain().form;
    if (form == APMPPlainForm::ReadVariable) return scope.valueForName(APMPName(nameArgument(statement)));
    if (form == APMPPlainForm::Assign) {
        APMPValueRef value = plainValue(arguments[1], scope, error);
        if (error) return APMPUndefined();
        if (!scope.assignExisting(value, APMPName(nameArgument(statement)))) {
            return fail(error, kAPMPErrorUndeclaredAssignment);
        }
        return value;
    }
    const APMPValueRef x = plainValue(arguments[0], scope, error);
    if (error) return APMPUndefined();
    const APMPValueRef y = plainValue(arguments[1], scope, error);
    if (error) return APMPUndefined();
    return applyOperator(form, x, y, scope, error);
}

}  // namespace

APMPPlainExpression APMPAnalysePlainExpression(APMPPlainForm form, const APMPValueList& arguments) {
    switch (form) {
        case APMPPlainForm::None:
            return {};
        case APMPPlainForm::ReadVariable:
            // The name literal, then a lookup that cannot fail.
            if (arguments.size() != 1 || !arguments[0].isString()) return {};
            return expression(form, false, 1, 2);
        case APMPPlainForm::Assign: {
            // The name literal and the value are counted before the
            // assignment, which fails for an undeclared name.
            if (arguments.size() != 2 || !arguments[0].isString()) return {};
            const Part value = partOf(arguments[1]);
            if (!value.plain) return {};
            return expression(form, true, 1u + value.depth, 2u + std::uint64_t{value.evaluations});
        }
        default: {
            // The left operand must not fail: the right one would not be
            // counted yet. The operator itself may fail on a conversion.
            if (arguments.size() != 2) return {};
            const Part left = partOf(arguments[0]);
            const Part right = partOf(arguments[1]);
            if (!left.plain || !right.plain || left.mayFail) return {};
            return expression(form, true, 1u + std::max(left.depth, right.depth),
                              1u + std::uint64_t{left.evaluations} + right.evaluations);
        }
    }
}

APMPValueRef APMPRunPlainExpression(const APMPStatementValue& statement, APMPScope& scope, ScriptError& error) {
    const APMPPlainExpression& plain = statement.plain();
    APMPBudget* budget = scope.budget();
    // The statement itself has been counted and entered already.
    if (budget && !budget->countAhead(plain.evaluations - 1, plain.depth - 1)) {
        return statement.op().run(statement, scope, error);
    }
    return evaluatePlain(statement, scope, error);
}

}  // namespace measurement
