// Plain expressions: statements of literals, variable reads and writes by
// literal name, arithmetic and comparisons, whose evaluations are counted
// all at once and which then run as a short list of steps.

#include "measurement/script/plain_expression.h"

#include <algorithm>
#include <new>

#include "measurement/script/evaluator.h"
#include "measurement/script/value_operators.h"

namespace measurement {

namespace {

// What an argument brings to an expression: a literal is one evaluation
// that cannot fail; a statement must be a plain expression itself.
struct Part {
    bool plain = false;
    bool mayFail = false;
    std::uint32_t stack = 0;
    std::uint32_t depth = 0;
    std::uint64_t evaluations = 0;
};

Part partOf(const APMPValueRef& argument) {
    if (!argument.isStatement()) return {true, false, 1, 0, 1};
    const APMPPlainExpression& inner = valueAs<APMPStatementValue>(argument).plain();
    if (inner.form == APMPPlainForm::None) return {};
    return {true, inner.mayFail, inner.stack, inner.depth, inner.evaluations};
}

constexpr std::uint64_t kMaxEvaluations = 1u << 30;
constexpr std::uint32_t kMaxDepth = 1u << 14;

APMPPlainExpression expression(APMPPlainForm form, bool mayFail, std::uint32_t stack, std::uint32_t depth,
                               std::uint64_t evaluations) {
    // Larger expressions run statement by statement.
    if (stack > APMPPlainCode::kMaxStack || depth > kMaxDepth || evaluations > kMaxEvaluations) return {};
    return {form, mayFail, static_cast<std::uint8_t>(stack), static_cast<std::uint16_t>(depth),
            static_cast<std::uint32_t>(evaluations)};
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


const APMPValueRef& undefinedValue() {
    static const APMPValueRef undefined = APMPUndefined();
    return undefined;
}

// Names looked up along the scope chain at every step.
struct ScopeNames {
    const std::vector<APMPName>& names;
    APMPScope& scope;
    APMPValueRef read(std::uint16_t i) const { return scope.valueForName(names[i]); }
    const APMPValueRef& readInPlace(std::uint16_t i) const {
        const APMPValueRef* value = scope.find(names[i]);
        return value ? *value : undefinedValue();
    }
    bool assign(std::uint16_t i, const APMPValueRef& value) const { return scope.assignExisting(value, names[i]); }
};

// Names resolved to their slots.
struct SlotNames {
    const APMPResolvedName* names;
    APMPValueRef read(std::uint16_t i) const {
        const APMPValueRef* slot = names[i].slot;
        return slot ? *slot : APMPUndefined();
    }
    const APMPValueRef& readInPlace(std::uint16_t i) const {
        const APMPValueRef* slot = names[i].slot;
        return slot ? *slot : undefinedValue();
    }
    bool assign(std::uint16_t i, const APMPValueRef& value) const {
        const APMPResolvedName& name = names[i];
        if (!name.slot) return false;
        if (name.writable) *name.slot = value;
        return true;
    }
};

}  // namespace

APMPPlainExpression APMPAnalysePlainExpression(APMPPlainForm form, const APMPValueList& arguments) {
    switch (form) {
        case APMPPlainForm::None:
            return {};
        case APMPPlainForm::ReadVariable:
            // The name literal, then a lookup that cannot fail.
            if (arguments.size() != 1 || !arguments[0].isString()) return {};
            return expression(form, false, 1, 1, 2);
        case APMPPlainForm::Assign: {
            // The name literal and the value are counted before the
            // assignment, which fails for an undeclared name.
            if (arguments.size() != 2 || !arguments[0].isString()) return {};
            const Part value = partOf(arguments[1]);
            if (!value.plain) return {};
            return expression(form, true, value.stack, 1 + value.depth, 2 + value.evaluations);
        }
        default: {
            // The left operand must not fail: the right one would not be
            // counted yet. The operator itself may fail on a conversion.
            if (arguments.size() != 2) return {};
            const Part left = partOf(arguments[0]);
            const Part right = partOf(arguments[1]);
            if (!left.plain || !right.plain || left.mayFail) return {};
            return expression(form, true, std::max(left.stack, 1 + right.stack), 1 + std::max(left.depth, right.depth),
                              1 + left.evaluations + right.evaluations);
        }
    }
}

APMPPlainCode::APMPPlainCode(const APMPStatementValue& statement) { compile(APMPValueRef::borrowed(statement)); }

void APMPPlainCode::append(const APMPValueRef& part) { compile(part); }

std::uint16_t APMPPlainCode::nameIndex(const APMPStringValue& name) {
    for (std::size_t i = 0; i < names_.size(); ++i) {
        if (names_[i].string == &name) return static_cast<std::uint16_t>(i);
    }
    names_.emplace_back(name);
    return static_cast<std::uint16_t>(names_.size() - 1);
}

bool APMPPlainCode::leaf(const APMPValueRef& value, Operand& operand) {
    if (!value.isStatement()) {
        operand = {Source::Literal, 0, &value};
        return true;
    }
    const auto& statement = valueAs<APMPStatementValue>(value);
    if (statement.plain().form != APMPPlainForm::ReadVariable) return false;
    operand = {Source::Name, nameIndex(valueAs<APMPStringValue>(statement.arguments()[0])), nullptr};
    return true;
}

void APMPPlainCode::compile(const APMPValueRef& value) {
    if (!value.isStatement()) {
        steps_.push_back({Kind::Literal, APMPPlainForm::None, false, 0, &value, {}, {}});
        return;
    }
    const auto& statement = valueAs<APMPStatementValue>(value);
    const APMPValueRef* arguments = statement.arguments().data();
    const APMPPlainForm form = statement.plain().form;
    switch (form) {
        case APMPPlainForm::ReadVariable:
            steps_.push_back(
                {Kind::Read, form, false, nameIndex(valueAs<APMPStringValue>(arguments[0])), nullptr, {}, {}});
            return;
        case APMPPlainForm::Assign: {
            compile(arguments[1]);
            const std::uint16_t name = nameIndex(valueAs<APMPStringValue>(arguments[0]));
            // An operator's result goes to the variable as it is made.
            if (steps_.back().kind == Kind::Operator && !steps_.back().assigns) {
                steps_.back().assigns = true;
                steps_.back().name = name;
                return;
            }
            steps_.push_back({Kind::Assign, form, false, name, nullptr, {}, {}});
            return;
        }
        default: {
            // An operand is read in place only when nothing runs between
            // its turn and the operator's: the right one always, the left
            // one when the right one is read in place too.
            Operand left;
            Operand right;
            const bool rightLeaf = leaf(arguments[1], right);
            if (!rightLeaf || !leaf(arguments[0], left)) {
                left = {};
                compile(arguments[0]);
            }
            if (!rightLeaf) compile(arguments[1]);
            steps_.push_back({Kind::Operator, form, false, 0, nullptr, left, right});
            return;
        }
    }
}

template <class Names>
[[gnu::always_inline]] inline bool APMPPlainCode::execute(std::size_t begin, std::size_t end, const Names& names,
                                                          APMPValueStack& stack, APMPScope& scope,
                                                          ScriptError& error) const {
    const auto inPlace = [&names](const Operand& operand) -> const APMPValueRef& {
        return operand.source == Source::Literal ? *operand.literal : names.readInPlace(operand.name);
    };
    for (const Step* step = steps_.data() + begin; step != steps_.data() + end; ++step) {
        switch (step->kind) {
            case Kind::Literal:
                stack.push(*step->literal);
                break;
            case Kind::Read:
                stack.push(names.read(step->name));
                break;
            case Kind::Assign:
                if (!names.assign(step->name, stack.top())) {
                    error.fail(kAPMPErrorUndeclaredAssignment);
                    return false;
                }
                break;
            case Kind::Operator: {
                // The right operand is the stack's top when it is on the
                // stack; the left one is below it, or the top.
                const bool rightOnStack = step->right.source == Source::Stack;
                const bool leftOnStack = step->left.source == Source::Stack;
                const APMPValueRef& y = rightOnStack ? stack.top() : inPlace(step->right);
                const APMPValueRef& x =
                    leftOnStack ? (rightOnStack ? stack.below() : stack.top()) : inPlace(step->left);
                APMPValueRef result;
                double number = 0;
                bool truth = false;
                const APMPNumberResult shortcut =
                    x.isNumber() && y.isNumber()
                        ? APMPApplyToNumbers(step->form, x.numberValue(), y.numberValue(), number, truth)
                        : APMPNumberResult::None;
                if (shortcut == APMPNumberResult::Number) {
                    result = APMPNumber(number);
                } else if (shortcut == APMPNumberResult::Truth) {
                    result = APMPBoolean(truth);
                } else {
                    result = applyOperator(step->form, x, y, scope, error);
                    if (error) return false;
                }
                if (rightOnStack) stack.pop();
                if (leftOnStack) stack.pop();
                if (step->assigns && !names.assign(step->name, result)) {
                    error.fail(kAPMPErrorUndeclaredAssignment);
                    return false;
                }
                stack.push(std::move(result));
                break;
            }
        }
    }
    return true;
}

APMPValueRef APMPPlainCode::run(APMPScope& scope, ScriptError& error) const {
    APMPValueStack stack;
    if (!execute(0, steps_.size(), ScopeNames{names_, scope}, stack, scope, error)) return APMPUndefined();
    return std::move(stack.top());
}

bool APMPPlainCode::singleOperator(std::size_t begin, std::size_t end, SingleOperator& single) const {
    if (end != begin + 1 || steps_[begin].kind != Kind::Operator) return false;
    const Step& step = steps_[begin];
    if (step.left.source == Source::Stack || step.right.source == Source::Stack) return false;
    single = {step.form,
              step.left.source == Source::Literal ? step.left.literal : nullptr,
              step.left.name,
              step.right.source == Source::Literal ? step.right.literal : nullptr,
              step.right.name,
              step.assigns ? int{step.name} : -1};
    return true;
}

bool APMPPlainCode::runPart(std::size_t begin, std::size_t end, const APMPResolvedName* names, APMPValueStack& stack,
                            APMPScope& scope, ScriptError& error) const {
    return execute(begin, end, SlotNames{names}, stack, scope, error);
}

const APMPPlainCode& APMPStatementValue::plainCode() const {
    if (!plainCode_) plainCode_ = std::make_unique<APMPPlainCode>(*this);
    return *plainCode_;
}

}  // namespace measurement
