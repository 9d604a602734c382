// The conditional loop of plain statements, run with its names resolved once.

#include "measurement/script/plain_loop.h"

#include <algorithm>
#include <vector>

#include "measurement/script/evaluator.h"
#include "measurement/script/plain_expression.h"

namespace measurement {

namespace {

bool isPlainPart(const APMPValueRef& value) {
    return !value.isStatement() || valueAs<APMPStatementValue>(value).plain().form != APMPPlainForm::None;
}

// One part of the loop (the condition, a body statement, the step): its
// steps in the loop's code and what evaluating it counts.
struct Part {
    const APMPValueRef* value;
    std::size_t begin;
    std::size_t end;
    std::uint64_t evaluations;
    int depth;
    // A part that is one operator on operands read in place.
    bool single;
    APMPPlainCode::SingleOperator op;
};

// What a single operator made of two numbers.
enum class Shortcut { Taken, NotTaken };

// What one pass over the body ends in.
enum class Body { Next, Stop };

class PlainLoop {
public:
    PlainLoop(const APMPValueRef& condition, const APMPValueRef& step, const APMPValueList& body, APMPScope& scope,
              APMPValueRef& result, ScriptError& error)
        : scope_(scope), result_(result), error_(error), budget_(scope.budget()) {
        condition_ = add(condition);
        for (const auto& statement : body) body_.push_back(add(statement));
        step_ = add(step);
        names_.reserve(code_.names().size());
        for (const APMPName& name : code_.names()) {
            APMPResolvedName resolved;
            resolved.slot = scope.resolve(name, resolved.writable);
            names_.push_back(resolved);
        }
        iteration_ = condition_.evaluations + step_.evaluations;
        depth_ = std::max(condition_.depth, step_.depth);
        for (const Part& part : body_) {
            iteration_ += part.evaluations;
            depth_ = std::max(depth_, part.depth);
        }
    }

    void run(bool runFirst) {
        result_ = APMPUndefined();
        if (runFirst && bodyOnce() == Body::Stop) return;
        while (true) {
            // A whole iteration is counted at once when the budget allows
            // it; what an early end leaves undone is taken back.
            const bool counted = !budget_ || budget_->countAhead(iteration_, depth_);
            if ((counted ? countedIteration() : iteration()) == Body::Stop) return;
        }
    }

private:
    Part add(const APMPValueRef& value) {
        Part part{&value, code_.size(), 0, 1, 0, false, {}};
        code_.append(value);
        part.end = code_.size();
        part.single = code_.singleOperator(part.begin, part.end, part.op);
        if (value.isStatement()) {
            const APMPPlainExpression& plain = valueAs<APMPStatementValue>(value).plain();
            part.evaluations = plain.evaluations;
            part.depth = plain.depth;
        }
        return part;
    }

    const APMPValueRef* operand(const APMPValueRef* literal, std::uint16_t name) const {
        return literal ? literal : names_[name].slot;
    }

    // Runs a single operator on two numbers without its steps; the part's
    // value (a number or a truth value, never a control value) is not
    // kept. Anything else (other operands, an assignment to a name no
    // scope holds) goes the way of the steps.
    Shortcut shortcut(const Part& part, bool& truth) {
        if (!part.single) return Shortcut::NotTaken;
        const APMPPlainCode::SingleOperator& op = part.op;
        const APMPValueRef* x = operand(op.leftLiteral, op.leftName);
        const APMPValueRef* y = operand(op.rightLiteral, op.rightName);
        if (!x || !y || !x->isNumber() || !y->isNumber()) return Shortcut::NotTaken;
        APMPResolvedName* target = op.assigns >= 0 ? &names_[static_cast<std::size_t>(op.assigns)] : nullptr;
        if (target && !target->slot) return Shortcut::NotTaken;
        double number = 0;
        const APMPNumberResult made = APMPApplyToNumbers(op.form, x->numberValue(), y->numberValue(), number, truth);
        if (made == APMPNumberResult::None) return Shortcut::NotTaken;
        if (made == APMPNumberResult::Number) truth = !(number == 0 || number != number);
        if (target && target->writable) {
            *target->slot = made == APMPNumberResult::Number ? APMPNumber(number) : APMPBoolean(truth);
        }
        return Shortcut::Taken;
    }

    bool runPart(const Part& part, APMPValueStack& stack) {
        return code_.runPart(part.begin, part.end, names_.data(), stack, scope_, error_);
    }

