#pragma once

// Helpers shared by the commands.

#include <cstddef>
#include <cstdint>

#include "measurement/script/runtime_value.h"

namespace measurement {

// Evaluates each argument in order in the scope (a literal yields itself).
// At the first error the failing result is still appended and evaluation
// stops.
APMPValueList APMPEvaluateArguments(const APMPValueList& arguments, APMPScope& scope, ScriptError& error);
// The same, appending to the given list.
void APMPEvaluateArgumentsInto(const APMPValueList& arguments, APMPScope& scope, ScriptError& error,
                               APMPValueList& results);

// Argument counts; each reports error 9.
bool APMPCheckArgumentCount(const APMPValueList& list, std::size_t n, ScriptError& error);
bool APMPCheckMinimumArgumentCount(const APMPValueList& list, std::size_t n, ScriptError& error);
bool APMPCheckMaximumArgumentCount(const APMPValueList& list, std::size_t n, ScriptError& error);

// NaN gives 0; zeros and infinities stay; anything else is truncated.
double APMPToInteger(double x);
// NaN and infinities give 0; otherwise truncated and wrapped modulo 2^32
// into the signed (or unsigned) 32-bit range.
std::int32_t APMPToInt32(double x);
std::uint32_t APMPToUint32(double x);

// A number or string value whose number form is finite, whole and not
// negative; the index is written to *index when given.
bool APMPIsArrayIndex(const APMPValueRef& value, double* index = nullptr);
// Strings, arrays, maps and functions.
inline bool APMPIsObjectOrString(const APMPValueRef& value) {
    switch (value.kind()) {
        case APMPValueKind::String:
        case APMPValueKind::Array:
        case APMPValueKind::Map:
        case APMPValueKind::Function:
            return true;
        default:
            return false;
    }
}

bool APMPStrictEquals(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error);
bool APMPLooseStringEquals(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error);
bool APMPLooseNumberEquals(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error);

// A double turned into a position in 0..upper: NaN gives 0, values outside
// saturate (converting them directly would be undefined behaviour).
std::size_t APMPClampToSize(double x, std::size_t upper);

}  // namespace measurement
