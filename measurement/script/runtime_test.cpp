// Tests of the runtime: programs, modules and the evaluation budget.
#include <doctest/doctest.h>

#include <cmath>
#include <string>

#include "measurement/script/command_families.h"
#include "measurement/script/entity_converter.h"
#include "measurement/script/script_string.h"
#include "measurement/script/evaluator.h"
#include "measurement/script/program_decoder.h"
#include "measurement/script/runtime.h"
#include "measurement/script/script_test_support.h"
#include "measurement/script/text/program_text.h"

using namespace measurement;
using namespace measurement::testing;

namespace {

// The counting loop: (var "i") and (set "i" 0) cost 5 evaluations; the
// while statement, its run-first flag and its body literal 3; each test of
// the condition (lt (get "i") K) 4; each step (set "i" (add (get "i") 1))
// 6. K iterations therefore cost 12 + 10 K, and each extra top-level
// literal one more.
std::string countingProgram(int iterations, int literals) {
    std::string program = "(var \"i\") (set \"i\" 0) (while (lt $i " + std::to_string(iterations) +
                          ") (set \"i\" (add $i 1)) false (code))";
    for (int i = 0; i < literals; ++i) program += " 1";
    return program;
}

// Evaluates program text in the given scope of a runtime.

}  // namespace

