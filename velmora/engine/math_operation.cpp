#include "velmora/engine/math_operation.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "velmora/engine/decimal_text.h"
#include "velmora/engine/number_format.h"
#include "velmora/engine/plain_text.h"

namespace velmora {

namespace {

using decimal::gText;

constexpr double kInt64Bound = 9223372036854775808.0;  // 2^63
constexpr int kMaxDecimals = 100;

mpz_class powerOfTen(long exponent) {
    mpz_class out;
    mpz_ui_pow_ui(out.get_mpz_t(), 10, static_cast<unsigned long>(exponent));
    return out;
}

bool isWholeInt64(double value) {
    return std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < kInt64Bound;
}

// Euclid's algorithm on the whole parts; 1 when either part is not a whole
// number in the 64-bit range.
std::int64_t commonDivisor(double z, double n) {
    if (!isWholeInt64(z) || !isWholeInt64(n)) return 1;
    auto a = static_cast<std::uint64_t>(std::fabs(z));
    auto b = static_cast<std::uint64_t>(std::fabs(n));
    return static_cast<std::int64_t>(std::gcd(a, b));
}

int clampDecimals(int decimals) {
    return std::clamp(decimals, 0, kMaxDecimals);
}

BernoulliProbability makeProbability(const mpz_class& scaled, int decimals, bool approximate) {
    BernoulliProbability out;
    out.decimals = decimals;
    out.scaledValue = scaled;
    out.approximate = approximate;
    out.value = decimal::nearestDouble(scaled, decimals);
    out.percentage = decimal::nearestDouble(scaled, decimals - 2);
    out.valueText = formatNumber("", {}, "", 10, true, false, out.value);
    out.percentageText = formatNumber("\\%", {}, "", 10, true, false, out.percentage);
    return out;
}

// num/den (den > 0) rounded to `decimals` places, halves away from zero.
BernoulliProbability roundExact(const mpz_class& num, const mpz_class& den, int decimals) {
    mpz_class scaled = abs(num) * powerOfTen(decimals);
    mpz_class quotient;
    mpz_class remainder;
    mpz_fdiv_qr(quotient.get_mpz_t(), remainder.get_mpz_t(), scaled.get_mpz_t(), den.get_mpz_t());
    const bool approximate = remainder != 0;
    if (2 * remainder >= den) ++quotient;
    if (num < 0) quotient = -quotient;
    return makeProbability(quotient, decimals, approximate);
}

BernoulliProbability roundDouble(double x, int decimals) {
    double scaled = std::round(x * std::pow(10.0, decimals));
    if (!std::isfinite(scaled)) {
        BernoulliProbability out;
        out.value = x;
        out.decimals = decimals;
        out.valueText = formatNumber("", {}, "", 10, true, false, x);
        out.percentageText = formatNumber("\\%", {}, "", 10, true, false, x * 100);
        out.percentage = x * 100;
        return out;
    }
    BernoulliProbability out = makeProbability(mpz_class(scaled), decimals, false);
    out.approximate = out.value != x;
    return out;
}

bool outsideSupport(long k, long n) {
    return n < 0 || k < 0 || k > n;
}

// C(n, k) p^k (1-p)^(n-k) in double, multiplying and dividing in turns so
// that the running product stays near the size of the result.
double interleavedProbability(long k, long n, double p) {
    if (outsideSupport(k, n)) return 0;
    const long high = std::max(k, n - k);
    const long low = std::min(k, n - k);
    long nextNumerator = high + 1;
    long nextDenominator = 1;
    long pLeft = k;
    long qLeft = n - k;
    double x = 1.0;
    while (nextNumerator <= n || nextDenominator <= low || pLeft > 0 || qLeft > 0) {
        if (nextNumerator <= n) x *= static_cast<double>(nextNumerator++);
        if (nextDenominator <= low) x /= static_cast<double>(nextDenominator++);
        if (pLeft > 0) {
            x *= p;
            --pLeft;
        }
        if (qLeft > 0) {
            x *= 1 - p;
            --qLeft;
        }
    }
    return x;
}

BernoulliProbability exactProbability(long k, long n, int decimals, const mpq_class& p) {
    if (outsideSupport(k, n)) return makeProbability(0, decimals, false);
    const mpz_class& a = p.get_num();
    const mpz_class& b = p.get_den();
    mpz_class coefficient;
    mpz_bin_uiui(coefficient.get_mpz_t(), static_cast<unsigned long>(n), static_cast<unsigned long>(k));
    mpz_class pk;
    mpz_class qnk;
    mpz_class den;
    mpz_class q = b - a;
    mpz_pow_ui(pk.get_mpz_t(), a.get_mpz_t(), static_cast<unsigned long>(k));
    mpz_pow_ui(qnk.get_mpz_t(), q.get_mpz_t(), static_cast<unsigned long>(n - k));
    mpz_pow_ui(den.get_mpz_t(), b.get_mpz_t(), static_cast<unsigned long>(n));
    return roundExact(coefficient * pk * qnk, den, decimals);
}

std::vector<mpz_class> powers(const mpz_class& base, long count) {
    std::vector<mpz_class> out(static_cast<std::size_t>(count + 1));
    out[0] = 1;
    for (long j = 1; j <= count; ++j) out[static_cast<std::size_t>(j)] = out[static_cast<std::size_t>(j - 1)] * base;
    return out;
}

std::vector<BernoulliProbability> exactDistribution(long n, int decimals, const mpq_class& p) {
    const mpz_class& a = p.get_num();
    const mpz_class& b = p.get_den();
    const auto pPowers = powers(a, n);
    const auto qPowers = powers(mpz_class(b - a), n);
    mpz_class den;
    mpz_pow_ui(den.get_mpz_t(), b.get_mpz_t(), static_cast<unsigned long>(n));
    std::vector<BernoulliProbability> out;
    mpz_class coefficient = 1;
    for (long k = 0; k <= n; ++k) {
        auto ku = static_cast<std::size_t>(k);
        out.push_back(roundExact(coefficient * pPowers[ku] * qPowers[static_cast<std::size_t>(n - k)], den, decimals));
        coefficient = coefficient * (n - k) / (k + 1);
    }
    return out;
}

}  // namespace

RoundedValue round(double x, int toPlaces) {
    if (!std::isfinite(x) || std::fabs(x) >= 4503599627370496.0) return {x, false};  // 2^52: already whole
    const int places = clampDecimals(toPlaces);
    const double scale = std::pow(10.0, places);
    const double rounded = std::round(x * scale) / scale;
    if (!std::isfinite(rounded) || rounded == x) return {std::isfinite(rounded) ? rounded : x, false};
    // The cut-off digits, read from the positional text of x: a tiny x has
    // its digits after the place, not in an exponent.
    std::string digits = decimal::fractionDigits(decimal::shortest(x));
    std::string tail = digits.size() > static_cast<std::size_t>(places) ? digits.substr(static_cast<std::size_t>(places)) : "";
    const bool noise = text::startsWith(tail, "0000") || text::startsWith(tail, "9999");
    return {rounded, !noise};
}

std::optional<mpq_class> exactValue(const Digit& digit) {
    if (!digit.z || !std::isfinite(*digit.z) || !std::isfinite(digit.n) || digit.n == 0) return std::nullopt;
    if (*digit.z == 0) return mpq_class(0);
    if (digit.hasConstants()) return std::nullopt;
    mpq_class out = decimal::exactRational(*digit.z) / decimal::exactRational(digit.n);
    out.canonicalize();
    return out;
}

KuvoMathOperation& KuvoMathOperation::shared() {
    static KuvoMathOperation instance;
    return instance;
}

FractionSubtraction KuvoMathOperation::fractionSubtractionSteps(const Digit& aIn, const Digit& bIn) const {
    Digit a;
    Digit b;
    a.assign(aIn);
    b.assign(bIn);
    if (!a.z || !b.z) return {};
    FractionSubtraction out;
    Digit result;
    if (a.hasConstants() || b.hasConstants()) {
        // A fraction with one constant factor cannot hold a difference such
        // as 1 - pi/4: the difference is given as a decimal.
        double av = *a.value();
        double bv = *b.value();
        result.z = av - bv;
        out.subtractionText = "{" + gText(av) + "} - {" + gText(bv) + "} = {" + gText(*result.z) + "}";
        out.result = result;
        return out;
    }
    if (a.n != b.n) {
        const double az = *a.z, an = a.n, bz = *b.z, bn = b.n;
        if (withFraction) {
            out.expansionText = "\\frac{" + gText(az) + " \\cdot " + gText(bn) + "}{" + gText(an) + "  \\cdot " +
                                gText(bn) + "} - \\frac{" + gText(bz) + " \\cdot " + gText(an) + "}{" + gText(bn) +
                                "  \\cdot " + gText(an) + "} = \\frac{" + gText(az * bn) + "}{" + gText(an * bn) +
                                "  } - \\frac{" + gText(bz * an) + "}{" + gText(bn * an) + "}";
        }
        // Without fraction mode the expansion is not shown, but the
        // difference is still taken over the common denominator.
        a.z = az * bn;
        a.n = an * bn;
        b.z = bz * an;
        b.n = bn * an;
    }
    result.z = *a.z - *b.z;
    result.n = a.n;
    if (withFraction || a.n != 1 || b.n != 1) {
        out.subtractionText = "\\frac{" + gText(*a.z) + "}{" + gText(a.n) + "} - \\frac{" + gText(*b.z) + "}{" +
                              gText(b.n) + "} = \\frac{" + gText(*result.z) + "}{" + gText(result.n) + "}";
    } else {
        out.subtractionText = "{" + gText(*a.z) + "} - {" + gText(*b.z) + "} = {" + gText(*result.z) + "}";
    }
    if (*result.z == 0) {
        result.n = 1;
    } else if (result.n < 0) {
        result.z = -*result.z;
        result.n = -result.n;
    }
    out.result = result;
    return out;
}

std::optional<CancelDownResult> KuvoMathOperation::cancelDown(const Digit& digit) {
    divisor = 1;
    if (!digit.z || !std::isfinite(*digit.z)) return std::nullopt;
    double z = *digit.z;
    double n = digit.n;
    if (std::fabs(z) > 1 && std::fabs(n) > 1) {
        if (std::int64_t g = commonDivisor(z, n); g > 1) {
            z /= static_cast<double>(g);
            n /= static_cast<double>(g);
            divisor = g;
        }
    }
    const int sign = n < 0 ? -1 : 1;
    divisor = *divisor * sign;
    std::vector<NaturalConstant> zConstants = digit.zConstants;
    std::vector<NaturalConstant> nConstants = digit.nConstants;
    std::vector<NaturalConstant> cancelled;
    if (!zConstants.empty() && zConstants == nConstants) {
        const NaturalConstant first = zConstants.front();
        std::erase(zConstants, first);
        std::erase(nConstants, first);
        cancelled.push_back(first);
    }
    if ((*divisor == 1 || *divisor == -1) && cancelled.empty()) return std::nullopt;
    CancelDownResult out;
    out.digit.assign(digit);
    out.digit.z = z * sign;
    out.digit.n = n * sign;
    out.digit.zConstants = zConstants;
    out.digit.nConstants = nConstants;
    out.latex = formatFraction(digit, cancelled, static_cast<double>(*divisor)) + " =  " +
                formatNumberForLatex(out.digit, "", 2, false, false, 10);
    return out;
}

Digit KuvoMathOperation::power(const Digit& digit, double e) const {
    Digit out;
    out.assign(digit);
    if (!digit.z) return out;
    if (digit.hasConstants()) {
        // One constant factor per part cannot carry a power of it: the
        // power is given as a decimal.
        out.z = std::pow(*digit.value(), e);
        out.n = 1;
        out.zConstants.clear();
        out.nConstants.clear();
        return out;
    }
    out.z = std::pow(*digit.z, e);
    out.n = std::pow(digit.n, e);
    return out;
}

BinomialCoefficient KuvoMathOperation::binomialCoefficient(long k, long n) const {
    BinomialCoefficient out;
    if (!outsideSupport(k, n)) {
        mpz_bin_uiui(out.value.get_mpz_t(), static_cast<unsigned long>(n), static_cast<unsigned long>(k));
    }
    out.text = formatNumber("", {}, "", 10, true, false, decimal::nearestDouble(out.value));
    return out;
}

BernoulliProbability KuvoMathOperation::bernoulliProbability(long k, long n, int decimals, const Digit& p) const {
    decimals = clampDecimals(decimals);
    if (auto exact = exactValue(p)) return exactProbability(k, n, decimals, *exact);
    return roundDouble(interleavedProbability(k, n, p.value().value_or(std::numeric_limits<double>::quiet_NaN())),
                       decimals);
}

BernoulliProbability KuvoMathOperation::bernoulliProbability(long k, long n, int decimals, double p) const {
    Digit digit;
    digit.z = p;
    return bernoulliProbability(k, n, decimals, digit);
}

std::vector<BernoulliProbability> KuvoMathOperation::bernoulliDistribution(long n, int decimals, const Digit& p) const {
    decimals = clampDecimals(decimals);
    if (n < 0) return {};
    if (auto exact = exactValue(p)) return exactDistribution(n, decimals, *exact);
    std::vector<BernoulliProbability> out;
    for (long k = 0; k <= n; ++k) out.push_back(bernoulliProbability(k, n, decimals, p));
    return out;
}

}  // namespace velmora
