// Tests of the array methods.
#include "measurement/script/script_test_support.h"

using measurement::testing::checkCases;

namespace {

// Declares a = [1, 2, 3] before the expression.
std::string on123(const std::string& expression) {
    return "(var \"a\") (set \"a\" (array 1 2 3)) " + expression;
}

// A callback that fails with error 2 if it is ever called.
const char* kNeverCalled = "(lambda \"\" (array) (set \"undeclared\" 1))";

}  // namespace

TEST_CASE("searching arrays") {
    const auto never = std::string(kNeverCalled);
    checkCases({
        {on123("(call $a \"indexOf\" (array 2 -1))").c_str(), "-1"},
        {on123("(call $a \"indexOf\" (array 3 -1))").c_str(), "2"},
        {on123("(call $a \"indexOf\" (array 1 -100))").c_str(), "0"},
        {on123("(call $a \"indexOf\" (array 1 3))").c_str(), "-1"},
        {on123("(call $a \"indexOf\" (array \"2\"))").c_str(), "-1"},
        {on123("(call $a \"indexOf\" (array 2 NaN))").c_str(), "1"},
        {"(call (array 1 undefined) \"indexOf\" (array))", "1"},
        {"(call (array NaN) \"indexOf\" (array NaN))", "-1"},
        {on123("(call $a \"indexOf\" (array 1 2 3))").c_str(), "error 9"},
        {on123("(call $a \"lastIndexOf\" (array 3 -5))").c_str(), "-1"},
        {on123("(call $a \"lastIndexOf\" (array 3 NaN))").c_str(), "2"},
        {on123("(call $a \"lastIndexOf\" (array 3 -1))").c_str(), "2"},
        {on123("(call $a \"lastIndexOf\" (array 3 1))").c_str(), "-1"},
        {on123("(call $a \"lastIndexOf\" (array 1 100))").c_str(), "0"},
        {"(call (array 1 2 1) \"lastIndexOf\" (array 1))", "2"},
        {"(call (array) \"lastIndexOf\" (array 1))", "-1"},
        {on123("(call $a \"hasOwnProperty\" (array \"length\"))").c_str(), "true"},
        {on123("(call $a \"hasOwnProperty\" (array 0))").c_str(), "true"},
        {on123("(call $a \"hasOwnProperty\" (array \"2\"))").c_str(), "true"},
        {on123("(call $a \"hasOwnProperty\" (array 5))").c_str(), "false"},
        {on123("(setprop $a \"x\" 1) (call $a \"hasOwnProperty\" (array \"x\"))").c_str(), "true"},
        {on123("(call $a \"hasOwnProperty\" (array))").c_str(), "error 9"},
        {(std::string("(call (array) \"every\" (array ") + never + "))").c_str(), "true"},
        {(std::string("(call (array) \"some\" (array ") + never + "))").c_str(), "false"},
    });
}

TEST_CASE("callback walks") {
    checkCases({
        {on123("(call $a \"every\" (array (lambda \"\" (array \"x\") (return (gt $x 0)))))").c_str(), "true"},
        {on123("(call $a \"every\" (array (lambda \"\" (array \"x\") (return (lt $x 2)))))").c_str(), "false"},
        {on123("(call $a \"every\" (array (lambda \"\" (array)) 1))").c_str(), "error 9"},
        {on123("(call $a \"every\" (array 5))").c_str(), "error 10"},
        {on123("(call $a \"some\" (array (lambda \"\" (array \"x\") (return (eq $x 2)))))").c_str(), "true"},
        {on123("(call $a \"filter\" (array (lambda \"\" (array \"x\") (return (ne $x 2)))))").c_str(), "[1,3]"},
        {on123("(call $a \"map\" (array (lambda \"\" (array \"x\" \"i\") (return (add $x $i)))))").c_str(), "[1,3,5]"},
        {on123("(call $a \"map\" (array (lambda \"\" (array \"x\" \"i\" \"arr\") (return (is $arr $a)))))").c_str(),
         "[true,true,true]"},
        {on123("(setprop $a 4 5) (call $a \"map\" (array (lambda \"\" (array \"x\") (return (mul $x 2)))))").c_str(),
         "[2,4,6,<hole>,10]"},
        {on123("(var \"s\") (set \"s\" 0) (call $a \"forEach\" (array (lambda \"\" (array \"x\") "
               "(set \"s\" (add $s $x))))) $s")
             .c_str(),
         "6"},
        {on123("(call $a \"forEach\" (array (lambda \"\" (array))))").c_str(), "undefined"},
        // Removing elements during the walk does not make it read past the end.
        {"(var \"a\" \"n\") (set \"a\" (array 1 2 3 4)) (set \"n\" 0) (call $a \"forEach\" (array (lambda \"\" (array) "
         "(set \"n\" (add $n 1)) (call $a \"pop\" (array))))) (array $n $a)",
         "[2,[1,2]]"},
        // Elements appended during the walk are not visited.
        {on123("(var \"n\") (set \"n\" 0) (call $a \"forEach\" (array (lambda \"\" (array) (set \"n\" (add $n 1)) "
               "(call $a \"push\" (array 0))))) $n")
             .c_str(),
         "3"},
        {on123("(call $a \"forEach\" (array (lambda \"\" (array) (set \"undeclared\" 1))))").c_str(), "error 2"},
    });
}

