#include "velmora/engine/decimal_text.h"

#include <charconv>
#include <locale.h>
#include <stdlib.h>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace velmora::decimal {

namespace {

// "1.2345e-05" and its kin, from the digits alone.
std::string exponentForm(const Decimal& d) {
    std::string out = d.negative ? "-" : "";
    out += d.digits[0];
    if (d.digits.size() > 1) out += "." + d.digits.substr(1);
    int e = d.exponent;
    out += e < 0 ? "e-" : "e+";
    std::string mag = std::to_string(e < 0 ? -e : e);
    if (mag.size() < 2) mag = "0" + mag;
    return out + mag;
}

// Adds one unit in the last place; true when the carry ran past the first digit.
bool incrementDigits(std::string& digits) {
    for (std::size_t i = digits.size(); i-- > 0;) {
        if (digits[i] != '9') {
            ++digits[i];
            return false;
        }
        digits[i] = '0';
    }
    digits.insert(digits.begin(), '1');
    return true;
}

void stripTrailingZeros(std::string& digits) {
    while (!digits.empty() && digits.back() == '0') digits.pop_back();
}

}  // namespace

Decimal shortest(double value) {
    Decimal d;
    if (value == 0 || !std::isfinite(value)) return d;
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string s(buf, res.ptr);
    std::size_t pos = 0;
    if (s[0] == '-') {
        d.negative = true;
        pos = 1;
    }
    std::size_t ePos = s.find('e');
    for (std::size_t i = pos; i < ePos; ++i) {
        if (s[i] != '.') d.digits += s[i];
    }
    d.exponent = std::atoi(s.c_str() + ePos + 1);
    stripTrailingZeros(d.digits);
    return d;
}

std::string positional(const Decimal& d) {
    if (d.isZero()) return "0";
    const int len = static_cast<int>(d.digits.size());
    std::string intPart;
    std::string frac;
    if (d.exponent >= 0) {
        int intLen = d.exponent + 1;
        intPart = d.digits.substr(0, std::min(len, intLen));
        intPart.append(static_cast<std::size_t>(std::max(0, intLen - len)), '0');
        if (len > intLen) frac = d.digits.substr(static_cast<std::size_t>(intLen));
    } else {
        intPart = "0";
        frac = std::string(static_cast<std::size_t>(-d.exponent - 1), '0') + d.digits;
    }
    std::string out = d.negative ? "-" : "";
    out += intPart;
    if (!frac.empty()) out += "." + frac;
    return out;
}

std::string fractionDigits(const Decimal& d) {
    std::string text = positional(d);
    std::size_t dot = text.find('.');
    return dot == std::string::npos ? std::string() : text.substr(dot + 1);
}

Decimal roundedToFractionDigits(const Decimal& d, int maxFractionDigits) {
    if (d.isZero()) return d;
    const int len = static_cast<int>(d.digits.size());
    const int keep = d.exponent + 1 + maxFractionDigits;  // digits that stay
    if (keep >= len) return d;
    Decimal out;
    out.negative = d.negative;
    out.exponent = d.exponent;
    if (keep < 0) return Decimal{};  // below half a unit of the last place
    std::string kept = d.digits.substr(0, static_cast<std::size_t>(keep));
    const char first = d.digits[static_cast<std::size_t>(keep)];
    const bool moreAfter = keep + 1 < len;  // digits carry no trailing zeros
    bool up = first > '5' || (first == '5' && moreAfter);
    if (first == '5' && !moreAfter) up = !kept.empty() && ((kept.back() - '0') % 2 == 1);
    if (up && incrementDigits(kept)) ++out.exponent;
    stripTrailingZeros(kept);
    if (kept.empty()) return Decimal{};
    out.digits = kept;
    return out;
}

std::string shortestText(double value) {
    Decimal d = shortest(value);
    if (d.isZero()) return "0";
    if (d.exponent < -4 || d.exponent >= 17) return exponentForm(d);
    return positional(d);
}

std::string descriptionText(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    Decimal d = shortest(value);
    if (d.isZero()) return "0.0";
    if (d.exponent < -4 || std::fabs(value) >= 9007199254740992.0) return exponentForm(d);
    std::string text = positional(d);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
}

std::string gText(double value) {
    if (value == 0) return "0";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", value);
    return buf;
}

std::string scientificLatex(double value, int significant) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*e", std::max(0, significant - 1), value);
    std::string s(buf);
    std::size_t ePos = s.find('e');
    if (ePos == std::string::npos) return s;
    std::string mantissa = s.substr(0, ePos);
    if (mantissa.find('.') != std::string::npos) {
        while (mantissa.back() == '0') mantissa.pop_back();
        if (mantissa.back() == '.') mantissa.pop_back();
    }
    int exponent = std::atoi(s.c_str() + ePos + 1);
    return mantissa + " \\cdot 10^{" + std::to_string(exponent) + "}";
}

double shiftedDecimal(double value, int places) {
    Decimal d = shortest(value);
    if (d.isZero()) return value;
    std::string text = (d.negative ? "-" : "") + d.digits + "e" +
                       std::to_string(static_cast<long>(d.exponent) - static_cast<long>(d.digits.size() - 1) + places);
    return strtodC(text.c_str(), nullptr);
}

mpq_class exactRational(double value) {
    Decimal d = shortest(value);
    if (d.isZero()) return mpq_class(0);
    mpz_class digits(d.digits, 10);
    long scale = static_cast<long>(d.exponent) - static_cast<long>(d.digits.size() - 1);
    mpz_class power;
    mpz_ui_pow_ui(power.get_mpz_t(), 10, static_cast<unsigned long>(scale < 0 ? -scale : scale));
    mpq_class out = scale >= 0 ? mpq_class(digits * power) : mpq_class(digits, power);
    out.canonicalize();
    return d.negative ? mpq_class(-out) : out;
}

double strtodC(const char* text, char** end) {
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return strtod_l(text, end, cLocale);
}

double nearestDouble(const mpz_class& value) {
    return nearestDouble(value, 0);
}

double nearestDouble(const mpz_class& value, long places) {
    std::string text = value.get_str(10) + "e" + std::to_string(-places);
    return strtodC(text.c_str(), nullptr);
}

}  // namespace velmora::decimal
