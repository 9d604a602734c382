#pragma once

// The statement evaluator.

#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "measurement/script/runtime_value.h"
#include "measurement/script/scope.h"

namespace measurement {

// Statement evaluation (class operations only).
class APMPEvaluator {
public:
    // Counts one evaluation; a statement runs its command, a literal yields
    // itself.
    static APMPValueRef evaluateStatement(const APMPValueRef& value, APMPScope& scope, ScriptError& error);
    // Evaluates the values in order from undefined; stops at the first error
    // (undefined) and at the first control value (yielded).
    static APMPValueRef executeStatements(const APMPValueList& statements, APMPScope& scope, ScriptError& error);
};

// The base of the command families: no commands, every code yields
// undefined.
class APMPCommandEvaluator {
public:
    virtual ~APMPCommandEvaluator() = default;
    virtual APMPValueRef evaluateCommand(const std::u16string& name, const APMPValueList& arguments,
                                         APMPScope& scope, ScriptError& error) const;
    virtual std::vector<std::u16string> allSupportedCommands() const { return {}; }
};

// A command handler: on failure it sets the error and yields undefined.
using APMPCommandHandler = APMPValueRef (*)(const APMPValueList& arguments, APMPScope& scope, ScriptError& error);

struct APMPCommandEntry;

// A statement's command, resolved once when the statement is made: the
// runner, and the registrar's entry it serves (none for a call of a
// function by name).
struct APMPStatementOp {
    APMPStatementRunner run = nullptr;
    const APMPCommandEntry* entry = nullptr;
    // The part the statement may play in a plain expression.
    APMPPlainForm form = APMPPlainForm::None;
};

// A runner that serves some statements of a code directly, with the
// shapes of argument list it accepts (checked once, when a statement is
// made). Every other statement of the code runs through the handler.
struct APMPDirectRunner {
    APMPStatementRunner run = nullptr;
    bool (*accepts)(const APMPValueList& arguments) = nullptr;
    APMPPlainForm form = APMPPlainForm::None;
};

// A family of commands served by handler functions, each registered under
// its code. Evaluated-mode families evaluate every argument first; raw-mode
// families hand the arguments over unevaluated.
class APMPCommandFamily : public APMPCommandEvaluator {
public:
    enum class Mode { Evaluated, Raw };

    APMPValueRef evaluateCommand(const std::u16string& name, const APMPValueList& arguments, APMPScope& scope,
                                 ScriptError& error) const override;
    std::vector<std::u16string> allSupportedCommands() const override;
    APMPCommandHandler handlerFor(const std::u16string& name) const;
    APMPDirectRunner directRunnerFor(const std::u16string& name) const;
    // Runs one of this family's handlers in the family's mode.
    APMPValueRef run(APMPCommandHandler handler, const APMPValueList& arguments, APMPScope& scope,
                     ScriptError& error) const;

protected:
    // exactArguments >= 0: the count every command of the family takes,
    // checked before anything is evaluated.
    explicit APMPCommandFamily(Mode mode, int exactArguments = -1) : mode_(mode), exactArguments_(exactArguments) {}
    void add(const char16_t* code, APMPCommandHandler handler, APMPDirectRunner direct = {}) {
        _handlers.push_back({code, handler, direct});
    }

private:
    struct Registration {
        std::u16string code;
        APMPCommandHandler handler;
        APMPDirectRunner direct;
    };
    Mode mode_;
    int exactArguments_;
    std::vector<Registration> _handlers;
};

// Calls a function of the statement's name found in scope; anything else
// yields undefined without an error.
class APMPFunctionEvaluator final : public APMPCommandEvaluator {
public:
    APMPValueRef evaluateCommand(const std::u16string& name, const APMPValueList& arguments, APMPScope& scope,
                                 ScriptError& error) const override;
};

// What the registrar found for a code.
struct APMPCommandEntry {
    const APMPCommandEvaluator* evaluator = nullptr;
    // Set when the evaluator is a handler family.
    const APMPCommandFamily* family = nullptr;
    APMPCommandHandler handler = nullptr;
    // The op of statements the handler runs, and of those a direct runner
    // serves.
    APMPStatementOp op;
    APMPStatementOp directOp;
    bool (*directAccepts)(const APMPValueList& arguments) = nullptr;
};

// What a statement of this form and these arguments is as a plain
// expression (form None when it is not one).
APMPPlainExpression APMPAnalysePlainExpression(APMPPlainForm form, const APMPValueList& arguments);

// The process-wide table from command code to family; read-only once built.
class APMPCommandRegistrar {
public:
    static const APMPCommandRegistrar& sharedInstance();
    APMPCommandRegistrar();
    ~APMPCommandRegistrar();
    APMPCommandRegistrar(const APMPCommandRegistrar&) = delete;
    APMPCommandRegistrar& operator=(const APMPCommandRegistrar&) = delete;

