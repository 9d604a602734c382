#pragma once

// Plain expressions compiled to a short list of steps over a small stack
// of values, run in a scope or with their names resolved to slots.

#include <cstdint>
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

// The steps of one plain expression in evaluation order: literals and
// variable reads push a value, an operator replaces the top two by its
// result, an assignment stores the top. Nothing is counted here: the
// expression's evaluations have been counted before it runs.
class APMPPlainCode {
public:
    // The most values an expression may hold at once.
    static constexpr std::uint8_t kMaxStack = 16;

    explicit APMPPlainCode(const APMPStatementValue& statement);

    // The names the expression reads or assigns, each once.
    const std::vector<APMPName>& names() const { return names_; }
    // Runs with every name looked up in the scope chain.
    APMPValueRef run(APMPScope& scope, ScriptError& error) const;
    // Runs with the names resolved: one entry per names() entry.
    APMPValueRef run(const APMPResolvedName* names, APMPScope& scope, ScriptError& error) const;

private:
    enum class Kind : std::uint8_t { Literal, Read, Assign, Operator };
    struct Step {
        Kind kind;
        APMPPlainForm form;
        std::uint16_t name;
        const APMPValueRef* literal;
    };

    void compile(const APMPValueRef& value);
    std::uint16_t nameIndex(const APMPStringValue& name);
    template <class Names>
    APMPValueRef execute(const Names& names, APMPScope& scope, ScriptError& error) const;

    std::vector<Step> steps_;
    std::vector<APMPName> names_;
};

}  // namespace measurement
