#pragma once

// The statement evaluator.

#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "measurement/script/runtime_value.h"

namespace measurement {

// Statement evaluation (class operations only).
class APMPEvaluator {
public:
    // Counts one evaluation; a statement runs its command, a literal yields
    // itself.
    static APMPValueRef evaluateStatement(const APMPRuntimeValue& value, APMPScope& scope, ScriptError& error);
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
    // Runs one of this family's handlers in the family's mode.
    APMPValueRef run(APMPCommandHandler handler, const APMPValueList& arguments, APMPScope& scope,
                     ScriptError& error) const;

protected:
    // exactArguments >= 0: the count every command of the family takes,
    // checked before anything is evaluated.
    explicit APMPCommandFamily(Mode mode, int exactArguments = -1) : mode_(mode), exactArguments_(exactArguments) {}
    void add(const char16_t* code, APMPCommandHandler handler) { _handlers.emplace_back(code, handler); }

private:
    Mode mode_;
    int exactArguments_;
    std::vector<std::pair<std::u16string, APMPCommandHandler>> _handlers;
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
};

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
    APMPValueRef evaluateStatement(const APMPRuntimeValue& value, APMPScope& scope, ScriptError& error) const;
    // The entry for a code, or nullptr when no family claims it.
    const APMPCommandEntry* entryFor(const std::u16string& code) const;

private:
    std::vector<std::unique_ptr<APMPCommandEvaluator>> families_;
    std::unordered_map<std::u16string, APMPCommandEntry> _commandEvaluators;
    APMPFunctionEvaluator _functionEvaluator;
};

inline const APMPCommandRegistrar& APMPCommandRegistrar::sharedInstance() {
    static const APMPCommandRegistrar registrar;
    return registrar;
}

}  // namespace measurement