TEST_CASE("the budget allows exactly 1,000,000 evaluations per run") {
    SUBCASE("the millionth evaluation succeeds") {
        const auto result = runProgramText(countingProgram(99'998, 8));
        CHECK_FALSE(result.error);
        CHECK(result.value == "1");
        CHECK(result.evaluations == 1'000'000);
    }
    SUBCASE("the next one fails with 18") {
        const auto result = runProgramText(countingProgram(99'998, 9));
        CHECK(result.failedWith(18));
        CHECK(result.evaluations == 1'000'000);
    }
    SUBCASE("small programs count every statement, literal and argument") {
        CHECK(runProgramText("1").evaluations == 1);
        CHECK(runProgramText("(add 1 2)").evaluations == 3);
        CHECK(runProgramText("(add (mul 2 3) 1)").evaluations == 5);
        CHECK(runProgramText(countingProgram(3, 0)).evaluations == 42);
    }
    SUBCASE("a loop that runs for ever ends with 18") {
        const auto result = runProgramText("(while true undefined false (code))");
        CHECK(result.failedWith(18));
        CHECK(result.evaluations == 1'000'000);
    }
    SUBCASE("scripts cannot reach the count") {
        CHECK(runProgramText("(set \"runtime.counter\" 0)").failedWith(2));
        CHECK(runProgramText("(typeof (get \"runtime.counter\"))").value == "\"undefined\"");
        // Defining the name changes nothing: the loop still ends.
        const auto result = runProgramText(
            "(var \"runtime.counter\") (while true undefined false (code (set \"runtime.counter\" 0)))");
        CHECK(result.failedWith(18));
    }
    SUBCASE("a reset starts a new run") {
        APMPRuntime runtime;
        const auto bytes = encodeProgram(assemble(countingProgram(99'998, 8)).program);
        CHECK_FALSE(runProgramBytes(runtime, bytes).error);
        const auto again = runProgramBytes(runtime, bytes);
        CHECK_FALSE(again.error);
        CHECK(again.evaluations == 1'000'000);
        runtime.resetInstructionCount();
        CHECK(runtime.getInstructionCount() == 0);
    }
}

TEST_CASE("require hands out each module once") {
    APMPRuntime runtime;
    int created = 0;
    runtime.setModuleCreator(
        [&created] {
            ++created;
            auto module = makeRef<APMPMapValue>();
            module->setValue(APMPNumber(created), u"serial");
            return APMPValueRef(module);
        },
        "test.counter");
    runtime.setModuleCreator([] { return APMPValueRef(); }, "test.broken");
    ScriptError error;
    auto value = evaluateText(runtime.globalScope(),
                            "(array (prop (\"require\" \"test.counter\") \"serial\") "
                            "(is (\"require\" \"test.counter\") (\"require\" \"test.counter\")))",
                            error);
    CHECK_FALSE(error);
    CHECK(describeValue(value) == "[1,true]");
    CHECK(created == 1);

    value = evaluateText(runtime.globalScope(), "(array (\"require\" \"no.such\") (\"require\" \"no.such\"))", error);
    CHECK(describeValue(value) == "[undefined,undefined]");

    evaluateText(runtime.globalScope(), "(\"require\" \"test.broken\")", error);
    CHECK(error.is(15));
    error.clear();
    evaluateText(runtime.globalScope(), "(\"require\")", error);
    CHECK(error.is(9));
    error.clear();

    value = evaluateText(runtime.globalScope(),
                       "(var \"p\") (set \"p\" (\"require\" \"internal.platform\")) "
                       "(array (typeof $p) (call $p \"getVersion\" (array 1 2)) (\"p\"))",
                       error);
    CHECK_FALSE(error);
    CHECK(describeValue(value) == "[\"function\",0,undefined]");
    CHECK(APMPRuntime::runtimeVersion() == 0);

    // A replaced creator serves modules not yet handed out.
    runtime.setModuleCreator([] { return APMPNumber(7); }, "test.late");
    runtime.setModuleCreator([] { return APMPNumber(8); }, "test.late");
    value = evaluateText(runtime.globalScope(), "(\"require\" \"test.late\")", error);
    CHECK(describeValue(value) == "8");
}

TEST_CASE("scopes of the runtime") {
    APMPRuntime runtime;
    ScriptError error;
    CHECK(runtime.globalScope().parentScope() == &runtime.initialScope());
    CHECK(runtime.globalScope().objectManager() == &runtime.objectManager());
    auto run = runtime.getRunScope();
    CHECK(run->parentScope() == &runtime.globalScope());
    CHECK(run.get() != runtime.getRunScope().get());
    CHECK(run->objectManager() == &runtime.objectManager());
    evaluateText(runtime.globalScope(), "(var \"g\") (set \"g\" 1)", error);
    evaluateText(*run, "(set \"g\" 2) (var \"local\") (set \"local\" 3)", error);
    CHECK_FALSE(error);
    CHECK(describeValue(runtime.globalScope().valueForName(u"g")) == "2");
    CHECK_FALSE(runtime.globalScope().hasName(u"local"));
    CHECK(describeValue(run->valueForName(u"local")) == "3");
}

TEST_CASE("program entities convert to values") {
    SUBCASE("missing fields take their defaults") {
        EntityNode string;
        string.type = 1;
        EntityNode number;
        number.type = 2;
        EntityNode boolean;
        boolean.type = 3;
        ProgramNode program{{EntityNode::statement("7", {string, number, boolean})}, std::nullopt};
        CHECK(runProgramBytes(encodeProgram(program)).value == "[\"\",NaN,false]");
    }
    SUBCASE("unknown types and statements without names fail") {
        CHECK(runProgramText("1 ?9").failedWith(12));
        CHECK(runProgramText("?0").failedWith(12));
        CHECK(runProgramText("(add 1 ?5)").failedWith(12));
        CHECK(runProgramText("(?)").failedWith(14));
        // Statements before the failing one have run.
        APMPRuntime runtime;
        const auto result =
            runProgramBytes(runtime, encodeProgram(assemble("(var \"x\") (set \"x\" 1) (?) (set \"x\" 2)").program));
        CHECK(result.failedWith(14));
        CHECK(describeValue(runtime.globalScope().valueForName(u"x")) == "1");
    }
    SUBCASE("an empty program yields undefined") {
        const auto result = runProgramText("");
        CHECK_FALSE(result.error);
        CHECK(result.value == "undefined");
        CHECK(result.evaluations == 0);
    }
    SUBCASE("literal texts keep every character") {
        CHECK(runProgramText("(prop \"a\\u0000b\" \"length\")").value == "3");
        CHECK(runProgramText("\"h\\u00e9\"").value == "\"h\u00e9\"");
    }
}

TEST_CASE("host objects convert to values and back") {
    APMPRuntime runtime;
    ScriptError error;
    SUBCASE("host to value") {
        platform::Value::Dictionary inner{{"n", 2}, {"ok", true}};
        platform::Value object(platform::Value::Dictionary{
            {"s", "text"}, {"i", 3}, {"d", 1.5}, {"null", nullptr}, {"list", platform::Value::Array{1, "two"}},
            {"map", inner}});
        auto value = APMPRuntimeEntityConverter::runtimeValueFromNSObject(object, runtime.globalScope(), error);
        CHECK_FALSE(error);
        CHECK(describeValue(value) ==
              "{\"d\":1.5,\"i\":3,\"list\":[1,\"two\"],\"map\":{\"n\":2,\"ok\":true},\"null\":null,\"s\":\"text\"}");
        CHECK(runtime.objectManager().trackedCount() >= 3);
        APMPRuntimeEntityConverter::runtimeValueFromNSObject(platform::Value(platform::Data{{1, 2}}),
                                                             runtime.globalScope(), error);
        CHECK(error.is(13));
        error.clear();
        APMPRuntimeEntityConverter::runtimeValueFromNSObject(
            platform::Value(platform::Value::Array{1, platform::Date{5}}), runtime.globalScope(), error);
        CHECK(error.is(13));
    }
    SUBCASE("value to host") {
        auto value = evaluateText(runtime.globalScope(),
                                "(object \"num\" \"12\" \"flag\" true \"text\" \"abc\" \"nan\" NaN \"nothing\" null "
                                "\"undef\" undefined \"list\" (array 1 null \"x\") \"fn\" (lambda \"named\" (array)) "
                                "\"negative\" \"-0.5\" \"large\" \"1e+21\" \"zip\" \"01234\" \"point\" \"12.0\" "
                                "\"exponent\" \"1e3\" \"padded\" \" 7\" \"minusZero\" \"-0\" \"infinite\" \"Infinity\")",
                                error);
        REQUIRE_FALSE(error);
        const auto object = APMPRuntimeEntityConverter::objectFromRuntimeValue(value, error);
        CHECK_FALSE(error);
        REQUIRE(object);
        const platform::Value expected(platform::Value::Dictionary{
            {"num", 12.0},
            {"flag", 1.0},
            {"text", "abc"},
            {"nan", "NaN"},
            {"undef", ""},
            {"list", platform::Value::Array{1.0, "x"}},
            {"fn", "named"},
            {"negative", -0.5},
            {"large", 1e21},
            {"zip", "01234"},
            {"point", "12.0"},
            {"exponent", "1e3"},
            {"padded", " 7"},
            {"minusZero", "-0"},
            {"infinite", "Infinity"}});
        CHECK(*object == expected);
        CHECK_FALSE(APMPRuntimeEntityConverter::objectFromRuntimeValue(APMPNull(), error));
        CHECK_FALSE(error);
    }
    SUBCASE("data nested beyond the data depth fails with 18 either way") {
        Ref<APMPArrayValue> nested = makeRef<APMPArrayValue>();
        platform::Value host = platform::Value::Array{};
        for (int i = 0; i < kAPMPMaxDataDepth + 10; ++i) {
            nested = makeRef<APMPArrayValue>(APMPValueList{nested});
            host = platform::Value(platform::Value::Array{std::move(host)});
        }
        CHECK_FALSE(APMPRuntimeEntityConverter::objectFromRuntimeValue(nested, error));
        CHECK(error.is(18));
        error.clear();
        CHECK(APMPRuntimeEntityConverter::runtimeValueFromNSObject(host, runtime.globalScope(), error)->isUndefined());
        CHECK(error.is(18));
    }
    SUBCASE("cyclic and valueless data fail") {
        auto value = evaluateText(runtime.globalScope(),
                                "(var \"m\") (set \"m\" (object)) (setprop $m \"self\" $m) $m", error);
        REQUIRE_FALSE(error);
        APMPRuntimeEntityConverter::objectFromRuntimeValue(value, error);
        CHECK(error.is(10));
        error.clear();
        APMPRuntimeEntityConverter::objectFromRuntimeValue(APMPControlValue::breakValue(), error);
        CHECK(error.is(4));
    }
}

TEST_CASE("the registrar maps every code to one family") {
    const auto& registrar = APMPCommandRegistrar::sharedInstance();
    int registered = 0;
    for (int code = 0; code <= 70; ++code) {
        if (registrar.entryFor(utf16FromUTF8(std::to_string(code)))) ++registered;
    }
    CHECK(registered == 62);
    for (const char16_t* missing : {u"11", u"14", u"31", u"48", u"49", u"67"}) {
        CHECK(registrar.entryFor(missing) == nullptr);
    }
    // A family's own lookup answers undefined for codes it does not serve.
    APMPMathCommandEvaluator math;
    APMPScope scope;
    ScriptError error;
    CHECK(math.evaluateCommand(u"22", {}, scope, error)->isUndefined());
    CHECK_FALSE(error);
    APMPCommandEvaluator base;
    CHECK(base.allSupportedCommands().empty());
}
