// The binary property-list form ("bplist00"), written and read in time
// linear in its size.
#pragma once

#include <optional>
#include <string>

#include "platform/foundation/plist_screening.h"
#include "platform/foundation/value.h"

namespace platform::binary_plist {

// The value in the binary form. Texts are written as valid UTF-8 up to
// their first NUL (none can be kept inside), ASCII ones as ASCII and the
// others as UTF-16; equal texts are written once and shared. A null is
// written as an empty text, and dates as plist_forms::datePartsSince2001
// keeps them.
std::string encode(const Value& value);

// The value a binary document holds, or none and, when asked, why: a UID,
// a null, a number or date of a size the form does not use, and anything
// malformed. Safe on any bytes: whatever screenPropertyList refuses with
// the same limits (a NUL in a text, a cycle, too many values or too deep a
// nesting, anything out of bounds) is refused here too. Lone UTF-16
// surrogates read as U+FFFD; of keys that repeat in a dictionary, the last
// one's value is kept.
std::optional<Value> decode(const std::string& bytes, const PropertyListLimits& limits, std::string* error = nullptr);

}  // namespace platform::binary_plist
