// Tests of the escaping of client text for the terminal.
#include <doctest/doctest.h>

#include "measurement/foundation/printable_text.h"

using measurement::printable;
using measurement::printableBlock;

TEST_CASE("client text is printed with every control escaped and UTF-8 kept") {
    const struct {
        std::string text;
        std::string whole;  // printable
        std::string block;  // printableBlock
    } cases[] = {
        {"velmora-app 1.0", "velmora-app 1.0", "velmora-app 1.0"},
        {"\x1b]0;owned\x07", "\\x1b]0;owned\\x07", "\\x1b]0;owned\\x07"},
        {"\x1b[2J\x1b[H", "\\x1b[2J\\x1b[H", "\\x1b[2J\\x1b[H"},
        {"a\nPOST /a: batch of 99 bundles -> 204", "a\\nPOST /a: batch of 99 bundles -> 204",
         "a\nPOST /a: batch of 99 bundles -> 204"},
        {"cr\rtab\tdel\x7fnul" + std::string(1, '\0'), "cr\\x0dtab\\tdel\\x7fnul\\x00", "cr\\x0dtab\\x09del\\x7fnul\\x00"},
        {"back\\slash", "back\\\\slash", "back\\slash"},
        // UTF-8 as it is: umlaut, euro sign, an emoji; U+00A0 is no control.
        {"\xC3\xA4 \xE2\x82\xAC \xF0\x9F\x98\x80 \xC2\xA0", "\xC3\xA4 \xE2\x82\xAC \xF0\x9F\x98\x80 \xC2\xA0",
         "\xC3\xA4 \xE2\x82\xAC \xF0\x9F\x98\x80 \xC2\xA0"},
        // The C1 controls (U+009B introduces a sequence), lone and cut
        // bytes, overlong forms and surrogates.
        {"\xC2\x9B" "2J", "\\xc2\\x9b2J", "\\xc2\\x9b2J"},
        // The first and the last of them.
        {"\xC2\x80\xC2\x9F", "\\xc2\\x80\\xc2\\x9f", "\\xc2\\x80\\xc2\\x9f"},
        {"\x9B" "2J", "\\x9b2J", "\\x9b2J"},
        {"\xE2\x82", "\\xe2\\x82", "\\xe2\\x82"},
        {"\xC0\x8A", "\\xc0\\x8a", "\\xc0\\x8a"},
        {"\xED\xA0\x80", "\\xed\\xa0\\x80", "\\xed\\xa0\\x80"},
        {"\xF4\x90\x80\x80", "\\xf4\\x90\\x80\\x80", "\\xf4\\x90\\x80\\x80"},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        CAPTURE(c.text);
        CHECK(printable(c.text) == c.whole);
        CHECK(printableBlock(c.text) == c.block);
    }
}
