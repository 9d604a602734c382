#include <doctest/doctest.h>

#include <string>
#include <vector>

#include "measurement/script/editing/editing_test_support.h"
#include "measurement/script/editing/event_editing.h"

using namespace measurement;
using measurement::testing::describeError;
using measurement::testing::describeEvent;
using measurement::testing::programFromText;
using platform::Value;

namespace {

const char* const kPrelude =
    "(var \"reg\" \"log\") "
    "(set \"reg\" (\"require\" \"internal.registerCallback\")) "
    "(set \"log\" (\"require\" \"internal.eventLogger\")) ";

APMPEvent purchase() {
    return APMPEvent("purchase", 100, Value::Dictionary{{"_value", 3}, {"count", 2}, {"label", "a"}, {"price", 9.5}});
}

// Loads the prelude and the text; "" or the load error.
std::string load(APMPEventEditing& editing, const std::string& text) {
    ScriptError error;
    if (editing.loadProgram(programFromText(kPrelude + text), error)) return "";
    return describeError(error);
}

// What handling the event gave: "changed" or "same" (or the error), the
// output event, then "+ " and each created event.
std::string handled(APMPEventEditing& editing, const APMPEvent& event) {
    ScriptError error;
    const bool changed = editing.handleEvent(event, error);
    std::string text = error ? "error " + describeError(error) : changed ? "changed" : "same";
    text += " | " + describeEvent(editing.eventContext().outputEvent());
    for (const auto& created : editing.eventContext().eventsToLog()) text += " + " + describeEvent(created);
    return text;
}

struct EditCase {
    const char* what;
    std::string program;
    std::string expected;
};

// An edit callback with the body, registered at priority 0.
std::string edit(const std::string& body) {
    return "(function \"cb\" (array \"e\") " + body + ") (\"reg\" 0 $cb (object \"type\" \"edit\" \"priority\" 0))";
}

std::string create(const std::string& body) {
    return "(function \"mk\" (array \"e\") " + body + ") (\"reg\" 0 $mk (object \"type\" \"create\"))";
}

std::string setParam(const std::string& name, const std::string& value) {
    return "(call $e \"setParamValue\" (array \"" + name + "\" " + value + "))";
}

const std::string kUnchanged = "purchase@100.0 _value=3 count=2 label=\"a\" price=9.5";

}  // namespace

