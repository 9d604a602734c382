// Tests of the program decoder.
#include <doctest/doctest.h>

#include <string>
#include <vector>

#include "measurement/script/program_decoder.h"
#include "measurement/script/text/program_text.h"

using namespace measurement;
using namespace measurement::script_text;

TEST_CASE("programs decode field by field") {
    const auto assembled = assemble(
        "(add 1 \"two\") true (\"fn\" -0.5)\n"
        "[activity \"edit\" (object \"type\" \"edit\") (object \"priority\" 3)]\n"
        "[activity \"create\"]");
    REQUIRE(assembled.ok());
    const auto bytes = encodeProgram(assembled.program);
    ScriptError error;
    const auto decoded = APMPDecodeProgram(bytes.data(), bytes.size(), error);
    REQUIRE(decoded);
    const nano_APMPBProgram& program = *decoded->message();
    REQUIRE(program.statements_count == 3);
    const auto& add = program.statements[0];
    CHECK(add.type == 4);
    REQUIRE(add.name);
    CHECK(std::string(reinterpret_cast<const char*>(add.name->bytes), add.name->size) == "0");
    REQUIRE(add.entities_count == 2);
    CHECK(add.entities[0].type == 2);
    CHECK(add.entities[0].number_value == 1);
    CHECK(add.entities[1].type == 1);
    CHECK(add.entities[1].string_value->size == 3);
    CHECK(program.statements[1].type == 3);
    CHECK(program.statements[1].boolean_value);
    CHECK(program.statements[2].entities[0].number_value == -0.5);
    REQUIRE(program.activities);
    REQUIRE(program.activities->activity_count == 2);
    CHECK(std::string(program.activities->activity[0].name) == "edit");
    CHECK(program.activities->activity[0].rules_count == 2);
    CHECK(program.activities->activity[1].rules_count == 0);
    CHECK(disassemble(program) ==
          "(add 1 \"two\")\ntrue\n(\"fn\" -0.5)\n"
          "[activity \"edit\" (object \"type\" \"edit\") (object \"priority\" 3)]\n[activity \"create\"]\n");
}

TEST_CASE("disassembled text assembles to the same bytes") {
    const char* programs[] = {
        "(function \"f\" (array \"a\") (return (mul $a 2))) (\"f\" 21)",
        "(if (lt 1 2) (code (break)) (code (continue))) NaN Infinity -Infinity 1e+21",
        "(switch \"x\" (code \"x\") (code (comma 1 2))) \"quote\\\" and \\\\ and \\n\"",
        "(?) ?7 (17 (array) 0) (33 1 2) (\"11\") (11)",
    };
    for (const char* text : programs) {
        CAPTURE(text);
        const auto first = assemble(text);
        REQUIRE(first.ok());
        const auto bytes = encodeProgram(first.program);
        ScriptError error;
        const auto decoded = APMPDecodeProgram(bytes.data(), bytes.size(), error);
        REQUIRE(decoded);
        const auto again = assemble(disassemble(*decoded->message()));
        REQUIRE(again.ok());
        CHECK(encodeProgram(again.program) == bytes);
    }
}

TEST_CASE("malformed bytes fail to decode with 12") {
    const std::vector<std::vector<std::uint8_t>> inputs = {
        {0x0a},                    // a length without its value
        {0x0a, 0x05, 0x08},        // a length past the end
        {0x0a, 0x02, 0x08},        // a varint cut short inside an entity
        {0x0b},                    // a group, which the program never uses
        {0x0a, 0x01, 0x0d},        // a fixed32 past the end of the entity
        {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01},
        {0x08, 0x01},              // field 1 as a varint: the wrong wire type
    };
    for (const auto& input : inputs) {
        ScriptError error;
        CHECK_FALSE(APMPDecodeProgram(input.data(), input.size(), error));
        CHECK(error.is(12));
    }
    ScriptError error;
    const auto empty = APMPDecodeProgram(nullptr, 0, error);
    REQUIRE(empty);
    CHECK(empty->message()->statements_count == 0);
    // Unknown fields are skipped.
    const std::vector<std::uint8_t> unknown = {0x78, 0x05, 0x0a, 0x02, 0x08, 0x02};
    const auto decoded = APMPDecodeProgram(unknown.data(), unknown.size(), error);
    REQUIRE(decoded);
    CHECK(decoded->message()->statements_count == 1);
}

TEST_CASE("the wire walk measures entity nesting") {
    const auto bytes = encodeProgram(assemble("1 (add (add 1 2) 3) [activity \"a\" (array (array (array 1)))]").program);
    CHECK(APMPProgramEntityDepth(bytes.data(), bytes.size(), 100) == 4);
    CHECK(APMPProgramEntityDepth(bytes.data(), bytes.size(), 2) == 3);
    ScriptError error;
    CHECK_FALSE(APMPDecodeProgram(bytes.data(), bytes.size(), error, 3));
    CHECK(error.is(12));
}
