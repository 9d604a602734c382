#pragma once

// Table-driven checks shared by the script runtime's tests.

#include <doctest/doctest.h>

#include <string>
#include <vector>

#include "measurement/script/text/script_runner.h"

namespace measurement::testing {

// The text form of programs, which the tests write theirs in.
using namespace measurement::script_text;

// A program in text form and what it must give: the described value of its
// last statement, or "error N" for a script error of code N.
struct ScriptCase {
    const char* program;
    const char* expected;
};

inline std::string outcome(const RunResult& result) {
    if (!result.assemblyError.empty()) return "assembly: " + result.assemblyError;
    if (result.error) {
        if (result.error.domain == kAPMPScriptErrorDomain) return "error " + std::to_string(result.error.code);
        return std::string(result.error.domain) + " error";
    }
    return result.value;
}

inline void checkCases(const std::vector<ScriptCase>& cases) {
    for (const auto& c : cases) {
        const RunResult result = runProgramText(c.program);
        INFO("program: " << c.program);
        INFO("decoded: " << result.decodeText);
        CHECK(outcome(result) == c.expected);
    }
}

}  // namespace measurement::testing
