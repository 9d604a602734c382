// Fuzz target: arbitrary bytes as an encoded program, decoded and run in a
// fresh runtime with a small budget.

#include <cstddef>
#include <cstdint>

#include "measurement/script/program_decoder.h"
#include "measurement/script/runtime.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    measurement::APMPRuntimeLimits limits;
    limits.maxInstructions = 20'000;
    limits.maxAllocationBytes = 1 << 20;
    measurement::ScriptError error;
    const auto program = measurement::APMPDecodeProgram(data, size, error, limits.maxEntityDepth);
    if (!program) return 0;
    measurement::APMPRuntime runtime(limits);
    runtime.executeStatements(program->message()->statements, program->message()->statements_count, error);
    runtime.collectGarbage();
    return 0;
}
