// Tests of the runtime's limits: depth, budget and memory.
#include <doctest/doctest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "measurement/script/program_decoder.h"
#include "measurement/script/run_budget.h"
#include "measurement/script/runtime.h"
#include "measurement/script/script_test_support.h"
#include "measurement/script/text/program_text.h"

using namespace measurement;
using namespace measurement::testing;

namespace {

// An APMPBProgram of one statement "13" nested depth levels deep around the
// number 1. Written back to front, so that each level's length prefix is
// known when it is written and nothing is copied or recursed.
std::vector<std::uint8_t> deeplyNestedProgram(int depth) {
    std::vector<std::uint8_t> reversed = encodeEntity(EntityNode::number(1));
    std::reverse(reversed.begin(), reversed.end());
    const std::vector<std::uint8_t> head = {0x08, 0x04, 0x1a, 0x02, '1', '3'};  // type 4, name "13"
    auto wrap = [&reversed](std::uint8_t field, const std::vector<std::uint8_t>& prefix) {
        std::vector<std::uint8_t> front = prefix;
        front.push_back(static_cast<std::uint8_t>(field << 3 | 2));
        std::size_t n = reversed.size();
        while (n >= 0x80) {
            front.push_back(static_cast<std::uint8_t>(n | 0x80));
            n >>= 7;
        }
        front.push_back(static_cast<std::uint8_t>(n));
        reversed.insert(reversed.end(), front.rbegin(), front.rend());
    };
    for (int i = 1; i < depth; ++i) wrap(2, head);
    wrap(1, {});
    return {reversed.rbegin(), reversed.rend()};
}

// The same nesting as a decoded message built in memory.
struct NestedEntities {
    explicit NestedEntities(int depth) : entities(static_cast<std::size_t>(depth)) {
        static char name[] = "13";
        nameBytes.resize(sizeof(pb_bytes_array_t) + 2);
        auto* bytes = reinterpret_cast<pb_bytes_array_t*>(nameBytes.data());
        bytes->size = 2;
        std::memcpy(bytes->bytes, name, 2);
        for (std::size_t i = 0; i < entities.size(); ++i) {
            auto& e = entities[i];
            e = nano_APMPBRuntimeEntity_init_zero;
            e.has_type = true;
            if (i + 1 < entities.size()) {
                e.type = 4;
                e.name = bytes;
                e.entities_count = 1;
                e.entities = &entities[i + 1];
            } else {
                e.type = 2;
                e.has_number_value = true;
                e.number_value = 1;
            }
        }
    }
    std::vector<nano_APMPBRuntimeEntity> entities;
    std::vector<std::uint8_t> nameBytes;
};

}  // namespace

