#include <doctest/doctest.h>

#include <optional>
#include <string>
#include <vector>

#include "velmora/screens/keypad_editing.h"

using velmora::KeypadEdit;

TEST_CASE("keypad insertion at the cursor, over a selection, and the minus toggle") {
    struct Case {
        const char* text;
        int start;
        int end;
        const char* key;
        KeypadEdit expected;
    };
    const std::vector<Case> cases{
        {"", 0, 0, "7", {"7", 1}},           // an empty field takes its first digit
        {"3", 1, 1, "-", {"-3", 2}},         // cursor stays after the 3
        {"-3", 2, 2, "-", {"3", 1}},         // and back
        {"1-2", 3, 3, "-", {"12", 2}},       // a minus inside goes
        {"1-2", 1, 1, "-", {"12", 1}},       // a minus behind the cursor does not move it
        {"-1-2", 0, 0, "-", {"12", 0}},      // never below the start
        {"-1-2", 2, 2, "-", {"12", 1}},      // only the signs ahead of the cursor count
        {"1234", 1, 3, "5", {"154", 2}},     // a selection is replaced
        {"1234", 1, 3, "-", {"-14", 2}},     // the selection goes before the toggle
        {"12", 1, 1, ".", {"1.2", 2}},
        {"1/3", 3, 3, "\xCF\x80", {"1/3\xCF\x80", 4}},  // counted in characters
        {"\xCF\x80" "2", 1, 1, "0", {"\xCF\x80" "02", 2}},
        {"12", 9, 9, "3", {"123", 3}},       // an offset past the end is held to it
    };
    for (const auto& c : cases) {
        CAPTURE(c.text);
        CAPTURE(c.key);
        CHECK(velmora::keypadInsertion(c.text, c.start, c.end, c.key) == c.expected);
    }
}

TEST_CASE("keypad deletion") {
    struct Case {
        const char* text;
        int start;
        int end;
        std::optional<KeypadEdit> expected;
    };
    const std::vector<Case> cases{
        {"1234", 1, 3, KeypadEdit{"14", 1}},
        {"1234", 4, 4, KeypadEdit{"123", 3}},
        {"1234", 2, 2, KeypadEdit{"134", 1}},
        {"1234", 0, 0, std::nullopt},  // cursor at the start
        {"", 0, 0, std::nullopt},
        {"1234", 0, 4, KeypadEdit{"", 0}},
        {"a\xCF\x80" "b", 2, 2, KeypadEdit{"ab", 1}},
    };
    for (const auto& c : cases) {
        CAPTURE(c.text);
        CAPTURE(c.start);
        CHECK(velmora::keypadDeletion(c.text, c.start, c.end) == c.expected);
    }
}