    // Evaluates a part on its own, as the evaluator would.
    APMPValueRef evaluate(const Part& part) {
        if (part.value->isStatement() && (!budget_ || budget_->countAhead(part.evaluations, part.depth))) {
            APMPValueStack stack;
            if (!runPart(part, stack)) return APMPUndefined();
            return std::move(stack.top());
        }
        return evaluation::evaluate(*part.value, scope_, error_);
    }

    void uncount(std::uint64_t evaluations) {
        if (budget_) budget_->uncount(evaluations);
    }
    std::uint64_t bodyFrom(std::size_t i) const {
        std::uint64_t evaluations = 0;
        for (; i < body_.size(); ++i) evaluations += body_[i].evaluations;
        return evaluations;
    }

    // Ends the loop at an error.
    Body failed() {
        result_ = APMPUndefined();
        return Body::Stop;
    }

    // A body statement's value: a break ends the loop, a return ends it
    // with the return; a continue ends the pass.
    enum class Outcome { Go, Stop, Continue };
    Outcome control(const APMPValueRef& value) {
        if (!value.isControl()) return Outcome::Go;
        switch (valueAs<APMPControlValue>(value).type()) {
            case APMPControlValue::Type::Break:
                result_ = APMPUndefined();
                return Outcome::Stop;
            case APMPControlValue::Type::Return:
                result_ = value;
                return Outcome::Stop;
            case APMPControlValue::Type::Continue:
                break;
        }
        return Outcome::Continue;
    }

    Body bodyOnce() {
        for (const Part& part : body_) {
            APMPValueRef value = evaluate(part);
            if (error_) return failed();
            const Outcome outcome = control(value);
            if (outcome == Outcome::Stop) return Body::Stop;
            if (outcome == Outcome::Continue) break;
        }
        return Body::Next;
    }

    // An iteration counted part by part.
    Body iteration() {
        const bool go = evaluate(condition_).booleanValueOrError(error_);
        if (error_) return failed();
        if (!go) return Body::Stop;
        if (bodyOnce() == Body::Stop) return Body::Stop;
        evaluate(step_);
        if (error_) return failed();
        return Body::Next;
    }

    // An iteration counted ahead.
    Body countedIteration() {
        // Empty between iterations: every part's value is taken off.
        APMPValueStack& stack = stack_;
        bool go = false;
        if (shortcut(condition_, go) == Shortcut::NotTaken) {
            if (!runPart(condition_, stack)) {
                uncount(bodyFrom(0) + step_.evaluations);
                return failed();
            }
            go = stack.top().booleanValueOrError(error_);
            stack.pop();
        }
        if (error_ || !go) {
            uncount(bodyFrom(0) + step_.evaluations);
            return error_ ? failed() : Body::Stop;
        }
        bool unused = false;
        for (std::size_t i = 0; i < body_.size(); ++i) {
            if (shortcut(body_[i], unused) == Shortcut::Taken) continue;
            if (!runPart(body_[i], stack)) {
                uncount(bodyFrom(i + 1) + step_.evaluations);
                return failed();
            }
            const Outcome outcome = control(stack.top());
            stack.pop();
            if (outcome == Outcome::Stop) {
                uncount(bodyFrom(i + 1) + step_.evaluations);
                return Body::Stop;
            }
            if (outcome == Outcome::Continue) {
                uncount(bodyFrom(i + 1));
                break;
            }
        }
        if (shortcut(step_, unused) == Shortcut::Taken) return Body::Next;
        if (!runPart(step_, stack)) return failed();
        stack.pop();
        return Body::Next;
    }

    APMPScope& scope_;
    APMPValueRef& result_;
    ScriptError& error_;
    APMPBudget* budget_;
    APMPPlainCode code_;
    Part condition_{};
    Part step_{};
    std::vector<Part> body_;
    std::vector<APMPResolvedName> names_;
    APMPValueStack stack_;
    std::uint64_t iteration_ = 0;
    int depth_ = 0;
};

}  // namespace

APMPPlainLoopOutcome APMPRunPlainLoop(const APMPValueRef& condition, const APMPValueRef& step,
                                      const APMPValueList& body, bool runFirst, APMPScope& scope, APMPValueRef& result,
                                      ScriptError& error) {
    if (!isPlainPart(condition) || !isPlainPart(step)) return APMPPlainLoopOutcome::NotPlain;
    for (const auto& statement : body) {
        if (!isPlainPart(statement)) return APMPPlainLoopOutcome::NotPlain;
    }
    PlainLoop(condition, step, body, scope, result, error).run(runFirst);
    return APMPPlainLoopOutcome::Ran;
}

}  // namespace measurement
