#pragma once

#include <optional>
#include <string>

#include "platform/foundation/value.h"

namespace platform {

// Property lists in their XML and binary forms. Parsing never throws: a
// malformed document gives no value and, when asked, a reason.
std::optional<Value> parsePropertyList(const std::string& bytes, std::string* error = nullptr);
std::string writePropertyListXML(const Value& value);
std::string writePropertyListBinary(const Value& value);

}  // namespace platform