TEST_CASE("folds") {
    const auto never = std::string(kNeverCalled);
    checkCases({
        {on123("(call $a \"reduce\" (array (lambda \"\" (array \"acc\" \"x\") (return (add $acc $x)))))").c_str(), "6"},
        {on123("(call $a \"reduce\" (array (lambda \"\" (array \"acc\" \"x\") (return (add $acc $x))) \"s\"))").c_str(),
         "\"s123\""},
        {on123("(call $a \"reduceRight\" (array (lambda \"\" (array \"acc\" \"x\") (return (add (add $acc \"-\") $x)))))")
             .c_str(),
         "\"3-2-1\""},
        {on123("(call $a \"reduce\" (array (lambda \"\" (array \"acc\" \"x\" \"i\") (return (add $acc $i))) 0))").c_str(),
         "3"},
        {"(call (array) \"reduce\" (array (lambda \"\" (array))))", "error 8"},
        {(std::string("(call (array) \"reduce\" (array ") + never + " 7))").c_str(), "7"},
        {(std::string("(call (array 9) \"reduce\" (array ") + never + "))").c_str(), "9"},
        {(std::string("(call (array 9) \"reduceRight\" (array ") + never + "))").c_str(), "9"},
        {"(var \"a\") (set \"a\" (array)) (setprop $a \"length\" 3) (call $a \"reduce\" (array (lambda \"\" (array))))",
         "error 8"},
        {on123("(call $a \"reduce\" (array 5))").c_str(), "error 10"},
        {on123("(call $a \"reduce\" (array))").c_str(), "error 9"},
        {on123("(call $a \"reduce\" (array (lambda \"\" (array)) 1 2))").c_str(), "error 9"},
        {on123("(call $a \"reduce\" (array (lambda \"\" (array)) (break)))").c_str(), "error 10"},
    });
}

TEST_CASE("joining, slicing and splicing") {
    checkCases({
        {"(call (array 1 2) \"join\" (array))", "\"1,2\""},
        {"(call (array 1 2) \"join\" (array null))", "\"12\""},
        {"(call (array 1 2) \"join\" (array undefined))", "\"12\""},
        {"(call (array 1 2) \"join\" (array \" - \"))", "\"1 - 2\""},
        {"(call (array 1 null 2) \"join\" (array \"+\"))", "\"1++2\""},
        {"(call (array 1 2) \"join\" (array 1 2))", "error 9"},
        {"(call (array 1 2) \"toString\" (array))", "\"1,2\""},
        {"(call (array 1 2) \"toString\" (array 1))", "error 9"},
        {on123("(call $a \"slice\" (array 2 1))").c_str(), "[]"},
        {on123("(call $a \"slice\" (array -2))").c_str(), "[2,3]"},
        {on123("(call $a \"slice\" (array))").c_str(), "[1,2,3]"},
        {on123("(call $a \"slice\" (array 1 -1))").c_str(), "[2]"},
        {on123("(call $a \"slice\" (array -Infinity Infinity))").c_str(), "[1,2,3]"},
        {on123("(array (call $a \"splice\" (array)) $a)").c_str(), "[[],[1,2,3]]"},
        {on123("(array (call $a \"splice\" (array 1)) $a)").c_str(), "[[2,3],[1]]"},
        {on123("(array (call $a \"splice\" (array 1 1 \"x\" \"y\")) $a)").c_str(), "[[2],[1,\"x\",\"y\",3]]"},
        {on123("(array (call $a \"splice\" (array -1 5)) $a)").c_str(), "[[3],[1,2]]"},
        {on123("(array (call $a \"splice\" (array 0 -1 0)) $a)").c_str(), "[[],[0,1,2,3]]"},
        {"(call (array 1) \"concat\" (array (array 2 3) 4))", "[1,2,3,4]"},
        {"(call (array 1) \"concat\" (array (array (array 2))))", "[1,[2]]"},
        {"(call (array 1) \"concat\" (array (break)))", "error 10"},
        {on123("(call $a \"concat\" (array)) (is (call $a \"concat\" (array)) $a)").c_str(), "false"},
    });
}

