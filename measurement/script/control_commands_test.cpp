// Tests of the control commands.
#include "measurement/script/script_test_support.h"

using measurement::testing::checkCases;

TEST_CASE("if, conditional expression, sequence and statement lists") {
    checkCases({
        {"(if false 1)", "undefined"},
        {"(if true 1 2)", "1"},
        {"(if false 1 2)", "2"},
        {"(if 0 1)", "undefined"},
        {"(if)", "error 9"},
        {"(if true 1 2 3)", "error 9"},
        // An array branch runs its elements as statements.
        {"(if true (code 1 2 3))", "3"},
        {"(if true (array 1 2))", "2"},
        {"(if true (code (break)))", "<break>"},
        {"(if (call (code (add 1 1)) \"pop\" (array)) 1)", "error 3"},
        {"(cond true 1 (set \"undeclared\" 1))", "1"},
        {"(cond false (set \"undeclared\" 1) 2)", "2"},
        {"(cond (array 1 2) 3)", "error 9"},
        {"(comma 1 2 3)", "3"},
        {"(comma)", "error 9"},
        {"(comma 1 (break) 2)", "error 10"},
        {"(run (code 1 (add 1 1)))", "2"},
        {"(run9 (code 3))", "3"},
        {"(run 5)", "error 10"},
        {"(run)", "error 9"},
        {"(run (code 1 (break) 2))", "<break>"},
        {"(code 1 2)", "[1,2]"},
        {"(code (add 1 2))", "[<statement 0>]"},
        {"(code)", "[]"},
    });
}

TEST_CASE("break, continue and return are ordinary results") {
    checkCases({
        {"(break)", "<break>"},
        {"(continue)", "<continue>"},
        {"(break 1)", "error 9"},
        {"(continue 1)", "error 9"},
        {"(return)", "<return undefined>"},
        {"(return 5)", "<return 5>"},
        {"(return 1 2)", "error 9"},
        // Top-level statements go on after a control value.
        {"(break) 7", "7"},
    });
}

TEST_CASE("blocks and functions") {
    checkCases({
        {"(var \"x\") (set \"x\" 1) (block (var \"x\") (set \"x\" 2)) $x", "1"},
        {"(var \"x\") (set \"x\" 1) (block (set \"x\" 2)) $x", "2"},
        {"(block)", "undefined"},
        {"(block 1 (return 2) 3)", "<return 2>"},
        {"(function \"f\" (array \"a\" \"b\") (return (add $a $b))) (\"f\" 2 3)", "5"},
        {"(function \"f\" (array) 1 2) (\"f\")", "2"},
        {"(function \"f\" (array \"a\") (return (typeof $a))) (\"f\")", "\"undefined\""},
        {"(function \"f\" (array \"a\") (return $a)) (\"f\" 1 2 3)", "1"},
        {"(function \"f\" (array) (break)) (\"f\")", "<break>"},
        {"(function \"f\" (array)) (\"f\")", "undefined"},
        {"(function \"f\" (array \"n\") (if (le $n 1) (code (return 1))) (return (mul $n (\"f\" (sub $n 1))))) (\"f\" 10)",
         "3628800"},
        {"(lambda \"g\" (array))", "<function g>"},
        {"(typeof (lambda \"g\" (array)))", "\"function\""},
        {"(lambda (add \"a\" \"b\") (array))", "error 5"},
        {"(lambda \"f\" 5)", "error 10"},
        {"(lambda \"f\")", "error 9"},
        {"(lambda \"f\" (array (code 1)))", "<function f>"},
        {"(lambda \"f\" (array (call (code (add 1 1)) \"pop\" (array))))", "error 5"},
        // A declaration writes to the scope that already holds the name.
        {"(var \"f\") (block (function \"f\" (array) (return 1))) (\"f\")", "1"},
        {"(block (function \"inner\" (array) (return 1))) (typeof $inner)", "\"undefined\""},
        // Closures keep their defining scope.
        {"(function \"counter\" (array) (var \"n\") (set \"n\" 0) (return (lambda \"\" (array) (set \"n\" (add $n 1)) "
         "(return $n)))) (var \"c\") (set \"c\" (\"counter\")) (\"c\") (\"c\") (\"c\")",
         "3"},
        // A name that is neither a command nor a function does nothing.
        {"(\"nothing\" 1 2)", "undefined"},
        {"(11 1) (14) (31) (48) (49)", "undefined"},
        {"(var \"11\") (set \"11\" (lambda \"\" (array \"x\") (return (mul $x 2)))) (11 21)", "42"},
        {"(var \"v\") (set \"v\" 5) (\"v\")", "undefined"},
    });
}

