// The experiments library's version number, as the request and the manager report it.
#pragma once

#include <charconv>
#include <cstdint>
#include <string_view>

#include "measurement/experiments/experiments_codes.h"

namespace measurement {

// The version string without its last three characters, read as a number
// ("10000000" gives 10000); 0 for a string of fewer than four characters or
// one that does not read as a number.
inline std::int64_t APMEVersionNumber(std::string_view versionString) {
    if (versionString.size() < 4) return 0;
    const std::string_view digits = versionString.substr(0, versionString.size() - 3);
    std::int64_t number = 0;
    const auto [end, problem] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (problem != std::errc() || end != digits.data() + digits.size()) return 0;
    return number;
}

inline std::int64_t APMELibraryVersion() { return APMEVersionNumber(kAPMELibraryVersionString); }

}  // namespace measurement