TEST_CASE("callbacks edit and create events, and undo what they are told to") {
    const std::vector<EditCase> cases = {
        {"a callback that changes nothing", edit("(return 0)"), "same | " + kUnchanged},
        {"a rename kept with 0", edit("(call $e \"setEventName\" (array \"sale\")) (return 0)"),
         "changed | sale@100.0 _value=3 count=2 label=\"a\" price=9.5"},
        {"a rename undone with 2", edit("(call $e \"setEventName\" (array \"sale\")) (return 2)"),
         "same | " + kUnchanged},
        {"a rename undone by a result that is no number",
         edit("(call $e \"setEventName\" (array \"sale\")) (return \"0\")"), "same | " + kUnchanged},
        {"a rename undone when the last statement's value is no number",
         edit("(call $e \"setEventName\" (array \"sale\"))"), "same | " + kUnchanged},
        {"a result of 2 written as 4294967298", edit(setParam("x", "1") + " (return 4294967298)"),
         "same | " + kUnchanged},
        {"a removed parameter is an edit", edit(setParam("label", "null") + " (return 0)"),
         "changed | purchase@100.0 _value=3 count=2 price=9.5"},
        {"a number over a string is its text", edit(setParam("label", "5") + " (return 0)"),
         "changed | purchase@100.0 _value=3 count=2 label=\"5\" price=9.5"},
        {"new parameters from text, booleans and numbers",
         edit(setParam("n", "\"12\"") + setParam("b", "true") + setParam("t", "\"abc\"") + " (return 0)"),
         "changed | purchase@100.0 _value=3 b=1.0 count=2 label=\"a\" n=12.0 price=9.5 t=\"abc\""},
        {"text that only reads as a number stays text",
         edit(setParam("zip", "\"01234\"") + setParam("code", "\"1e3\"") + setParam("label", "\"007\"") +
              " (return 0)"),
         "changed | purchase@100.0 _value=3 code=\"1e3\" count=2 label=\"007\" price=9.5 zip=\"01234\""},
        {"a number's text over an integer is an integer",
         edit(setParam("count", "\"41\"") + " (return 0)"),
         "changed | purchase@100.0 _value=3 count=41 label=\"a\" price=9.5"},
        {"a fraction over an integer is truncated", edit(setParam("count", "7.9") + " (return 0)"),
         "changed | purchase@100.0 _value=3 count=7 label=\"a\" price=9.5"},
        {"an integer read and written back is no edit",
         edit(setParam("_value", "(call $e \"getParamValue\" (array \"_value\"))") + " (return 0)"),
         "same | " + kUnchanged},
        {"parameters, time and name read back",
         edit("(var \"p\") (set \"p\" (call $e \"getParams\" (array))) " +
              setParam("sum", "(add (prop $p \"count\") (prop $p \"price\"))") +
              setParam("t", "(add (call $e \"getTimestamp\" (array)) 1)") +
              setParam("was", "(call $e \"getEventName\" (array))") +
              setParam("none", "(typeof (call $e \"getParamValue\" (array \"absent\")))") + " (return 0)"),
         "changed | purchase@100.0 _value=3 count=2 label=\"a\" none=\"object\" price=9.5 sum=11.5 t=101.0 "
         "was=\"purchase\""},
        {"a created event typed against the input",
         create("(\"log\" \"extra\" 1.9 (object \"count\" 3.7 \"_value\" 3.7 \"gone\" null \"s\" \"x\"))"),
         "changed | " + kUnchanged + " + extra@1.0 _value=3.7 count=3 s=\"x\""},
        {"created events' times in whole seconds, saturating",
         create("(\"log\" \"a\" -2.5 (object)) (\"log\" \"b\" NaN (object)) (\"log\" \"c\" Infinity (object)) "
                "(\"log\" \"d\" -1e300 (object)) (\"log\" \"e\" \"12\" (object))"),
         "changed | " + kUnchanged +
             " + a@-2.0 + b@0.0 + c@9223372036854776000.0 + d@-9223372036854776000.0 + e@12.0"},
        {"eventLogger refuses parameters that are no map", create("(\"log\" \"a\" 1 (array))"),
         "error script 10 | " + kUnchanged},
        {"eventLogger takes exactly three arguments", create("(\"log\" \"a\" 1)"), "error script 9 | " + kUnchanged},
        {"a create callback's result does not count", create("(\"log\" \"extra\" 0 (object)) (return 2)"),
         "changed | " + kUnchanged + " + extra@0.0"},
        {"a failing edit is undone and nothing is created",
         edit("(call $e \"setEventName\" (array \"sale\")) (call undefined \"x\" (array))") +
             create("(\"log\" \"extra\" 0 (object))"),
         "error script 7 | " + kUnchanged},
        {"setEventName with null", edit("(call $e \"setEventName\" (array null))"), "error script 10 | " + kUnchanged},
        {"setParamValue with one argument", edit("(call $e \"setParamValue\" (array \"x\"))"),
         "error script 9 | " + kUnchanged},
        {"getParams with an argument", edit("(call $e \"getParams\" (array 1))"), "error script 9 | " + kUnchanged},
        {"the handler's map methods",
         edit(setParam("own", "(call $e \"hasOwnProperty\" (array \"getEventName\"))") +
              setParam("text", "(call $e \"toString\" (array))") + " (return 0)"),
         "changed | purchase@100.0 _value=3 count=2 label=\"a\" own=0.0 price=9.5 text=\"[object Object]\""},
        {"an unknown handler method", edit("(call $e \"getName\" (array))"), "error script 17 | " + kUnchanged},
        {"a runaway callback spends the event's budget", edit("(while true undefined false (code))"),
         "error script 18 | " + kUnchanged},
    };
    for (const auto& c : cases) {
        INFO(std::string(c.what));
        APMPEventEditing editing;
        REQUIRE(load(editing, c.program) == "");
        CHECK(handled(editing, purchase()) == c.expected);
    }
}

