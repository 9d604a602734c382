#pragma once

#include <gmpxx.h>

#include <string>

// Decimal views of binary doubles. A double stands for the shortest decimal
// text that reads back as the same double ("0.3", not the 0.2999... that it
// holds); every text and every exact rational the engine makes of a double
// starts from those digits.
namespace velmora::decimal {

// value = (negative ? -1 : 1) * d0.d1d2... * 10^exponent; `digits` carries
// no leading or trailing zeros and is empty for zero.
struct Decimal {
    bool negative = false;
    std::string digits;
    int exponent = 0;

    bool isZero() const { return digits.empty(); }
};

// The shortest round-trip digits of a finite double.
Decimal shortest(double value);

// Positional text without grouping: "1234567.5", "0.00012", "-3". Zero
// is "0", never "-0".
std::string positional(const Decimal& value);

// Rounded to at most `maxFractionDigits` fraction digits, halves to even.
Decimal roundedToFractionDigits(const Decimal& value, int maxFractionDigits);

// The digits after the decimal point of the positional text ("" when whole).
std::string fractionDigits(const Decimal& value);

// Shortest text, positional for moderate magnitudes and in exponent form
// ("1.5e-07", "1e+17") below 1e-4 and from 1e17 on, like "%g" but without
// losing digits. Whole numbers carry no fraction part ("3").
std::string shortestText(double value);

// Shortest text as a reader of results expects it: whole values keep one
// fraction digit ("1.0"), exponent form below 1e-4 and from 2^53 on
// ("1e-05", "1e+16").
std::string descriptionText(double value);

// C's "%g" (six significant digits); "-0" is written "0".
std::string gText(double value);

// "9.05485 \cdot 10^{58}": `significant` digits, trailing zeros dropped.
std::string scientificLatex(double value, int significant = 6);

// value * 10^places, taken on the shortest decimal digits of value and
// correctly rounded: 0.1234567 shifted by 7 is exactly 1234567.
double shiftedDecimal(double value, int places);

// The exact value of the shortest decimal text of a finite double.
mpq_class exactRational(double value);

// strtod in the C locale, whatever locale the process has set.
double strtodC(const char* text, char** end);

// The double nearest to an exact value (correctly rounded, unlike the
// truncating conversions of GMP).
double nearestDouble(const mpz_class& value);
// value * 10^-places, correctly rounded.
double nearestDouble(const mpz_class& value, long places);

}  // namespace velmora::decimal
