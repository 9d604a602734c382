#include "velmora/engine/digit.h"

namespace velmora {

const NaturalConstant& NaturalConstant::pi() {
    static const NaturalConstant constant{"\xCF\x80", "\\pi", 3.141592653589793};
    return constant;
}

const NaturalConstant& NaturalConstant::e() {
    static const NaturalConstant constant{"e", "e", 2.718281828459045};
    return constant;
}

std::optional<double> Digit::value() const {
    if (!z) return std::nullopt;
    double v = *z / n;
    for (const auto& c : zConstants) v *= c.value;
    for (const auto& c : nConstants) v /= c.value;
    return v;
}

void Digit::assign(const Digit& from) {
    *this = from;
}

}  // namespace velmora