TEST_CASE("edit callbacks run in priority order over one working copy") {
    APMPEventEditing editing;
    const std::string program =
        "(function \"first\" (array \"e\") (call $e \"setParamValue\" (array \"step\" \"a\")) (return 0)) "
        "(function \"second\" (array \"e\") (call $e \"setParamValue\" (array \"step\" "
        "(add (call $e \"getParamValue\" (array \"step\")) \"b\"))) (return 0)) "
        "(function \"undone\" (array \"e\") (call $e \"setParamValue\" (array \"step\" \"z\")) (return -1)) "
        "(function \"late\" (array \"e\") (call $e \"setParamValue\" (array \"label\" \"late\")) "
        "(call undefined \"fail\" (array))) "
        "(\"reg\" 0 $undone (object \"type\" \"edit\" \"priority\" 9)) "
        "(\"reg\" 0 $first (object \"type\" \"edit\" \"priority\" 5)) "
        "(\"reg\" 0 $second (object \"type\" \"edit\" \"priority\" 5)) ";
    REQUIRE(load(editing, program) == "");
    // The second registration at 5 went to the largest priority plus 1.
    CHECK(editing.callbackHandler().sortedEditPriorities() == std::vector<std::int64_t>{5, 9, 10});
    CHECK(handled(editing, purchase()) == "changed | " + kUnchanged + " step=\"ab\"");
    CHECK(editing.hasEdits());
    CHECK_FALSE(editing.hasCreatedEvents());

    SUBCASE("a failing later callback keeps earlier edits in the output, undoing its own") {
        REQUIRE(load(editing, "(\"reg\" 0 $late (object \"type\" \"edit\" \"priority\" 20))") == "");
        CHECK(handled(editing, purchase()) == "error script 7 | " + kUnchanged + " step=\"ab\"");
    }
    SUBCASE("an undone first callback leaves the later ones the input, event after event") {
        REQUIRE(load(editing, "(\"reg\" 0 $undone (object \"type\" \"edit\" \"priority\" 1))") == "");
        CHECK(handled(editing, purchase()) == "changed | " + kUnchanged + " step=\"ab\"");
        CHECK(handled(editing, purchase()) == "changed | " + kUnchanged + " step=\"ab\"");
    }
    SUBCASE("priorities at the top of the 32-bit range grow past it") {
        REQUIRE(load(editing,
                     "(\"reg\" 0 $first (object \"type\" \"create\" \"priority\" 2147483647)) "
                     "(\"reg\" 0 $first (object \"type\" \"create\" \"priority\" 2147483647))") == "");
        CHECK(editing.callbackHandler().sortedCreatePriorities() ==
              std::vector<std::int64_t>{2147483647, 2147483648LL});
    }
}

TEST_CASE("nothing changed leaves the event alone") {
    APMPEventEditing editing;
    REQUIRE(load(editing, edit("(call $e \"getEventName\" (array)) (return 0)")) == "");
    ScriptError error;
    CHECK_FALSE(editing.handleEvent(purchase(), error));
    CHECK_FALSE(error);
    CHECK_FALSE(editing.hasEdits());
    CHECK_FALSE(editing.hasCreatedEvents());
}

TEST_CASE("each event has its own budget and the previous event's results go") {
    APMPEventEditing editing;
    // Spins until the event's "spin" parameter is gone, creating one event.
    REQUIRE(load(editing, create("(\"log\" \"made\" 1 (object)) "
                                 "(while (call $e \"getParamValue\" (array \"spin\")) undefined false (code))")) ==
            "");
    APMPEvent spinning = purchase();
    spinning.parameters()["spin"] = 1;
    CHECK(handled(editing, spinning).rfind("error script 18", 0) == 0);
    CHECK(handled(editing, purchase()) == "changed | " + kUnchanged + " + made@1.0");
    CHECK(handled(editing, purchase()) == "changed | " + kUnchanged + " + made@1.0");
}

