// Turning a bundle property list into JSON text for the record decoders.
#pragma once

#include <optional>
#include <string>

#include "platform/foundation/value.h"

namespace velmora {

// The JSON text of a property list whose root is a dictionary. Texts,
// Booleans, whole and finite real numbers, arrays and dictionaries carry
// over; a date, data, a NaN or an infinity, text that is not UTF-8, a root
// that is no dictionary or nesting deeper than 256 levels have no JSON
// form: none, and *error names the first such value by its path.
std::optional<std::string> jsonFromPropertyList(const platform::Value& root, std::string* error = nullptr);

}  // namespace velmora
