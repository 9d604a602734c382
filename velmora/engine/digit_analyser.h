#pragma once

#include <string>

namespace velmora {

// How many decimal places turn the parts of a fraction into whole numbers.
class KuvoDigitAnalyser {
public:
    // The larger length of the fraction digits of a and b that read as a
    // whole number; 0 when neither does ("1.5e-07" has none).
    static double decimalPlaces(const std::string& a, const std::string& b);
};

}  // namespace velmora
