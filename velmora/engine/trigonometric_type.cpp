#include "velmora/engine/trigonometric_type.h"

#include <array>

namespace velmora {

namespace {

const std::array<std::string, 4>& rawValues() {
    static const std::array<std::string, 4> values = {"I", "II", "III", "IV"};
    return values;
}

}  // namespace

std::optional<Quadrant> quadrantFromRawValue(const std::string& raw) {
    const auto& values = rawValues();
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (values[i] == raw) return static_cast<Quadrant>(i);
    }
    return std::nullopt;
}

const std::string& rawValue(Quadrant quadrant) {
    return rawValues()[static_cast<std::size_t>(quadrant)];
}

}  // namespace velmora
