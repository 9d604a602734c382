#pragma once

#include <functional>
#include <optional>
#include <string>

namespace velmora {

// The function a trigonometric chart draws.
enum class TrigonometricType { sin, cos, tan };

// The quadrant of the unit circle in which an angle ends; raw values are
// Roman numerals.
enum class Quadrant { first, second, third, fourth };

// Exact, case-sensitive: "IV" is fourth; "iv", " IV" and "V" are none.
std::optional<Quadrant> quadrantFromRawValue(const std::string& rawValue);
const std::string& rawValue(Quadrant quadrant);

}  // namespace velmora

// A quadrant hashes as its raw-value text.
template <>
struct std::hash<velmora::Quadrant> {
    std::size_t operator()(velmora::Quadrant quadrant) const noexcept {
        return std::hash<std::string>()(velmora::rawValue(quadrant));
    }
};
