#pragma once

// Times as ISO-8601 UTC text.

#include <cstdint>
#include <optional>
#include <string>

namespace tools::collector {

// Milliseconds since 1970 as ISO-8601 UTC with milliseconds
// ("2024-05-01T12:00:00.123Z"); none outside the years 0000 to 9999, which
// the form cannot show without a sign.
std::optional<std::string> isoTimeFromMillis(std::int64_t millis);

// Seconds since 1970 as an HTTP date ("Wed, 01 May 2024 12:00:00 GMT"), the
// form of Last-Modified; none outside the years 0000 to 9999.
std::optional<std::string> httpDateFromSeconds(std::int64_t seconds);

}  // namespace tools::collector