TEST_CASE("loading a program") {
    struct LoadCase {
        const char* what;
        std::string program;
        const char* expected;
        std::vector<std::int64_t> edits;
    };
    const std::string setup =
        "(function \"cb\" (array \"e\") (return 0)) "
        "(function \"setup\" (array \"rule\") (\"reg\" 0 $cb $rule)) ";
    const std::vector<LoadCase> cases = {
        {"top-level statements ending in return", "(return 1)", "editing 5", {}},
        {"top-level statements ending in break", "(break)", "editing 5", {}},
        {"a control value that is not last", "(return 1) 1", "", {}},
        {"registerCallback with two arguments", setup + "(\"reg\" 0 $cb)", "script 9", {}},
        {"a callback that is no function", setup + "(\"reg\" 0 1 (object \"type\" \"edit\"))", "script 10", {}},
        {"a rule that is no map", setup + "(\"reg\" 0 $cb (array \"edit\"))", "script 10", {}},
        {"a rule without type", setup + "(\"reg\" 0 $cb (object \"priority\" 1))", "editing 2", {}},
        {"a rule of another type", setup + "(\"reg\" 0 $cb (object \"type\" \"read\"))", "editing 3", {}},
        {"the default priority", setup + "(\"reg\" 0 $cb (object \"type\" \"edit\"))", "", {1000}},
        {"priorities truncate to 32 bits",
         setup + "(\"reg\" 0 $cb (object \"type\" \"edit\" \"priority\" 7.9)) "
                 "(\"reg\" 0 $cb (object \"type\" \"edit\" \"priority\" -2.5)) "
                 "(\"reg\" 0 $cb (object \"type\" \"edit\" \"priority\" 4294967297)) "
                 "(\"reg\" 0 $cb (object \"type\" \"edit\" \"priority\" NaN))",
         "",
         {-2, 0, 1, 7}},
        {"activities register their rules in order",
         setup + "[activity \"setup\" (object \"type\" \"edit\" \"priority\" 3) "
                 "(object \"type\" \"edit\" \"priority\" 1)]",
         "",
         {1, 3}},
        {"an activity rule that is no map keeps the rules before it",
         setup + "[activity \"setup\" (object \"type\" \"edit\" \"priority\" 3) 5]", "editing 6", {3}},
        {"an activity that names no function", setup + "[activity \"cb2\" (object \"type\" \"edit\")]", "editing 7",
         {}},
        {"an activity naming a variable that holds no function",
         setup + "(var \"n\") (set \"n\" 1) [activity \"n\" (object \"type\" \"edit\")]", "editing 7", {}},
        {"a failing activity function", setup + "[activity \"setup\" (object \"type\" \"other\")]", "editing 3", {}},
        {"later activities are not loaded after a failure",
         setup + "[activity \"nothing\" (object)] [activity \"setup\" (object \"type\" \"edit\")]", "editing 7", {}},
    };
    for (const auto& c : cases) {
        INFO(std::string(c.what));
        APMPEventEditing editing;
        CHECK(load(editing, c.program) == c.expected);
        CHECK(editing.callbackHandler().sortedEditPriorities() == c.edits);
    }
}

TEST_CASE("at most 1000 callbacks") {
    APMPEventEditing editing;
    const std::string program =
        "(function \"cb\" (array \"e\") (return 0)) (var \"i\") (set \"i\" 0) "
        "(while (lt $i 1001) (set \"i\" (add $i 1)) false "
        "(code (\"reg\" 0 $cb (object \"type\" (cond (lt $i 500) \"edit\" \"create\")))))";
    CHECK(load(editing, program) == "editing 4");
    CHECK(editing.callbackHandler().callbackCount() == 1000);
    CHECK(editing.callbackHandler().sortedEditPriorities().size() == 500);
}

TEST_CASE("callbacks registered during an event run from the next event on") {
    APMPEventEditing editing;
    REQUIRE(load(editing, "(var \"n\") (set \"n\" 0) "
                          "(function \"late\" (array \"e\") (\"log\" \"late\" 0 (object))) "
                          "(function \"cb\" (array \"e\") (set \"n\" (add $n 1)) "
                          "(if (is $n 1) (code (\"reg\" 0 $late (object \"type\" \"create\")))) (return 0)) "
                          "(\"reg\" 0 $cb (object \"type\" \"edit\"))") == "");
    CHECK(handled(editing, purchase()) == "same | " + kUnchanged);
    CHECK(handled(editing, purchase()) == "changed | " + kUnchanged + " + late@0.0");
}

TEST_CASE("what an event built is collected after it, what the program keeps is not") {
    APMPEventEditing editing;
    REQUIRE(load(editing, "(var \"kept\") (set \"kept\" (array)) "
                          "(function \"cb\" (array \"e\") (var \"m\") (set \"m\" (object)) "
                          "(setprop $m \"self\" $m) (setprop $m \"handler\" $e) "
                          "(call $kept \"push\" (array 1)) (return 0)) "
                          "(\"reg\" 0 $cb (object \"type\" \"edit\"))") == "");
    const auto tracked = editing.runtime().objectManager().trackedCount();
    for (int i = 0; i < 5; ++i) handled(editing, purchase());
    CHECK(editing.runtime().objectManager().trackedCount() == tracked);
    ScriptError error;
    CHECK(editing.runtime().globalScope().valueForName(u"kept")->stringValueOrError(error) == u"1,1,1,1,1");
}