TEST_CASE("deep nesting ends in a clean error") {
    SUBCASE("a program nested 100,000 levels deep does not load") {
        const auto bytes = deeplyNestedProgram(100'000);
        ScriptError error;
        CHECK_FALSE(APMPDecodeProgram(bytes.data(), bytes.size(), error));
        CHECK(error.is(12));
        CHECK(runProgramBytes(bytes).failedWith(12));
    }
    SUBCASE("nesting within the limit loads and runs") {
        const auto result = runProgramBytes(deeplyNestedProgram(200));
        CHECK_FALSE(result.error);
        CHECK(result.value == "1");
    }
    SUBCASE("an in-memory entity tree 100,000 levels deep does not convert") {
        NestedEntities nested(100'000);
        APMPRuntime runtime;
        ScriptError error;
        runtime.executeStatements(nested.entities.data(), 1, error);
        CHECK(error.is(12));
    }
    SUBCASE("unbounded recursion fails with 18") {
        const auto result = runProgramText("(function \"f\" (array \"n\") (return (\"f\" (add $n 1)))) (\"f\" 0)");
        CHECK(result.failedWith(18));
        CHECK(result.evaluations < 1'000'000);
    }
    SUBCASE("data nested 100,000 levels deep is converted, collected and freed without recursion") {
        const auto baseline = APMPLiveObjectCount();
        {
            APMPRuntime runtime;
            const auto declare = encodeProgram(assemble("(var \"a\" \"i\") (set \"a\" (array))").program);
            // Two runs of 50,000 levels each stay within the per-run budget.
            const auto build = encodeProgram(
                assemble("(set \"i\" 0) (while (lt $i 50000) (set \"i\" (add $i 1)) false "
                         "(code (set \"a\" (array $a))))")
                    .program);
            auto result = runProgramBytes(runtime, declare);
            REQUIRE_FALSE(result.error);
            for (int run = 0; run < 2; ++run) {
                result = runProgramBytes(runtime, build);
                REQUIRE_FALSE(result.error);
            }
            // Its string form is too deep to build: a clean error, not a crash.
            result = runProgramBytes(runtime, encodeProgram(assemble("(add $a \"\")").program));
            CHECK(result.failedWith(18));
            runtime.collectGarbage();
        }
        CHECK(APMPLiveObjectCount() == baseline);
    }
}

TEST_CASE("allocation is bounded") {
    checkCases({
        {"(var \"a\") (set \"a\" (array)) (setprop $a 1e9 1)", "error 11"},
        {"(var \"a\") (set \"a\" (array)) (setprop $a \"length\" 4e9)", "error 11"},
        {"(var \"a\") (set \"a\" (array)) (setprop $a \"length\" 1e300)", "error 11"},
        {"(var \"a\") (set \"a\" (array)) (setprop $a 1e300 1)", "error 11"},
        // Within the length cap but beyond what one run may allocate.
        {"(var \"a\") (set \"a\" (array)) (setprop $a 16000000 1)", "error 18"},
        // Doubling a string.
        {"(var \"s\") (set \"s\" \"x\") (while true (set \"s\" (add $s $s)) false (code))", "error 18"},
        // Doubling an array.
        {"(var \"a\") (set \"a\" (array 1)) (while true (set \"a\" (call $a \"concat\" (array $a))) false (code))",
         "error 18"},
        {"(var \"s\") (set \"s\" \"xxxxxxxxxxxxxxxx\") (while true undefined false "
         "(code (set \"s\" (call $s \"concat\" (array $s $s)))))",
         "error 18"},
    });
    // The allocation budget is per run: a reset gives the next run its own.
    APMPRuntimeLimits limits;
    limits.maxAllocationBytes = 4096;
    APMPRuntime runtime(limits);
    const auto bytes = encodeProgram(assemble("(var \"a\") (set \"a\" (array)) (setprop $a 200 1) 1").program);
    CHECK_FALSE(runProgramBytes(runtime, bytes).error);
    CHECK_FALSE(runProgramBytes(runtime, bytes).error);
    const auto big = encodeProgram(assemble("(setprop $a 1000 1)").program);
    CHECK(runProgramBytes(runtime, big).failedWith(18));
    // Every byte of the budget may be spent; the next one fails with 18.
    APMPBudget budget(limits);
    ScriptError error;
    CHECK(budget.charge(4000, error));
    CHECK(budget.charge(96, error));
    CHECK_FALSE(error);
    CHECK_FALSE(budget.charge(1, error));
    CHECK(error.is(18));
}

TEST_CASE("the strings a loop or a split makes count against the run's allocation") {
    APMPRuntimeLimits limits;
    limits.maxAllocationBytes = 16 * 1024;
    // A literal costs nothing; one string per unit of it costs far more
    // than the budget.
    const std::string text = "(var \"s\" \"a\") (set \"s\" \"" + std::string(2000, 'x') + "\") ";
    const char* const programs[] = {
        "(forof \"c\" $s (code))",
        "(forofconst \"c\" $s (code))",
        "(forin \"k\" $s (code))",
        "(call $s \"split\" (array \"\"))",
        "(set \"a\" (call $s \"split\" (array \"x\")))",
    };
    for (const std::string program : programs) {
        CAPTURE(program);
        CHECK(runProgramText(text + program, limits).failedWith(18));
        // Within the budget the same program runs.
        CHECK_FALSE(runProgramText(text + program).error);
    }
    // A key loop over an array pays for the index names it makes.
    const std::string array = "(var \"a\" \"k\") (set \"a\" (call \"" + std::string(1000, 'x') +
                              "\" \"split\" (array \"\")))";
    limits.maxAllocationBytes = 100 * 1024;
    CHECK_FALSE(runProgramText(array, limits).error);
    CHECK(runProgramText(array + " (forin \"k\" $a (code))", limits).failedWith(18));
}

TEST_CASE("regular expressions run under a time and stack limit") {
    // Catastrophic backtracking: (a+)+b against a long run of a's.
    const std::string text(40, 'a');
    const std::string program = "(call \"" + text + "\" \"search\" (array \"(a+)+b\"))";
    const auto result = runProgramText(program);
    CHECK(result.failedWith(18));
    const std::string deep = "(call \"" + std::string(60000, 'a') + "\" \"match\" (array \"(a|b)*c\"))";
    const auto deepResult = runProgramText(deep);
    INFO(measurement::testing::outcome(deepResult));
    CHECK(deepResult.failedWith(18));
    // An ordinary match is unaffected.
    CHECK(runProgramText("(call \"" + text + "b\" \"search\" (array \"a+b\"))").value == "0");
}
