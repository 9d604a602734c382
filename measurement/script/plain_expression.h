#pragma once

// Plain expressions compiled to a short list of steps over a small stack
// of values, run in a scope or with their names resolved to slots.

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include "measurement/script/property_map.h"
#include "measurement/script/runtime_value.h"
#include "measurement/script/scope.h"

namespace measurement {

// A name of a plain expression resolved once for a stretch of evaluation
// in which no scope on the chain gains or loses a name (see
// APMPScope::resolve).
struct APMPResolvedName {
    // The value its reads and writes use; nullptr when no scope holds it.
    APMPValueRef* slot = nullptr;
    // Whether an assignment stores (else it is silently ignored).
    bool writable = false;
};

// The values plain code holds while it runs, freed when it ends.
class APMPValueStack {
public:
    static constexpr std::size_t kCapacity = 16;
    APMPValueStack() = default;
    APMPValueStack(const APMPValueStack&) = delete;
    APMPValueStack& operator=(const APMPValueStack&) = delete;
    ~APMPValueStack() { clear(); }
    void push(const APMPValueRef& value) { new (&at(size_++)) APMPValueRef(value); }
    void push(APMPValueRef&& value) { new (&at(size_++)) APMPValueRef(std::move(value)); }
    APMPValueRef& top() { return at(size_ - 1); }
    APMPValueRef& below() { return at(size_ - 2); }
    void pop() { at(--size_).~APMPValueRef(); }
    void clear() {
        while (size_ > 0) pop();
    }

private:
    APMPValueRef& at(std::size_t i) { return reinterpret_cast<APMPValueRef*>(storage_)[i]; }
    alignas(APMPValueRef) unsigned char storage_[kCapacity * sizeof(APMPValueRef)];
    std::size_t size_ = 0;
};

// What an operator makes of two numbers: a number, a truth value, or
// nothing when the operator takes no shortcut.
enum class APMPNumberResult { Number, Truth, None };

[[gnu::always_inline]] inline APMPNumberResult APMPApplyToNumbers(APMPPlainForm form, double x, double y,
                                                                 double& number, bool& truth) {
    switch (form) {
        case APMPPlainForm::Add:
            number = x + y;
            return APMPNumberResult::Number;
        case APMPPlainForm::Subtract:
            number = x - y;
            return APMPNumberResult::Number;
        case APMPPlainForm::Multiply:
            number = x * y;
            return APMPNumberResult::Number;
        case APMPPlainForm::Divide:
            number = x / y;
            return APMPNumberResult::Number;
        case APMPPlainForm::Less:
            truth = x < y;
            return APMPNumberResult::Truth;
        case APMPPlainForm::LessOrEqual:
            truth = x <= y;
            return APMPNumberResult::Truth;
        case APMPPlainForm::Greater:
            truth = x > y;
            return APMPNumberResult::Truth;
        case APMPPlainForm::GreaterOrEqual:
            truth = x >= y;
            return APMPNumberResult::Truth;
        case APMPPlainForm::LooseEqual:
        case APMPPlainForm::StrictEqual:
            truth = x == y;
            return APMPNumberResult::Truth;
        case APMPPlainForm::LooseNotEqual:
        case APMPPlainForm::StrictNotEqual:
            truth = !(x == y);
            return APMPNumberResult::Truth;
        default:
            return APMPNumberResult::None;
    }
}

// The steps of plain expressions in evaluation order: literals and
// variable reads push a value, an operator replaces the top two by its
// result, an assignment stores the top. A code holds one expression, or
// several parts one after another (a loop's condition, body and step),
// each leaving its value on the stack. Nothing is counted here: the
// evaluations have been counted before the steps run.
class APMPPlainCode {
public:
    // The most values an expression may hold at once.
    static constexpr std::uint8_t kMaxStack = APMPValueStack::kCapacity;

    APMPPlainCode() = default;
    explicit APMPPlainCode(const APMPStatementValue& statement);

    // Appends a part: a plain expression, or any other value, which
    // yields itself. The part must outlive the code.
    void append(const APMPValueRef& part);
    // The steps so far: a part appended now starts here.
    std::size_t size() const { return steps_.size(); }

    // The names the code reads or assigns, each once.
    const std::vector<APMPName>& names() const { return names_; }

    // A part made of one operator on a literal or a variable read on
    // each side, whose result may go to a variable: what a loop can run
    // without the steps when both operands are numbers.
    struct SingleOperator {
        APMPPlainForm form;
        // A literal operand, or the index in names() of the one read.
        const APMPValueRef* leftLiteral;
        std::uint16_t leftName;
        const APMPValueRef* rightLiteral;
        std::uint16_t rightName;
        // The index in names() of the variable assigned, or -1.
        int assigns;
    };
    // The steps [begin, end) as one such operator, if they are one.
    bool singleOperator(std::size_t begin, std::size_t end, SingleOperator& single) const;
    // Runs a code of one expression with every name looked up in the
    // scope chain.
    APMPValueRef run(APMPScope& scope, ScriptError& error) const;
    // Runs the steps [begin, end), which leave one value on the stack;
    // false (and the error set) when a step fails.
    bool runPart(std::size_t begin, std::size_t end, const APMPResolvedName* names, APMPValueStack& stack,
                 APMPScope& scope, ScriptError& error) const;

private:
    enum class Kind : std::uint8_t { Literal, Read, Assign, Operator };
    // Where an operator finds an operand: on the stack, or read in place
    // (a literal, or a variable read just before the operator runs).
    enum class Source : std::uint8_t { Stack, Literal, Name };
    struct Operand {
        Source source = Source::Stack;
        std::uint16_t name = 0;
        const APMPValueRef* literal = nullptr;
    };
    struct Step {
        Kind kind;
        APMPPlainForm form;
        // An operator whose result is assigned to `name` right away.
        bool assigns;
        // The name of a read or an assignment.
        std::uint16_t name;
        // The value of a literal; the operands of an operator.
        const APMPValueRef* literal;
        Operand left;
        Operand right;
    };

    void compile(const APMPValueRef& value);
    // An operand that needs no step of its own, if the value is one.
    bool leaf(const APMPValueRef& value, Operand& operand);
    std::uint16_t nameIndex(const APMPStringValue& name);
    template <class Names>
    bool execute(std::size_t begin, std::size_t end, const Names& names, APMPValueStack& stack, APMPScope& scope,
                 ScriptError& error) const;

    std::vector<Step> steps_;
    std::vector<APMPName> names_;
};

}  // namespace measurement
