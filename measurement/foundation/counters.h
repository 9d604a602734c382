#pragma once

// Counters that wrap to zero instead of overflowing.

#include <cstdint>
#include <limits>

namespace measurement {

// Raises a count by one; a count that would overflow becomes 0.
template <class T>
constexpr T APMIncrementedCount(T count) {
    return count == std::numeric_limits<T>::max() ? T{0} : static_cast<T>(count + 1);
}

}  // namespace measurement
