#include "measurement/script/plain_loop.h"

#include <vector>

#include "measurement/script/evaluator.h"
#include "measurement/script/plain_expression.h"

namespace measurement {

namespace {

// One part of the loop: a plain statement with its resolved names, or a
// value that yields itself.
struct Part {
    const APMPValueRef* value;
    const APMPStatementValue* statement = nullptr;
    const APMPPlainCode* code = nullptr;
    std::size_t firstName = 0;
};

bool isPlainPart(const APMPValueRef& value) {
    return !value.isStatement() || valueAs<APMPStatementValue>(value).plain().form != APMPPlainForm::None;
}

class PlainLoop {
public:
    PlainLoop(APMPScope& scope, ScriptError& error) : scope_(scope), error_(error), budget_(scope.budget()) {}

    void add(const APMPValueRef& value) {
        Part part{&value};
        if (value.isStatement()) {
            part.statement = &valueAs<APMPStatementValue>(value);
            part.code = &part.statement->plainCode();
            part.firstName = names_.size();
            for (const APMPName& name : part.code->names()) {
                APMPResolvedName resolved;
                resolved.slot = scope_.resolve(name, resolved.writable);
                names_.push_back(resolved);
            }
        }
        parts_.push_back(part);
    }

    // Evaluates one part as the evaluator would.
    APMPValueRef evaluate(const Part& part) {
        if (!part.statement) return evaluation::evaluate(*part.value, scope_, error_);
        const APMPPlainExpression& plain = part.statement->plain();
        if (budget_ && !budget_->countAhead(plain.evaluations, plain.depth)) {
            return evaluation::evaluate(*part.value, scope_, error_);
        }
        return part.code->run(names_.data() + part.firstName, scope_, error_);
    }

    const Part& part(std::size_t i) const { return parts_[i]; }
    std::size_t count() const { return parts_.size(); }

private:
    APMPScope& scope_;
    ScriptError& error_;
    APMPBudget* budget_;
    std::vector<Part> parts_;
    std::vector<APMPResolvedName> names_;
};

enum class Body { Next, Stop };

// Runs the body (parts from 2 on) once, as a statement list: an error or
// a break ends the loop with undefined, a return with the control value.
Body runBody(PlainLoop& loop, APMPValueRef& result, ScriptError& error) {
    for (std::size_t i = 2; i < loop.count(); ++i) {
        APMPValueRef outcome = loop.evaluate(loop.part(i));
        if (error) {
            result = APMPUndefined();
            return Body::Stop;
        }
        if (!outcome.isControl()) continue;
        const auto type = valueAs<APMPControlValue>(outcome).type();
        if (type == APMPControlValue::Type::Break) {
            result = APMPUndefined();
            return Body::Stop;
        }
        if (type == APMPControlValue::Type::Return) {
            result = std::move(outcome);
            return Body::Stop;
        }
        return Body::Next;
    }
    return Body::Next;
}

}  // namespace

APMPPlainLoopOutcome APMPRunPlainLoop(const APMPValueRef& condition, const APMPValueRef& step, const APMPValueList& body,
                                      bool runFirst, APMPScope& scope, APMPValueRef& result, ScriptError& error) {
    if (!isPlainPart(condition) || !isPlainPart(step)) return APMPPlainLoopOutcome::NotPlain;
    for (const auto& statement : body) {
        if (!isPlainPart(statement)) return APMPPlainLoopOutcome::NotPlain;
    }
    PlainLoop loop(scope, error);
    loop.add(condition);
    loop.add(step);
    for (const auto& statement : body) loop.add(statement);

    result = APMPUndefined();
    if (runFirst && runBody(loop, result, error) == Body::Stop) return APMPPlainLoopOutcome::Ran;
    while (true) {
        const bool go = loop.evaluate(loop.part(0)).booleanValueOrError(error);
        if (error) {
            result = APMPUndefined();
            return APMPPlainLoopOutcome::Ran;
        }
        if (!go) break;
        if (runBody(loop, result, error) == Body::Stop) return APMPPlainLoopOutcome::Ran;
        loop.evaluate(loop.part(1));
        if (error) {
            result = APMPUndefined();
            return APMPPlainLoopOutcome::Ran;
        }
    }
    result = APMPUndefined();
    return APMPPlainLoopOutcome::Ran;
}

}  // namespace measurement
