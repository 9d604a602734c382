#pragma once

// Runs programs and prints their values.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/script/object_manager.h"
#include "measurement/script/runtime.h"

namespace measurement::script_text {

// A value as JSON-like text: numbers in the runtime's string form, strings
// quoted, true, false, null, undefined, arrays and maps (keys in insertion
// order) as JSON; holes as <hole>, functions as <function NAME>, control
// values as <break>, <continue>, <return VALUE>; a value met again inside
// itself as <cycle>.
std::string describeValue(const APMPValueRef& value);

struct RunResult {
    std::string value;      // describeValue of the last statement's value
    ScriptError error;
    std::int64_t evaluations = 0;
    std::string assemblyError;  // set when the text did not assemble
    std::string decodeText;     // the decoded program, disassembled

    bool failedWith(long code) const { return error.is(code); }
};

// Assembles the text, encodes it, decodes the bytes as the runtime does and
// runs the statements in a fresh runtime.
RunResult runProgramText(std::string_view text, const APMPRuntimeLimits& limits = {});
// Decodes and runs encoded APMPBProgram bytes in a fresh runtime.
RunResult runProgramBytes(const std::vector<std::uint8_t>& bytes, const APMPRuntimeLimits& limits = {});
// Assembles the text, takes it through encoding and decoding, and evaluates
// its statements in the scope (no budget reset). Text that does not
// assemble fails with 12.
APMPValueRef evaluateText(APMPScope& scope, std::string_view text, ScriptError& error);
// Runs encoded bytes in the given runtime (after a budget reset).
RunResult runProgramBytes(APMPRuntime& runtime, const std::vector<std::uint8_t>& bytes);

}  // namespace measurement::script_text
