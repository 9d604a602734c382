// Random programs run against the runtime's limits.
#include <doctest/doctest.h>

#include <random>
#include <string>

#include "measurement/script/object_manager.h"
#include "measurement/script/runtime.h"
#include "measurement/script/text/program_text.h"
#include "measurement/script/text/script_runner.h"

using namespace measurement;
using namespace measurement::script_text;

namespace {

// Random entity trees: mostly valid statements over the command codes and
// the method names, with literals, odd types and missing fields mixed in.
class TreeGenerator {
public:
    explicit TreeGenerator(std::uint32_t seed) : random_(seed) {}

    EntityNode entity(int depth) {
        const int roll = pick(100);
        if (depth >= 6 || roll < 35) return literal();
        if (roll < 37) {
            EntityNode odd;
            if (pick(2)) odd.type = static_cast<std::uint32_t>(pick(8));
            return odd;
        }
        EntityNode statement = EntityNode::statement(name());
        if (pick(50) == 0) statement.name.reset();
        const int arguments = pick(5);
        for (int i = 0; i < arguments; ++i) statement.entities.push_back(entity(depth + 1));
        return statement;
    }

    ProgramNode program() {
        ProgramNode program;
        program.statements.push_back(EntityNode::statement("41", {EntityNode::string("a"), EntityNode::string("b")}));
        const int count = 1 + pick(6);
        for (int i = 0; i < count; ++i) program.statements.push_back(entity(0));
        return program;
    }

private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

    EntityNode literal() {
        static const char* const kStrings[] = {"a", "b", "", "length", "0", "1", "push", "split", "toString",
                                               "concat", "map", "replace", ".", "x,y", "require", "internal.platform"};
        static const double kNumbers[] = {0, 1, -1, 2, 0.5, 3, 1e21, -0.0, 4294967296.0, 1e300, -7};
        switch (pick(4)) {
            case 0:
                return EntityNode::string(kStrings[pick(std::size(kStrings))]);
            case 1:
                return EntityNode::boolean(pick(2) == 1);
            default:
                return EntityNode::number(kNumbers[pick(std::size(kNumbers))]);
        }
    }

    std::string name() {
        static const char* const kFunctions[] = {"a", "b", "require", "f"};
        if (pick(10) == 0) return kFunctions[pick(std::size(kFunctions))];
        return std::to_string(pick(68));
    }

    std::mt19937 random_;
};

}  // namespace

TEST_CASE("random programs run without crashing or leaking") {
    APMPRuntimeLimits limits;
    limits.maxInstructions = 20'000;
    const auto baseline = APMPLiveObjectCount();
    int failures = 0;
    for (std::uint32_t seed = 1; seed <= 1500; ++seed) {
        TreeGenerator generator(seed);
        const ProgramNode program = generator.program();
        const auto bytes = encodeProgram(program);
        {
            APMPRuntime runtime(limits);
            const auto result = runProgramBytes(runtime, bytes);
            if (result.error) ++failures;
            runtime.collectGarbage();
            // A second run in the same runtime sees what the first left.
            runProgramBytes(runtime, bytes);
        }
        if (APMPLiveObjectCount() != baseline) {
            FAIL("seed " << seed << " leaked: " << disassemble(program.statements.back()));
        }
    }
    // Most random programs fail somewhere; some must run to the end.
    CHECK(failures > 0);
    CHECK(failures < 1500);
}
