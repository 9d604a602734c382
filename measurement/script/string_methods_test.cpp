// Tests of the string methods.
#include "measurement/script/script_test_support.h"

using measurement::testing::checkCases;

namespace {

std::string call(const char* receiver, const char* method, const char* arguments) {
    return std::string("(call \"") + receiver + "\" \"" + method + "\" (array " + arguments + "))";
}

}  // namespace

TEST_CASE("characters, concatenation and properties of strings") {
    checkCases({
        {call("abc", "charAt", "5").c_str(), "\"\""},
        {call("abc", "charAt", "-1").c_str(), "\"\""},
        {call("abc", "charAt", "").c_str(), "\"a\""},
        {call("abc", "charAt", "1.7").c_str(), "\"b\""},
        {call("abc", "charAt", "NaN").c_str(), "\"a\""},
        {call("abc", "charAt", "1 2").c_str(), "error 9"},
        {call("a", "concat", "1 null (array 2 3)").c_str(), "\"a1null2,3\""},
        {call("a", "concat", "").c_str(), "\"a\""},
        {call("abc", "hasOwnProperty", "\"length\"").c_str(), "true"},
        {call("abc", "hasOwnProperty", "1").c_str(), "true"},
        {call("abc", "hasOwnProperty", "\"1\"").c_str(), "true"},
        {call("abc", "hasOwnProperty", "\"x\"").c_str(), "false"},
        {call("abc", "hasOwnProperty", "3").c_str(), "false"},
        {call("abc", "hasOwnProperty", "1.5").c_str(), "false"},
        {call("abc", "hasOwnProperty", "").c_str(), "error 9"},
        {call("abc", "toString", "").c_str(), "\"abc\""},
        {call("abc", "toString", "1").c_str(), "error 9"},
        {call("abc", "charCodeAt", "0").c_str(), "error 17"},
    });
}

TEST_CASE("searching strings") {
    checkCases({
        {call("abc", "indexOf", "\"\"").c_str(), "-1"},
        {call("abc", "indexOf", "\"c\" 5").c_str(), "-1"},
        {call("abcabc", "indexOf", "\"c\" 3").c_str(), "5"},
        {call("abcabc", "indexOf", "\"c\" -3").c_str(), "2"},
        {call("undefined!", "indexOf", "").c_str(), "0"},
        {call("a1", "indexOf", "1").c_str(), "1"},
        {call("abcabc", "lastIndexOf", "\"abc\"").c_str(), "3"},
        {call("abcabc", "lastIndexOf", "\"abc\" 2").c_str(), "0"},
        {call("abcabc", "lastIndexOf", "\"abc\" NaN").c_str(), "3"},
        {call("abcabc", "lastIndexOf", "\"abc\" -5").c_str(), "0"},
        {call("abcabc", "lastIndexOf", "\"x\"").c_str(), "-1"},
        {call("abc", "lastIndexOf", "\"\"").c_str(), "-1"},
        {call("xyz", "search", "\".\"").c_str(), "0"},
        {call("xyz", "search", "\"z\"").c_str(), "2"},
        {call("xyz", "search", "\"q\"").c_str(), "-1"},
        {call("xyz", "search", "\"\"").c_str(), "0"},
        {call("a undefined", "search", "").c_str(), "2"},
        {call("abc", "search", "\"[\"").c_str(), "icu.regex error"},
        {call("abc", "match", "\"q\"").c_str(), "null"},
        {call("abcd", "match", "\"b(c)\"").c_str(), "[\"bc\"]"},
        {call("abc", "match", "").c_str(), "[\"\"]"},
        {call("abc", "match", "\"\"").c_str(), "[\"\"]"},
        {call("a1b22", "match", "\"\\\\d+\"").c_str(), "[\"1\"]"},
        {call("abc", "match", "\"(\"").c_str(), "icu.regex error"},
    });
}

