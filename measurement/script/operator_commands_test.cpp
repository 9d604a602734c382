// Tests of the operator commands.
#include "measurement/script/script_test_support.h"

using measurement::testing::checkCases;

TEST_CASE("arithmetic and concatenation follow double arithmetic and string forms") {
    checkCases({
        {"(add 1 2)", "3"},
        {"(add 0.1 0.2)", "0.30000000000000004"},
        {"(add \"a\" 1)", "\"a1\""},
        {"(add 1 \"a\")", "\"1a\""},
        {"(add true 1)", "2"},
        {"(add (array 1 2) 3)", "\"1,23\""},
        {"(add undefined 1)", "NaN"},
        {"(add null 1)", "1"},
        {"(add undefined \"x\")", "\"undefinedx\""},
        {"(add null \"s\")", "\"nulls\""},
        {"(add (object) \"\")", "\"[object Object]\""},
        {"(add 1e21 0)", "1e+21"},
        {"(add 1)", "error 9"},
        {"(add (code 1) (code 2))", "\"12\""},
        {"(sub 5 \"2\")", "3"},
        {"(mul \"3\" \"4\")", "12"},
        {"(mul 123456789 1)", "123456789"},
        {"(div 1 0)", "Infinity"},
        {"(div -1 0)", "-Infinity"},
        {"(div 0 0)", "NaN"},
        {"(div 1 3)", "0.3333333333333333"},
        {"(mod 5 0)", "NaN"},
        {"(mod -5 3)", "-2"},
        {"(mod 5.5 2)", "1.5"},
        {"(neg 0)", "0"},
        {"(neg \"4\")", "-4"},
        {"(neg)", "error 9"},
        {"(first 1 2)", "1"},
        {"(first33 \"a\" 2)", "\"a\""},
        {"(value 7)", "7"},
        {"(value35 7)", "7"},
        {"(value 1 2)", "error 9"},
        // A statement value has no number form.
        {"(sub (call (code (add 1 1)) \"pop\" (array)) 1)", "error 4"},
    });
}

TEST_CASE("loose and strict equality") {
    checkCases({
        {"(eq null undefined)", "true"},
        {"(eq null 0)", "false"},
        {"(eq undefined 0)", "false"},
        {"(eq 1 \"1\")", "true"},
        {"(eq 1 true)", "true"},
        {"(eq \"1\" true)", "true"},
        {"(is \"1\" 1)", "false"},
        {"(is 1 1)", "true"},
        {"(is \"a\" \"a\")", "true"},
        {"(is null null)", "true"},
        {"(is undefined undefined)", "true"},
        {"(eq (array) (array))", "false"},
        {"(is (array) (array))", "false"},
        {"(eq \"\" 0)", "true"},
        {"(eq \"abc\" 0)", "false"},
        {"(eq \"abc\" NaN)", "false"},
        {"(eq NaN NaN)", "false"},
        {"(is NaN NaN)", "false"},
        {"(ne NaN NaN)", "true"},
        {"(isnt NaN NaN)", "true"},
        {"(eq (array 1) 1)", "true"},
        {"(eq (object) \"[object Object]\")", "true"},
        {"(var \"a\") (set \"a\" (array)) (eq $a $a)", "true"},
        {"(is true true)", "true"},
        {"(is false 0)", "false"},
        {"(eq 1 2 3)", "error 9"},
        {"(eq 1)", "error 9"},
    });
}

TEST_CASE("ordering compares strings as text and everything else as numbers") {
    checkCases({
        {"(lt \"10\" \"9\")", "true"},
        {"(lt \"10\" 9)", "false"},
        {"(lt 1 2)", "true"},
        {"(le 1 1)", "true"},
        {"(gt 2 1)", "true"},
        {"(ge 1 2)", "false"},
        {"(lt NaN 1)", "false"},
        {"(gt NaN 1)", "false"},
        {"(le NaN NaN)", "false"},
        {"(ge NaN NaN)", "false"},
        {"(lt \"a\" \"b\")", "true"},
        {"(lt \"B\" \"a\")", "true"},
        {"(lt null 1)", "true"},
        {"(lt undefined 1)", "false"},
        {"(lt (array 2) (array 10))", "false"},
        {"(gt 1 2 3)", "error 9"},
    });
}

TEST_CASE("logical operators short-circuit and yield operands unchanged") {
    checkCases({
        {"(and 5 0)", "0"},
        {"(and 5 \"x\")", "\"x\""},
        {"(and false (set \"undeclared\" 1))", "false"},
        {"(and 0 1)", "0"},
        {"(or \"\" 7)", "7"},
        {"(or 1 (set \"undeclared\" 1))", "1"},
        {"(or null undefined)", "undefined"},
        {"(not 0)", "true"},
        {"(not \"\")", "true"},
        {"(not (object))", "false"},
        {"(not NaN)", "true"},
        {"(and 1)", "error 9"},
        {"(not)", "error 9"},
        // A statement value has no truth value.
        {"(not (call (code (add 1 1)) \"pop\" (array)))", "error 3"},
    });
}

TEST_CASE("bitwise operators work on wrapped 32-bit integers") {
    checkCases({
        {"(shl 1 31)", "-2147483648"},
        {"(shr -1 0)", "4294967295"},
        {"(shl 1 33)", "2"},
        {"(sar -8 1)", "-4"},
        {"(bitnot 0)", "-1"},
        {"(bitand 5 3)", "1"},
        {"(bitor 5 3)", "7"},
        {"(xor 5 3)", "6"},
        {"(shr 8 \"1\")", "4"},
        {"(bitor NaN 0)", "0"},
        {"(bitor Infinity 0)", "0"},
        {"(bitor -Infinity 0)", "0"},
        {"(bitor 1.9 0)", "1"},
        {"(bitor -1.9 0)", "-1"},
        // Values of 2^31 and more wrap modulo 2^32 instead of saturating.
        {"(bitor 2147483648 0)", "-2147483648"},
        {"(bitor 4294967296 0)", "0"},
        {"(bitor 4294967295 0)", "-1"},
        {"(bitor 4294967297 0)", "1"},
        {"(bitor -2147483649 0)", "2147483647"},
        {"(bitor 1e20 0)", "1661992960"},
        {"(shr -4294967297 0)", "4294967295"},
        {"(shl 1 -1)", "-2147483648"},
        {"(bitnot)", "error 9"},
        {"(bitand 1)", "error 9"},
    });
}

TEST_CASE("(h * 31 + c) | 0 hashing wraps like 32-bit integer arithmetic") {
    // String hash codes of the well-known 31-multiplier hash.
    // Without a charCodeAt method, the character codes come from a table.
    const std::string program =
        "(function \"code\" (array \"c\") (return (call \"\\u0000\\u0001 !\\\"#$%&'()*+,-./0123456789:;<=>?@"
        "ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\\\]^_`abcdefghijklmnopqrstuvwxyz\" \"indexOf\" (array $c))))"
        "(function \"hash\" (array \"s\") (var \"h\") (set \"h\" 0)"
        "  (forofconst \"c\" $s (code (set \"h\" (bitor (add (mul $h 31) (add (\"code\" $c) 30)) 0))))"
        "  (return $h))"
        "(array (\"hash\" \"hello\") (\"hash\" \"hello world\")"
        "       (\"hash\" \"The quick brown fox jumps over the lazy dog\") (\"hash\" \"measurement\"))";
    checkCases({{program.c_str(), "[99162322,1794106052,-609428141,-1812800580]"}});
}
