#pragma once
// Number texts of the charts, the same in every locale: "%g" texts and
// their reading back, shortest texts and whole numbers.

#include <optional>
#include <string>

namespace velmora {

// printf's "%g": six significant digits, no trailing zeros ("0.3", "1e-05").
std::string formatG(double value);
// A whole decimal text read as a number ("0.7", "1e-05", "-2"); none for
// anything else, so a text is never half read.
std::optional<double> readNumber(const std::string& text);
// The shortest text that reads back as the same double, with ".0" on whole
// values: "0.0", "1.0", "-0.71".
std::string shortestText(double value);
// The integer nearest to the value, halves away from zero, as text ("-90");
// "0" for NaN, and no integer conversion, so any double is safe.
std::string nearestWholeText(double value);

}  // namespace velmora
