#pragma once

// Conversions between program entities, runtime values and host objects.

#include <optional>
#include <string_view>
#include <unordered_map>

#include "measurement/foundation/messages.h"
#include "measurement/script/object_values.h"
#include "platform/foundation/value.h"

namespace measurement {

// The string literals of one program, by their bytes: every literal of the
// same text becomes one shared string value, so that a name declared in
// one statement and read in another is matched by identity. Valid while
// the entities it was filled from are.
class APMPProgramLiterals {
public:
    Ref<APMPStringValue> stringValue(std::string_view utf8);

private:
    std::unordered_map<std::string_view, Ref<APMPStringValue>> strings_;
};

// Program entities to runtime values, and runtime values to and from plain
// host objects (class operations only).
class APMPRuntimeEntityConverter {
public:
    // Entities nested deeper than maxDepth fail with error 12.
    static APMPValueRef runtimeValueFromRuntimeEntity(const nano_APMPBRuntimeEntity& entity, ScriptError& error,
                                                      int maxDepth = 512);
    // The same, sharing string literals with the other entities of the
    // program.
    static APMPValueRef runtimeValueFromRuntimeEntity(const nano_APMPBRuntimeEntity& entity,
                                                      APMPProgramLiterals& literals, ScriptError& error,
                                                      int maxDepth = 512);
    static APMPValueRef stringValueFromRuntimeEntity(const nano_APMPBRuntimeEntity& entity);
    static APMPValueRef numberValueFromRuntimeEntity(const nano_APMPBRuntimeEntity& entity);
    static APMPValueRef booleanValueFromRuntimeEntity(const nano_APMPBRuntimeEntity& entity);
    static APMPValueRef statementValueFromRuntimeEntity(const nano_APMPBRuntimeEntity& entity, ScriptError& error,
                                                        int maxDepth = 512);

    // Host object to value: null gives null, booleans the shared booleans,
    // numbers, strings, dictionaries (new maps) and lists (new arrays)
    // convert; data and dates fail with error 13.
    static APMPValueRef runtimeValueFromNSObject(const platform::Value& object, APMPScope& scope,
                                                 ScriptError& error);
    // Value to host object; no object (nullopt) for null, the empty string
    // for undefined, dictionaries and lists for maps and arrays; numbers,
    // booleans and text written as the runtime writes a finite number ("12")
    // as numbers; other text (also "01234" or "1e3") and functions as text.
    // Cyclic data fails with error 10, data nested beyond the data limit
    // with error 18.
    static std::optional<platform::Value> objectFromRuntimeValue(const APMPValueRef& value, ScriptError& error);
    static std::optional<platform::Value> dictionaryFromMapValue(const APMPMapValue& map, ScriptError& error);
};

}  // namespace measurement
