#pragma once

#include <optional>
#include <string>

#include "platform/foundation/value.h"

namespace platform {

// JSON documents as typed values. Whole numbers become Int, others Real;
// data is written as an array of byte values and dates as seconds.
std::optional<Value> parseJSON(const std::string& text, std::string* error = nullptr);
std::string writeJSON(const Value& value, bool pretty = false);

}  // namespace platform
