// Statement evaluation: commands by code and the evaluation budget.
#include "measurement/script/evaluator.h"

#include "measurement/script/command_families.h"
#include "measurement/script/object_manager.h"
#include "measurement/script/runtime_helpers.h"

namespace measurement {

namespace {

// A value list taken from a per-thread pool and given back, emptied, when
// the command is done. Nested commands each take their own.
class ArgumentList {
public:
    ArgumentList() {
        auto& free = pool();
        if (!free.empty()) {
            list_ = std::move(free.back());
            free.pop_back();
        }
    }
    ~ArgumentList() {
        list_.clear();
        auto& free = pool();
        if (free.size() < kPoolSize) free.push_back(std::move(list_));
    }
    ArgumentList(const ArgumentList&) = delete;
    ArgumentList& operator=(const ArgumentList&) = delete;
    APMPValueList& list() { return list_; }

private:
    static constexpr std::size_t kPoolSize = 256;
    static std::vector<APMPValueList>& pool() {
        thread_local std::vector<APMPValueList> free;
        return free;
    }
    APMPValueList list_;
};

}  // namespace

APMPValueRef APMPEvaluator::evaluateStatement(const APMPRuntimeValue& value, APMPScope& scope, ScriptError& error) {
    return APMPCommandRegistrar::sharedInstance().evaluateStatement(value, scope, error);
}

APMPValueRef APMPEvaluator::executeStatements(const APMPValueList& statements, APMPScope& scope,
                                              ScriptError& error) {
    APMPValueRef result = APMPUndefined();
    for (const auto& statement : statements) {
        result = evaluateStatement(*statement, scope, error);
        if (error) return APMPUndefined();
        if (result->isControl()) return result;
    }
    return result;
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
    for (const auto& [code, handler] : _handlers) codes.push_back(code);
    return codes;
}

APMPCommandHandler APMPCommandFamily::handlerFor(const std::u16string& name) const {
    for (const auto& [code, handler] : _handlers) {
        if (code == name) return handler;
    }
    return nullptr;
}

APMPValueRef APMPCommandFamily::run(APMPCommandHandler handler, const APMPValueList& arguments, APMPScope& scope,
                                    ScriptError& error) const {
    if (exactArguments_ >= 0 && !APMPCheckArgumentCount(arguments, static_cast<std::size_t>(exactArguments_), error)) {
        return APMPUndefined();
    }
    if (mode_ == Mode::Raw) return handler(arguments, scope, error);
    // Argument lists are reused: evaluating a statement would otherwise
    // allocate one per statement.
    ArgumentList values;
    APMPEvaluateArgumentsInto(arguments, scope, error, values.list());
    if (error) return APMPUndefined();
    return handler(values.list(), scope, error);
}

APMPValueRef APMPFunctionEvaluator::evaluateCommand(const std::u16string& name, const APMPValueList& arguments,
                                                    APMPScope& scope, ScriptError& error) const {
    const APMPValueRef callee = scope.valueForName(name);
    if (!callee->isFunction()) return APMPUndefined();
    return valueAs<APMPFunctionValue>(*callee).invokeWithArguments(arguments, scope, error);
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
        APMPCommandEntry entry{evaluator.get(), family, family ? family->handlerFor(code) : nullptr};
        _commandEvaluators[code] = entry;
    }
    families_.push_back(std::move(evaluator));
}

const APMPCommandEntry* APMPCommandRegistrar::entryFor(const std::u16string& code) const {
    const auto it = _commandEvaluators.find(code);
    return it == _commandEvaluators.end() ? nullptr : &it->second;
}

APMPValueRef APMPCommandRegistrar::evaluateStatement(const APMPRuntimeValue& value, APMPScope& scope,
                                                     ScriptError& error) const {
    APMPBudget* budget = APMPBudgetOf(scope);
    if (budget && !budget->countInstruction(error)) return APMPUndefined();
    if (!value.isStatement()) return APMPValueRef(const_cast<APMPRuntimeValue*>(&value));

    const auto& statement = valueAs<APMPStatementValue>(value);
    APMPNestingGuard nesting(budget, error);
    if (!nesting.ok()) return APMPUndefined();

    bool resolved = false;
    const APMPCommandEntry* entry = statement.cachedCommand(resolved);
    if (!resolved || this != &sharedInstance()) {
        entry = entryFor(statement.functionName());
        if (this == &sharedInstance()) statement.cacheCommand(entry);
    }
    if (!entry) return _functionEvaluator.evaluateCommand(statement.functionName(), statement.arguments(), scope, error);
    if (entry->family && entry->handler) return entry->family->run(entry->handler, statement.arguments(), scope, error);
    return entry->evaluator->evaluateCommand(statement.functionName(), statement.arguments(), scope, error);
}

}  // namespace measurement
