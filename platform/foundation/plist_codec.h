#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/foundation/value.h"

namespace platform {

// Containers inside containers that a property list may hold (the root at
// depth 0); deeper documents are refused when read.
inline constexpr int kPropertyListMaxDepth = 512;
// Values a property list may hold, counted as the binary form is read (each
// value, the root among them; keys not); larger documents are refused when
// read.
inline constexpr std::size_t kPropertyListMaxValues = std::size_t{1} << 20;

// Property lists in their XML and binary forms. Parsing never throws: a
// malformed document gives no value and, when asked, a reason. Writing
// keeps every string as valid UTF-8 (a byte that is not becomes U+FFFD), so
// that whatever is written reads back.
std::optional<Value> parsePropertyList(const std::string& bytes, std::string* error = nullptr);
std::string writePropertyListXML(const Value& value);
std::string writePropertyListBinary(const Value& value);

// Why the value cannot be kept in a property list that reads back (it
// holds a null, nests deeper than kPropertyListMaxDepth or holds more than
// kPropertyListMaxValues); none when it can.
std::optional<std::string> propertyListProblem(const Value& value);

}  // namespace platform