TEST_CASE("adding, removing and reordering") {
    checkCases({
        {on123("(array (call $a \"push\" (array)) $a)").c_str(), "[3,[1,2,3]]"},
        {on123("(array (call $a \"push\" (array 4 5)) $a)").c_str(), "[5,[1,2,3,4,5]]"},
        {on123("(array (call $a \"unshift\" (array 4 5)) $a)").c_str(), "[5,[4,5,1,2,3]]"},
        {on123("(array (call $a \"pop\" (array)) $a)").c_str(), "[3,[1,2]]"},
        {on123("(array (call $a \"shift\" (array)) $a)").c_str(), "[1,[2,3]]"},
        {"(call (array) \"pop\" (array))", "undefined"},
        {"(call (array) \"shift\" (array))", "undefined"},
        {"(var \"a\") (set \"a\" (array)) (setprop $a \"length\" 1) (call $a \"pop\" (array))", "undefined"},
        {on123("(call $a \"pop\" (array 1))").c_str(), "error 9"},
        {on123("(array (is (call $a \"reverse\" (array)) $a) $a)").c_str(), "[true,[3,2,1]]"},
        {"(call (array 10 9 1) \"sort\" (array))", "[1,10,9]"},
        {"(call (array 10 9 1) \"sort\" (array (lambda \"\" (array \"x\" \"y\") (return (sub $x $y)))))", "[1,9,10]"},
        {"(call (array 10 9 1) \"sort\" (array (lambda \"\" (array \"x\" \"y\") (return (sub $y $x)))))", "[10,9,1]"},
        {"(call (array \"b\" \"a\" \"B\") \"sort\" (array))", "[\"B\",\"a\",\"b\"]"},
        {"(var \"a\") (set \"a\" (array undefined)) (setprop $a \"length\" 2) (call $a \"push\" (array \"b\" \"a\")) "
         "(call $a \"sort\" (array))",
         "[\"a\",\"b\",undefined,<hole>]"},
        // A comparison answering NaN or non-numbers keeps the order.
        {"(call (array 3 1 2) \"sort\" (array (lambda \"\" (array) (return \"x\"))))", "[3,1,2]"},
        {"(call (array \"x\") \"sort\" (array \"not a function\"))", "[\"x\"]"},
        {"(call (array 2 1) \"sort\" (array \"not a function\"))", "error 10"},
        {"(call (array 2 1) \"sort\" (array (lambda \"\" (array) (set \"undeclared\" 1))))", "error 2"},
        // Stability: equal keys keep their order.
        {"(call (array (array 1 \"a\") (array 0 \"b\") (array 1 \"c\") (array 0 \"d\")) \"sort\" "
         "(array (lambda \"\" (array \"x\" \"y\") (return (sub (prop $x 0) (prop $y 0))))))",
         "[[0,\"b\"],[0,\"d\"],[1,\"a\"],[1,\"c\"]]"},
        {"(call (array) \"nosuch\" (array))", "error 17"},
        {"(var \"a\") (set \"a\" (array)) (setprop $a \"f\" (lambda \"f\" (array) (return 42))) (call $a \"f\" (array))",
         "42"},
        {"(var \"a\") (set \"a\" (array)) (setprop $a \"push\" 1) (call $a \"push\" (array))", "error 17"},
    });
}
