// Tests of the variable, literal and property commands.
#include "measurement/script/script_test_support.h"

using measurement::testing::checkCases;

TEST_CASE("declarations and assignment") {
    checkCases({
        {"(set \"x\" 1)", "error 2"},
        {"(set 5 1)", "error 10"},
        {"(set \"x\")", "error 9"},
        {"(var \"x\") (set \"x\" 3)", "3"},
        {"(var \"x\") (set \"x\" 3) $x", "3"},
        {"(var \"x\") $x", "undefined"},
        {"(var)", "undefined"},
        {"(var \"x\" 5)", "error 10"},
        {"(comma (var \"x\" 5)) ", "error 10"},
        {"(var \"a\" 5 \"b\")", "error 10"},
        {"(const \"c\" 1) (set \"c\" 2)", "2"},
        {"(const \"c\" 1) (set \"c\" 2) $c", "1"},
        {"(const \"c\" 1) (var \"c\") $c", "1"},
        {"(const \"c\")", "error 9"},
        {"(const)", "undefined"},
        {"(const 1 2)", "error 10"},
        {"(const \"a\" 1 2 3) $a", "error 10"},
        {"$undeclared", "undefined"},
        {"(get 5)", "error 10"},
        {"(get)", "error 9"},
        {"(var \"x\") (set \"x\" 1) (block (set \"x\" 2)) $x", "2"},
        {"(var \"x\") (block (var \"x\") (set \"x\" 2)) $x", "undefined"},
    });
}

TEST_CASE("array and object literals") {
    checkCases({
        {"(array)", "[]"},
        {"(array 1 \"a\" true null undefined)", "[1,\"a\",true,null,undefined]"},
        {"(array (add 1 1))", "[2]"},
        {"(object \"a\" 1 \"b\" 2)", "{\"a\":1,\"b\":2}"},
        {"(object \"a\" 1 \"a\" 2)", "{\"a\":2}"},
        {"(object \"a\")", "error 9"},
        {"(object 1 2 true 3)", "{\"1\":2,\"true\":3}"},
        {"(object)", "{}"},
        {"(object (array) 1)", "{\"\":1}"},
        {"(object (code (add 1 1)) 1)", "error 5"},
        {"(object (call (code (add 1 1)) \"pop\" (array)) 1)", "error 5"},
    });
}

TEST_CASE("property reads") {
    checkCases({
        {"(prop \"abc\" 1)", "\"b\""},
        {"(prop \"abc\" \"1\")", "\"b\""},
        {"(prop \"abc\" 3)", "undefined"},
        {"(prop \"abc\" -1)", "undefined"},
        {"(prop \"abc\" 1.5)", "undefined"},
        {"(prop \"abc\" \"length\")", "3"},
        {"(prop \"\\ud83d\\ude00\" \"length\")", "2"},
        {"(prop17 \"abc\" 0)", "\"a\""},
        {"(prop 5 \"x\")", "undefined"},
        {"(prop true \"x\")", "undefined"},
        {"(prop null \"x\")", "undefined"},
        {"(prop undefined \"x\")", "undefined"},
        {"(prop (object \"a\" 1) \"a\")", "1"},
        {"(prop (object \"a\" 1) \"b\")", "undefined"},
        {"(prop (object \"1\" \"x\") 1)", "\"x\""},
        {"(prop (array 7 8) 1)", "8"},
        {"(prop (array 7 8) \"01\")", "8"},
        {"(prop (array 7 8) \"length\")", "2"},
        {"(prop (array 7 8) 2)", "undefined"},
        {"(prop (lambda \"f\" (array)) \"x\")", "undefined"},
        {"(prop (array) (code (add 1 1)))", "error 5"},
        {"(prop (array) (call (code (add 1 1)) \"pop\" (array)))", "error 5"},
        {"(prop 1)", "error 9"},
    });
}

TEST_CASE("property writes") {
    checkCases({
        {"(setprop null \"x\" 1)", "error 6"},
        {"(setprop undefined \"x\" 1)", "error 6"},
        {"(setprop \"abc\" \"x\" 1)", "1"},
        {"(setprop 5 \"x\" 1)", "1"},
        {"(var \"o\") (set \"o\" (object)) (setprop $o \"k\" 2) $o", "{\"k\":2}"},
        {"(var \"o\") (set \"o\" (object)) (setprop $o 1 2) (prop $o \"1\")", "2"},
        {"(var \"f\") (set \"f\" (lambda \"f\" (array))) (setprop $f \"k\" 3) (prop $f \"k\")", "3"},
        {"(var \"a\") (set \"a\" (array)) (setprop $a 5 1) (array (prop $a \"length\") $a)",
         "[6,[<hole>,<hole>,<hole>,<hole>,<hole>,1]]"},
        {"(var \"a\") (set \"a\" (array 1 2 3)) (setprop $a \"length\" 1) $a", "[1]"},
        {"(var \"a\") (set \"a\" (array)) (setprop $a \"length\" 2.5)", "error 11"},
        {"(var \"a\") (set \"a\" (array)) (setprop $a \"length\" \"x\")", "error 11"},
        {"(var \"a\") (set \"a\" (array)) (setprop $a \"name\" 1) (array $a (prop $a \"name\"))", "[[],1]"},
        {"(setprop 1 2)", "error 9"},
    });
}

TEST_CASE("type names") {
    checkCases({
        {"(typeof true)", "\"boolean\""},
        {"(typeof 1)", "\"number\""},
        {"(typeof \"s\")", "\"string\""},
        {"(typeof undefined)", "\"undefined\""},
        {"(typeof null)", "\"object\""},
        {"(typeof (array))", "\"object\""},
        {"(typeof (object))", "\"object\""},
        {"(typeof (lambda \"f\" (array)))", "\"function\""},
        {"(typeof $require)", "\"function\""},
        {"(typeof)", "error 9"},
        {"(null 1 2)", "null"},
        {"(undefined 1)", "undefined"},
        {"(null (set \"undeclared\" 1))", "error 2"},
    });
}
