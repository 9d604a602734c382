// Tests of the loop commands.
#include "measurement/script/script_test_support.h"

using measurement::testing::checkCases;

TEST_CASE("conditional loops") {
    checkCases({
        {"(var \"i\" \"s\") (set \"i\" 0) (set \"s\" 0) (while (lt $i 10) (set \"i\" (add $i 1)) false "
         "(code (set \"s\" (add $s $i)))) $s",
         "45"},
        {"(var \"i\") (set \"i\" 0) (while true (set \"i\" (add $i 1)) false (code (if (eq $i 5) (code (break))))) $i",
         "5"},
        // continue skips the rest of the body; the step still runs.
        {"(var \"i\" \"s\") (set \"i\" 0) (set \"s\" \"\") (while (lt $i 5) (set \"i\" (add $i 1)) false "
         "(code (if (eq (mod $i 2) 1) (code (continue))) (set \"s\" (add $s $i)))) $s",
         "\"024\""},
        {"(var \"n\") (set \"n\" 0) (while false undefined true (code (set \"n\" (add $n 1)))) $n", "1"},
        {"(var \"n\") (set \"n\" 0) (while false (set \"n\" 100) true (code (set \"n\" (add $n 1)))) $n", "1"},
        {"(function \"f\" (array) (while true undefined false (code (return 7)))) (\"f\")", "7"},
        {"(while false 1 false (code))", "undefined"},
        {"(while false 1 false 5)", "error 10"},
        {"(while false 1 (call (code (add 1 1)) \"pop\" (array)) (code))", "error 3"},
        {"(while false 1 false)", "error 9"},
        {"(while true undefined false (code (break) (set \"undeclared\" 1)))", "undefined"},
        {"(while true undefined false (code (set \"undeclared\" 1)))", "error 2"},
    });
}

TEST_CASE("key loops") {
    checkCases({
        {"(var \"a\" \"k\" \"r\") (set \"a\" (array 1 2 3)) (setprop $a \"x\" 1) (setprop $a 5 9) (set \"r\" \"\") "
         "(forin \"k\" $a (code (set \"r\" (add $r $k)))) $r",
         "\"x0125\""},
        {"(var \"k\" \"r\") (set \"r\" \"\") (forin \"k\" \"abc\" (code (set \"r\" (add $r $k)))) $r", "\"012\""},
        {"(var \"r\") (set \"r\" \"\") (forinconst \"k\" (object \"a\" 1 \"b\" 2) (code (set \"r\" (add $r $k)))) $r",
         "\"ab\""},
        {"(var \"r\") (set \"r\" \"\") (forinlet \"k\" (object \"a\" 1 \"b\" 2) (code (set \"k\" \"z\") "
         "(set \"r\" (add $r $k)))) $r",
         "\"zz\""},
        {"(var \"r\") (set \"r\" \"\") (forinconst \"k\" (object \"a\" 1) (code (set \"k\" \"z\") "
         "(set \"r\" (add $r $k)))) $r",
         "\"a\""},
        {"(forin \"k\" 5 (code (break)))", "undefined"},
        {"(forin \"k\" null (code))", "undefined"},
        {"(forin \"k\" 5 1)", "error 10"},
        {"(forin \"k\" 5)", "error 9"},
        // The loop variable of the assigning form must exist nowhere: it is
        // written where the name lives, or defined in the current scope.
        {"(forin \"k\" (array 1 2) (code)) $k", "\"1\""},
        {"(var \"n\") (set \"n\" 0) (forin \"k\" (array 1 2 3) (code (set \"n\" (add $n 1)) (break))) $n", "1"},
        {"(function \"f\" (array) (forin \"k\" (array 1 2) (code (return $k)))) (\"f\")", "\"0\""},
        // Items are collected before the first iteration.
        {"(var \"a\" \"n\") (set \"a\" (array 1 2)) (set \"n\" 0) (forin \"k\" $a (code (call $a \"push\" (array 1)) "
         "(set \"n\" (add $n 1)))) $n",
         "2"},
    });
}

TEST_CASE("value loops") {
    checkCases({
        {"(var \"r\") (set \"r\" \"\") (forofconst \"c\" \"abc\" (code (set \"r\" (add $c $r)))) $r", "\"cba\""},
        {"(var \"r\") (set \"r\" (array)) (forof \"v\" (array 1 2) (code (call $r \"push\" (array (mul $v 10))))) $r",
         "[10,20]"},
        {"(var \"a\" \"r\") (set \"a\" (array 1)) (setprop $a 2 3) (set \"r\" (array)) "
         "(foroflet \"v\" $a (code (call $r \"push\" (array (typeof $v))))) $r",
         "[\"number\",\"undefined\",\"number\"]"},
        {"(forof \"v\" 5 (code))", "error 16"},
        {"(forof \"v\" (object) (code))", "error 16"},
        {"(forof \"v\" null 5)", "error 16"},
        {"(forof \"v\" (array) 5)", "error 10"},
        {"(var \"n\") (set \"n\" 0) (forof \"v\" \"\\ud83d\\ude00\" (code (set \"n\" (add $n 1)))) $n", "2"},
        {"(var \"r\") (set \"r\" \"\") (forof \"v\" (array 1 2 3 4) (code (if (eq $v 2) (code (continue))) "
         "(if (eq $v 4) (code (break))) (set \"r\" (add $r $v)))) $r",
         "\"13\""},
    });
}

TEST_CASE("counted loops copy their variables into every iteration") {
    checkCases({
        {"(var \"i\" \"s\") (set \"i\" 0) (set \"s\" 0) (for (array \"i\") (lt $i 4) (set \"i\" (add $i 1)) "
         "(code (set \"s\" (add $s $i)))) (array $s $i)",
         "[6,0]"},
        {"(var \"fs\" \"i\" \"g0\" \"g1\" \"g2\") (set \"fs\" (array)) (set \"i\" 0) "
         "(for (array \"i\") (lt $i 3) (set \"i\" (add $i 1)) "
         "(code (call $fs \"push\" (array (lambda \"\" (array) (return $i)))))) "
         "(set \"g0\" (prop $fs 0)) (set \"g1\" (prop $fs 1)) (set \"g2\" (prop $fs 2)) "
         "(array (\"g0\") (\"g1\") (\"g2\") $i (prop $fs \"length\"))",
         "[0,1,2,0,3]"},
        {"(for (array \"i\") false undefined (code))", "undefined"},
        {"(for (array \"i\") true undefined (code (break)))", "undefined"},
        {"(function \"f\" (array) (var \"i\") (set \"i\" 5) (for (array \"i\") true undefined (code (return $i)))) (\"f\")",
         "5"},
        // A loop variable that no scope declares starts out undefined.
        {"(for (array \"u\") (not $u) (set \"u\" 1) (code (return (typeof $u))))", "<return \"undefined\">"},
        {"(for 5 true undefined (code))", "error 10"},
        {"(for (array) true undefined 5)", "error 10"},
        {"(for (array (call (code (add 1 1)) \"pop\" (array))) true undefined (code))", "error 5"},
        {"(for (array) true undefined)", "error 9"},
    });
}