    // Maps every code of the family to it; a later family replaces an
    // earlier one for a code both claim.
    void registerEvaluator(std::unique_ptr<APMPCommandEvaluator> evaluator);
    APMPValueRef evaluateStatement(const APMPValueRef& value, APMPScope& scope, ScriptError& error) const;
    // The entry for a code, or nullptr when no family claims it.
    const APMPCommandEntry* entryFor(const std::u16string& code) const;
    // What runs a statement of this name and these arguments.
    const APMPStatementOp& opFor(const std::u16string& name, const APMPValueList& arguments) const;

private:
    std::vector<std::unique_ptr<APMPCommandEvaluator>> families_;
    std::unordered_map<std::u16string, std::unique_ptr<APMPCommandEntry>> _commandEvaluators;
    APMPFunctionEvaluator _functionEvaluator;
};

// The evaluation core, shared by the registrar, the families and the
// method tables.
namespace evaluation {

// Runs a statement whose evaluation has been counted.
inline APMPValueRef runStatement(const APMPStatementValue& statement, APMPScope& scope, APMPBudget* budget,
                                 ScriptError& error) {
    APMPNestingGuard nesting(budget, error);
    if (!nesting.ok()) return APMPUndefined();
    return statement.op().run(statement, scope, error);
}

// Counts and runs a statement.
APMPValueRef evaluateStatement(const APMPStatementValue& statement, APMPScope& scope, ScriptError& error);

// One evaluation: counted; a statement runs, anything else yields itself.
inline APMPValueRef evaluate(const APMPValueRef& value, APMPScope& scope, ScriptError& error) {
    if (value.isStatement()) return evaluateStatement(valueAs<APMPStatementValue>(value), scope, error);
    APMPBudget* budget = scope.budget();
    if (budget && !budget->countInstruction(error)) return APMPUndefined();
    return value;
}

// Evaluates the values in order; stops at the first error and at the
// first control value.
APMPValueRef executeStatements(const APMPValueRef* begin, const APMPValueRef* end, APMPScope& scope,
                               ScriptError& error);
inline APMPValueRef executeStatements(const APMPValueList& statements, APMPScope& scope, ScriptError& error) {
    return executeStatements(statements.data(), statements.data() + statements.size(), scope, error);
}

}  // namespace evaluation

// A value list taken from a per-thread pool and given back, emptied, when
// it goes: evaluating arguments would otherwise allocate a list per
// command. Nested commands each take their own, one level deeper; beyond
// the pool's depth a list of its own is made.
class APMPArgumentList {
public:
    APMPArgumentList();
    ~APMPArgumentList();
    APMPArgumentList(const APMPArgumentList&) = delete;
    APMPArgumentList& operator=(const APMPArgumentList&) = delete;
    APMPValueList& list() { return *list_; }

private:
    // The lists of one thread, taken and given back in stack order.
    struct Pool;
    static Pool& pool();
    APMPValueList* list_;
    bool owned_ = false;
};

inline const APMPCommandRegistrar& APMPCommandRegistrar::sharedInstance() {
    static const APMPCommandRegistrar registrar;
    return registrar;
}

}  // namespace measurement
