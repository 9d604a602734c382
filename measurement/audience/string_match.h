#pragma once

// String filters: their validity and the match of a value by match type.

#include <memory>
#include <optional>
#include <string>

#include "measurement/audience/audience_expression.h"
#include "measurement/audience/filter_outcome.h"
#include "measurement/foundation/messages.h"

namespace measurement {

// A match type with what it needs: an expression list for "in list", an
// expression for every other type, one that compiles for a regular
// expression (handed back through *compiled). Logs each failure (9000 to
// 9004) with the filter.
bool APMIsValidStringFilter(const APMPBStringFilter& filter,
                            std::shared_ptr<const APMAudienceExpression>* compiled = nullptr);

// Matches the value by the filter's match type; case-insensitive unless the
// filter's case-sensitive flag is present and true. No value, an invalid
// filter or a regular expression that runs past its limits: not evaluated.
APMFilterOutcome APMMatchString(const APMPBStringFilter& filter, const std::optional<std::string>& value);

// The comparisons behind the match types, on UTF-8 text; lengths count
// UTF-16 code units and ignoring case means full Unicode case folding. An
// empty expression begins, ends or is contained in nothing; it is exactly
// equal to the empty text alone, with or without case.
bool APMStringBeginsWith(const std::string& text, const std::string& expression, bool caseSensitive);
bool APMStringEndsWith(const std::string& text, const std::string& expression, bool caseSensitive);
bool APMStringContains(const std::string& text, const std::string& expression, bool caseSensitive);
bool APMStringEquals(const std::string& text, const std::string& expression, bool caseSensitive);

}  // namespace measurement
