#pragma once

// What one filter check yields, and the type codes of the value filters.

#include <cstdint>
#include <optional>

namespace measurement {

// True, false, or none: not evaluated (a missing parameter, a malformed
// filter, a value of the wrong kind), which leaves a stored result as it is.
using APMFilterOutcome = std::optional<bool>;

// Comparison types of a number filter. The field is a plain integer, so a
// type this engine does not know survives a round trip.
inline constexpr std::uint32_t kAPMComparisonUnknown = 0;
inline constexpr std::uint32_t kAPMComparisonLessThan = 1;
inline constexpr std::uint32_t kAPMComparisonGreaterThan = 2;
inline constexpr std::uint32_t kAPMComparisonEqual = 3;
inline constexpr std::uint32_t kAPMComparisonBetween = 4;

// Match types of a string filter, likewise plain integers.
inline constexpr std::uint32_t kAPMMatchUnknown = 0;
inline constexpr std::uint32_t kAPMMatchRegularExpression = 1;
inline constexpr std::uint32_t kAPMMatchBeginsWith = 2;
inline constexpr std::uint32_t kAPMMatchEndsWith = 3;
inline constexpr std::uint32_t kAPMMatchContains = 4;
inline constexpr std::uint32_t kAPMMatchExact = 5;
inline constexpr std::uint32_t kAPMMatchInList = 6;

}  // namespace measurement
