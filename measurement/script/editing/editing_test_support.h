#pragma once

// Programs from their text form, and events and errors as short text, for
// the event-editing tests.

#include <doctest/doctest.h>

#include <string>
#include <string_view>

#include "measurement/foundation/edit_event.h"
#include "measurement/script/editing/editing_error.h"
#include "measurement/script/program_decoder.h"
#include "measurement/script/script_string.h"
#include "measurement/script/text/program_text.h"

namespace measurement::testing {

// The text form of programs, which the tests write theirs in.
using namespace measurement::script_text;

inline APMPBProgram programFromText(std::string_view text) {
    const auto assembled = assemble(text);
    INFO("program: " << text);
    REQUIRE_MESSAGE(assembled.ok(), assembled.error);
    const auto bytes = encodeProgram(assembled.program);
    ScriptError error;
    auto program = APMPDecodeProgram(bytes.data(), bytes.size(), error);
    REQUIRE(program);
    return std::move(*program);
}

// Integers as digits, doubles always with a point or exponent, strings
// quoted: 2, 2.0, "2".
inline std::string describePlain(const platform::Value& value) {
    using Kind = platform::Value::Kind;
    switch (value.kind()) {
        case Kind::Int: return std::to_string(value.intValue());
        case Kind::Real: {
            std::string text = utf8FromUTF16(formatScriptNumber(value.realValue()));
            if (text.find_first_of(".eNI") == std::string::npos) text += ".0";
            return text;
        }
        case Kind::String: return "\"" + value.asString() + "\"";
        case Kind::Array: {
            std::string text = "[";
            for (const auto& element : value.asArray()) text += (text.size() > 1 ? "," : "") + describePlain(element);
            return text + "]";
        }
        case Kind::Dictionary: {
            std::string text = "{";
            for (const auto& [key, entry] : value.asDictionary()) {
                text += (text.size() > 1 ? "," : "") + key + "=" + describePlain(entry);
            }
            return text + "}";
        }
        default: return platform::kindName(value.kind());
    }
}

// "name@time key=value ...", keys in order.
inline std::string describeEvent(const APMPEvent& event) {
    std::string text = event.name() + "@" + describePlain(platform::Value(event.timestamp()));
    for (const auto& [key, value] : event.parameters()) text += " " + key + "=" + describePlain(value);
    return text;
}

// "script N" or "editing N".
inline std::string describeError(const ScriptError& error) {
    if (error.domain == kAPMPEditingErrorDomain) return "editing " + std::to_string(error.code);
    if (error.domain == kAPMPScriptErrorDomain) return "script " + std::to_string(error.code);
    return std::string(error.domain) + " " + std::to_string(error.code);
}

}  // namespace measurement::testing
