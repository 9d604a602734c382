// Statement evaluation: commands by code and the evaluation budget.
#include "measurement/script/evaluator.h"

#include "measurement/script/command_families.h"
#include "measurement/script/object_manager.h"
#include "measurement/script/plain_expression.h"
#include "measurement/script/runtime_helpers.h"

namespace measurement {

namespace {

// A statement whose family serves it through the handler.
APMPValueRef runThroughHandler(const APMPStatementValue& statement, APMPScope& scope, ScriptError& error) {
    const APMPCommandEntry& entry = *statement.op().entry;
    return entry.family->run(entry.handler, statement.arguments(), scope, error);
}

// A statement of a code whose evaluator is not a handler family.
APMPValueRef runThroughEvaluator(const APMPStatementValue& statement, APMPScope& scope, ScriptError& error) {
    return statement.op().entry->evaluator->evaluateCommand(statement.functionName(), statement.arguments(), scope,
                                                             error);
}

// A statement naming no code: a call of the function of that name.
APMPValueRef runFunctionCall(const APMPStatementValue& statement, APMPScope& scope, ScriptError& error) {
    const APMPValueRef* callee = scope.find(APMPName(*statement.name()));
    if (!callee || !callee->isFunction()) return APMPUndefined();
    Ref<APMPFunctionValue> function(&valueAs<APMPFunctionValue>(*callee));
    return function->invokeWithArguments(statement.arguments(), scope, error);
}

const APMPStatementOp kFunctionCallOp{runFunctionCall, nullptr};

}  // namespace

struct APMPArgumentList::Pool {
    static constexpr std::size_t kDepth = 256;
    APMPValueList lists[kDepth];
    std::size_t depth = 0;
};

APMPArgumentList::Pool& APMPArgumentList::pool() {
    thread_local Pool pool;
    return pool;
}

APMPArgumentList::APMPArgumentList() {
    Pool& lists = pool();
    if (lists.depth < Pool::kDepth) {
        list_ = &lists.lists[lists.depth++];
    } else {
        list_ = new APMPValueList();
        owned_ = true;
    }
}

APMPArgumentList::~APMPArgumentList() {
    if (owned_) {
        delete list_;
        return;
    }
    list_->clear();
    --pool().depth;
}

namespace evaluation {

APMPValueRef evaluateStatement(const APMPStatementValue& statement, APMPScope& scope, ScriptError& error) {
    APMPBudget* budget = scope.budget();
    const APMPPlainExpression& plain = statement.plain();
    // A plain expression is counted whole when the budget and the nesting
    // bound allow all of it; otherwise it goes statement by statement.
    if (plain.form != APMPPlainForm::None && (!budget || budget->countAhead(plain.evaluations, plain.depth))) {
        return statement.plainCode().run(scope, error);
    }
    if (budget && !budget->countInstruction(error)) return APMPUndefined();
    return runStatement(statement, scope, budget, error);
}

APMPValueRef executeStatements(const APMPValueRef* begin, const APMPValueRef* end, APMPScope& scope,
                               ScriptError& error) {
    APMPValueRef result = APMPUndefined();
    for (const APMPValueRef* statement = begin; statement != end; ++statement) {
        result = evaluate(*statement, scope, error);
        if (error) return APMPUndefined();
        if (result.isControl()) return result;
    }
    return result;
}

}  // namespace evaluation

APMPValueRef APMPEvaluator::evaluateStatement(const APMPValueRef& value, APMPScope& scope, ScriptError& error) {
    return evaluation::evaluate(value, scope, error);
}

APMPValueRef APMPEvaluator::executeStatements(const APMPValueList& statements, APMPScope& scope,
                                              ScriptError& error) {
    return evaluation::executeStatements(statements, scope, error);
}

APMPValueRef APMPCommandEvaluator::evaluateCommand(const std::u16string&, const APMPValueList&, APMPScope&,
                                                   ScriptError&) const {
    return APMPUndefined();
}

APMPValueRef APMPCommandFamily::evaluateCommand(const std::u16string& name, const APMPValueList& arguments,
                                                APMPScope& scope, ScriptError& error) const {
    const auto handler = handlerFor(name);
    if (!handler) return APMPUndefined();
    return run(handler, arguments, scope, error);
}

std::vector<std::u16string> APMPCommandFamily::allSupportedCommands() const {
    std::vector<std::u16string> codes;
    for (const auto& registration : _handlers) codes.push_back(registration.code);
    return codes;
}

APMPCommandHandler APMPCommandFamily::handlerFor(const std::u16string& name) const {
    for (const auto& registration : _handlers) {
        if (registration.code == name) return registration.handler;
    }
    return nullptr;
}

APMPDirectRunner APMPCommandFamily::directRunnerFor(const std::u16string& name) const {
    for (const auto& registration : _handlers) {
        if (registration.code == name) return registration.direct;
    }
    return {};
}

APMPValueRef APMPCommandFamily::run(APMPCommandHandler handler, const APMPValueList& arguments, APMPScope& scope,
                                    ScriptError& error) const {
    if (exactArguments_ >= 0 && !APMPCheckArgumentCount(arguments, static_cast<std::size_t>(exactArguments_), error)) {
        return APMPUndefined();
    }
    if (mode_ == Mode::Raw) return handler(arguments, scope, error);
    APMPArgumentList values;
    APMPEvaluateArgumentsInto(arguments, scope, error, values.list());
    if (error) return APMPUndefined();
    return handler(values.list(), scope, error);
}

APMPValueRef APMPFunctionEvaluator::evaluateCommand(const std::u16string& name, const APMPValueList& arguments,
                                                    APMPScope& scope, ScriptError& error) const {
    const APMPValueRef callee = scope.valueForName(name);
    if (!callee->isFunction()) return APMPUndefined();
    return valueAs<APMPFunctionValue>(callee).invokeWithArguments(arguments, scope, error);
}

APMPCommandRegistrar::APMPCommandRegistrar() {
    registerEvaluator(std::make_unique<APMPBitwiseCommandEvaluator>());
    registerEvaluator(std::make_unique<APMPComparisonCommandEvaluator>());
    registerEvaluator(std::make_unique<APMPControlCommandEvaluator>());
    registerEvaluator(std::make_unique<APMPLogicalCommandEvaluator>());
    registerEvaluator(std::make_unique<APMPLoopCommandEvaluator>());
    registerEvaluator(std::make_unique<APMPMathCommandEvaluator>());
    registerEvaluator(std::make_unique<APMPVariableCommandEvaluator>());
}

APMPCommandRegistrar::~APMPCommandRegistrar() = default;

void APMPCommandRegistrar::registerEvaluator(std::unique_ptr<APMPCommandEvaluator> evaluator) {
    const auto* family = dynamic_cast<const APMPCommandFamily*>(evaluator.get());
    for (const auto& code : evaluator->allSupportedCommands()) {
        auto entry = std::make_unique<APMPCommandEntry>();
        entry->evaluator = evaluator.get();
        entry->family = family;
        entry->handler = family ? family->handlerFor(code) : nullptr;
        entry->op = {entry->handler ? runThroughHandler : runThroughEvaluator, entry.get()};
        if (family) {
            const APMPDirectRunner direct = family->directRunnerFor(code);
            if (direct.run) {
                entry->directOp = {direct.run, entry.get(), direct.form};
                entry->directAccepts = direct.accepts;
            }
        }
        _commandEvaluators[code] = std::move(entry);
    }
    families_.push_back(std::move(evaluator));
}

const APMPCommandEntry* APMPCommandRegistrar::entryFor(const std::u16string& code) const {
    const auto it = _commandEvaluators.find(code);
    return it == _commandEvaluators.end() ? nullptr : it->second.get();
}

const APMPStatementOp& APMPCommandRegistrar::opFor(const std::u16string& name, const APMPValueList& arguments) const {
    const APMPCommandEntry* entry = entryFor(name);
    if (!entry) return kFunctionCallOp;
    if (entry->directOp.run && (!entry->directAccepts || entry->directAccepts(arguments))) return entry->directOp;
    return entry->op;
}

APMPValueRef APMPCommandRegistrar::evaluateStatement(const APMPValueRef& value, APMPScope& scope,
                                                     ScriptError& error) const {
    if (this == &sharedInstance()) return evaluation::evaluate(value, scope, error);
    // A registrar of its own: its table decides, at every evaluation.
    APMPBudget* budget = scope.budget();
    if (budget && !budget->countInstruction(error)) return APMPUndefined();
    if (!value.isStatement()) return value;
    const auto& statement = valueAs<APMPStatementValue>(value);
    APMPNestingGuard nesting(budget, error);
    if (!nesting.ok()) return APMPUndefined();
    const APMPCommandEntry* entry = entryFor(statement.functionName());
    if (!entry) {
        return _functionEvaluator.evaluateCommand(statement.functionName(), statement.arguments(), scope, error);
    }
    return entry->evaluator->evaluateCommand(statement.functionName(), statement.arguments(), scope, error);
}

}  // namespace measurement
