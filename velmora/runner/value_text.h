// Values as short text for the runner's listings: preferences and event parameters.
#pragma once

#include <string>

#include "platform/foundation/value.h"

namespace velmora::runner {

// Strings quoted (long ones cut with "..."), numbers and Booleans as
// written, dates in UTC ("2023-11-14 22:13:20 UTC"), data as its size,
// short lists and dictionaries inline, long or deep ones as their size
// ("[27 entries]").
std::string valueText(const platform::Value& value);

// The text without the spaces, tabs and line ends around it.
std::string trimmed(const std::string& text);

// A wall time of the clock in UTC, to the second.
std::string dateText(double secondsSince1970);

}  // namespace velmora::runner