TEST_CASE("method calls dispatch on the receiver") {
    checkCases({
        {"(call \"abc\" \"toUpperCase\" (array))", "\"ABC\""},
        {"(call \"abc\" 5 (array))", "error 10"},
        {"(call \"abc\" \"toString\" 5)", "error 10"},
        {"(call \"abc\" \"toString\")", "error 9"},
        {"(call undefined \"x\" (array))", "error 7"},
        {"(call null \"toString\" (array))", "error 7"},
        {"(call 5 \"toString\" (array))", "\"5\""},
        {"(call 0.5 \"toString\" (array))", "\"0.5\""},
        {"(call 5 \"foo\" (array))", "error 17"},
        {"(call true \"toString\" (array))", "\"true\""},
        {"(call (object) \"toString\" (array))", "\"[object Object]\""},
        {"(call (object \"a\" 1) \"hasOwnProperty\" (array \"a\"))", "true"},
        {"(call (object \"a\" 1) \"hasOwnProperty\" (array \"b\"))", "false"},
        {"(call (object \"1\" 1) \"hasOwnProperty\" (array 1))", "true"},
        {"(call (object) \"hasOwnProperty\" (array))", "error 9"},
        {"(call (object \"f\" (lambda \"f\" (array \"x\") (return (add $x 1)))) \"f\" (array 41))", "42"},
        {"(call (object \"f\" 1) \"f\" (array))", "error 17"},
        {"(call (object) \"missing\" (array))", "error 17"},
        {"(call (lambda \"named\" (array)) \"toString\" (array))", "\"named\""},
        {"(call (code 1) \"pop\" (array))", "1"},
        {"(call (call (code (break)) \"pop\" (array)) \"toString\" (array))", "error 5"},
    });
}

TEST_CASE("switch compares strictly, falls through and consumes break") {
    const std::string collect =
        "(var \"r\") (set \"r\" \"\") (function \"add\" (array \"s\") (set \"r\" (add $r $s))) ";
    const std::string fallThrough =
        collect + "(switch 2 (code 1 2 3) (code (\"add\" \"a\") (\"add\" \"b\") (\"add\" \"c\") (\"add\" \"d\"))) $r";
    const std::string withBreak =
        collect + "(switch 2 (code 1 2 3) (code (\"add\" \"a\") (run (code (\"add\" \"b\") (break))) (\"add\" \"c\") "
                  "(\"add\" \"d\"))) $r";
    const std::string defaultOnly = collect + "(switch 9 (code 1 2) (code (\"add\" \"a\") (\"add\" \"b\") (\"add\" \"d\"))) $r";
    const std::string strict = collect + "(switch \"1\" (code 1) (code (\"add\" \"one\") (\"add\" \"default\"))) $r";
    const std::string noDefault = collect + "(switch 9 (code 1) (code (\"add\" \"one\")))";
    const std::string inLoop =
        collect +
        "(forof \"x\" (array 1 2 3) (code (switch $x (code 2) (code (continue))) (\"add\" (call $x \"toString\" "
        "(array))))) $r";
    const std::string returns =
        "(function \"f\" (array \"x\") (switch $x (code 1) (code (return \"one\") (return \"other\"))) (return \"after\"))"
        "(array (\"f\" 1) (\"f\" 2))";
    checkCases({
        {fallThrough.c_str(), "\"bcd\""},
        {withBreak.c_str(), "\"b\""},
        {defaultOnly.c_str(), "\"d\""},
        {strict.c_str(), "\"default\""},
        {noDefault.c_str(), "undefined"},
        {inLoop.c_str(), "\"13\""},
        {returns.c_str(), "[\"one\",\"other\"]"},
        {"(switch 1 (code 1) (code 5))", "undefined"},
        {"(switch 1 5 (code))", "error 9"},
        {"(switch 1 (code) 5)", "error 9"},
        {"(switch 1 (code))", "error 9"},
        // Fewer bodies than cases is malformed.
        {"(switch 1 (code 1 2) (code \"a\"))", "error 9"},
        {"(switch 3 (code 1 2 3) (code \"a\"))", "error 9"},
    });
}
