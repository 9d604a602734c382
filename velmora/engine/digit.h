#pragma once

#include <optional>
#include <string>
#include <vector>

namespace velmora {

// A natural constant as the keypad types it ("π", "e"), its LaTeX and value.
struct NaturalConstant {
    std::string key;
    std::string latex;
    double value = 0;

    bool operator==(const NaturalConstant&) const = default;

    static const NaturalConstant& pi();
    static const NaturalConstant& e();
};

// A number as the engine reads, computes and prints it: z/n, each part with
// the constants multiplied into it and a variable with its power. An absent
// z means "no number" (an empty input).
class Digit {
public:
    Digit() = default;

    std::optional<double> z;
    double n = 1.0;
    std::vector<NaturalConstant> zConstants;
    std::vector<NaturalConstant> nConstants;
    std::string zVariable;
    std::string nVariable;
    double powerOfZVariable = 0;
    double powerOfNVariable = 0;

    bool operator==(const Digit&) const = default;

    // z / n times the numerator constants, divided by the denominator
    // constants; variables do not enter it. Absent when z is.
    std::optional<double> value() const;

    bool hasConstants() const { return !zConstants.empty() || !nConstants.empty(); }
    bool hasVariables() const { return !zVariable.empty() || !nVariable.empty(); }

    // Copies every field of `from`; the two records stay independent.
    void assign(const Digit& from);
};

// A plain numerator/denominator pair of the other calculators.
struct Fraction {
    std::optional<double> z;
    double n = 1.0;
};

}  // namespace velmora