TEST_CASE("replacing text") {
    checkCases({
        {call("a.b.c", "replace", "\".\" \"-\"").c_str(), "\"a-b.c\""},
        {call("aa", "replace", "\"a\" \"b\"").c_str(), "\"ba\""},
        {call("abc", "replace", "\"\" \"x\"").c_str(), "\"xabc\""},
        {call("abc", "replace", "\"q\" \"x\"").c_str(), "\"abc\""},
        {call("abc", "replace", "\"b\"").c_str(), "\"aundefinedc\""},
        {call("abc", "replace", "\"b\" \"$&\"").c_str(), "\"a$&c\""},
        {call("a undefined", "replace", "").c_str(), "\"a undefined\""},
        {call("abc", "replace", "\"b\" (lambda \"\" (array \"p\" \"i\" \"s\") (return (add (add $p $i) $s)))").c_str(),
         "\"ab1abcc\""},
        {call("abc", "replace", "\"b\" 1").c_str(), "\"a1c\""},
        {call("abc", "replace", "\"b\" (lambda \"\" (array) (set \"undeclared\" 1))").c_str(), "error 2"},
        {call("abc", "replace", "\"q\" (lambda \"\" (array) (set \"undeclared\" 1))").c_str(), "\"abc\""},
        {call("abc", "replace", "1 2 3").c_str(), "error 9"},
    });
}

TEST_CASE("slicing and splitting strings") {
    checkCases({
        {call("hello", "slice", "-3").c_str(), "\"llo\""},
        {call("hello", "slice", "1 -1").c_str(), "\"ell\""},
        {call("hello", "slice", "3 1").c_str(), "\"\""},
        {call("hello", "slice", "").c_str(), "\"hello\""},
        {call("hello", "slice", "-Infinity Infinity").c_str(), "\"hello\""},
        {call("hello", "substring", "4 1").c_str(), "\"ell\""},
        {call("hello", "substring", "-5 2").c_str(), "\"he\""},
        {call("hello", "substring", "2").c_str(), "\"llo\""},
        {call("hello", "substring", "NaN 100").c_str(), "\"hello\""},
        {call("a,b,c", "split", "\",\" 2").c_str(), "[\"a\",\"b\"]"},
        {call("a,b,c", "split", "\",\"").c_str(), "[\"a\",\"b\",\"c\"]"},
        {call("a,b,", "split", "\",\"").c_str(), "[\"a\",\"b\",\"\"]"},
        {call("abc", "split", "\"\"").c_str(), "[\"a\",\"b\",\"c\"]"},
        {call("abc", "split", "\"\" 2").c_str(), "[\"a\",\"b\"]"},
        {call("", "split", "\",\"").c_str(), "[\"\"]"},
        {call("a,b", "split", "\",\" 0").c_str(), "[]"},
        {call("a,b", "split", "").c_str(), "[\"a,b\"]"},
        {call("a,b", "split", "\",\" -1").c_str(), "[\"a\",\"b\"]"},
        {call("a--b--c", "split", "\"--\"").c_str(), "[\"a\",\"b\",\"c\"]"},
        {call("a.b", "split", "\".\"").c_str(), "[\"a\",\"b\"]"},
        {call("a,b", "split", "\",\" 1 2").c_str(), "error 9"},
    });
}

TEST_CASE("case mapping and trimming") {
    checkCases({
        {call("abc", "toUpperCase", "").c_str(), "\"ABC\""},
        {call("abc", "toUpperCase", "1").c_str(), "error 9"},
        {call("ÄbC", "toLowerCase", "").c_str(), "\"äbc\""},
        {call("straße", "toUpperCase", "").c_str(), "\"STRASSE\""},
        {call("ΣΑΣ", "toLowerCase", "").c_str(), "\"σας\""},
        {call("abc", "toLocaleUpperCase", "").c_str(), "\"ABC\""},
        {call("ABC", "toLocaleLowerCase", "").c_str(), "\"abc\""},
        {call("  a b \\n", "trim", "").c_str(), "\"a b\""},
        {call("\\u00a0x\\u2028", "trim", "").c_str(), "\"x\""},
        {call("\\t\\r\\n", "trim", "").c_str(), "\"\""},
        {call("x", "trim", "1").c_str(), "error 9"},
    });
}

TEST_CASE("lengths and positions count UTF-16 code units") {
    checkCases({
        {"(prop \"\\ud83d\\ude00x\" \"length\")", "3"},
        {call("\\ud83d\\ude00x", "indexOf", "\"x\"").c_str(), "2"},
        {call("\\ud83d\\ude00x", "slice", "2").c_str(), "\"x\""},
        {call("\\ud83d\\ude00x", "split", "\"\"").c_str(), "[\"\ufffd\",\"\ufffd\",\"x\"]"},
        {"(eq (call \"\\ud83d\\ude00\" \"charAt\" (array 0)) (prop \"\\ud83d\\ude00\" 0))", "true"},
        {"(eq (add (call \"\\ud83d\\ude00\" \"charAt\" (array 0)) (call \"\\ud83d\\ude00\" \"charAt\" (array 1))) "
         "\"\\ud83d\\ude00\")",
         "true"},
    });
}
