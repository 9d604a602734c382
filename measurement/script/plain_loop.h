#pragma once

// The conditional loop when its condition, step and body are all plain
// expressions or literals.

#include "measurement/script/runtime_value.h"
#include "measurement/script/scope.h"

namespace measurement {

// What became of a plain loop.
enum class APMPPlainLoopOutcome {
    // Not a plain loop: nothing has run.
    NotPlain,
    // The loop ran; its result (or error) is set.
    Ran,
};

// Runs the conditional loop (the body first once when runFirst is set)
// when every part of it is a plain expression or a literal. Such a loop
// declares nothing and calls nothing, so no scope gains or loses a name
// while it runs: each name is resolved to its slot once, before the first
// iteration. Each statement is still counted whole when the budget allows
// it, or evaluated statement by statement when it does not.
APMPPlainLoopOutcome APMPRunPlainLoop(const APMPValueRef& condition, const APMPValueRef& step,
                                      const APMPValueList& body, bool runFirst, APMPScope& scope, APMPValueRef& result,
                                      ScriptError& error);

}  // namespace measurement
