// Exact decimal numbers parsed from text, and the secure random source.
#include "measurement/foundation/numeric_util.h"

#include <openssl/rand.h>
#include <sys/random.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>

#include "measurement/foundation/monitor.h"
#include "measurement/foundation/numeric_util_shared_state.h"

namespace measurement {

detail::DecimalPattern& detail::decimalPattern() {
    static auto* pattern = new DecimalPattern();
    return *pattern;
}

namespace {

using detail::decimalPattern;

constexpr const char* kDecimalPattern = "^[+-]?(([0-9]+\\.?)|([0-9]*\\.[0-9]+))$";

// The compiled expression, compiling it when needed; null (logged) when it
// does not compile.
std::shared_ptr<const icu::RegexPattern> compiledDecimalPattern() {
    auto& state = decimalPattern();
    std::lock_guard lock(state.mutex);
    if (state.compiled) return state.compiled;
    const std::string source = state.override.value_or(kDecimalPattern);
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError;
    std::unique_ptr<icu::RegexPattern> compiled(
        icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(source), parseError, status));
    if (U_FAILURE(status) || !compiled) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelSilentError, kAPMDecimalRegexFailureCode,
                                          "Unable to initialize decimal number regexp. Regex, error",
                                          platform::Value(source), platform::Value(u_errorName(status)));
        return nullptr;
    }
    state.compiled = std::move(compiled);
    return state.compiled;
}

void logValue(long code, const std::string& message, const std::string& value) {
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelSilentError, code, message, platform::Value(value));
}

}  // namespace

// Reads the text of a decimal-number string (already checked) into a
// normalised decimal.
class APMDecimalParser {
public:
    enum class Result { Exact, Overflow, PrecisionLoss };

    static Result parse(const std::string& text, APMDecimalNumber* out) {
        std::size_t pos = 0;
        bool negative = false;
        if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
        std::string digits;
        long exponent = 0;
        bool fraction = false;
        for (; pos < text.size(); ++pos) {
            if (text[pos] == '.') {
                fraction = true;
                continue;
            }
            digits += text[pos];
            if (fraction) --exponent;
        }
        std::size_t first = digits.find_first_not_of('0');
        if (first == std::string::npos) {
            *out = APMDecimalNumber();
            return Result::Exact;
        }
        std::size_t last = digits.find_last_not_of('0');
        exponent += static_cast<long>(digits.size() - 1 - last);
        digits = digits.substr(first, last - first + 1);
        if (exponent > APMDecimalNumber::kMaxExponent) return Result::Overflow;
        if (digits.size() > APMDecimalNumber::kMaxDigits || exponent < APMDecimalNumber::kMinExponent) {
            return Result::PrecisionLoss;
        }
        out->negative_ = negative;
        out->digits_ = std::move(digits);
        out->exponent_ = static_cast<int>(exponent);
        return Result::Exact;
    }
};

APMDecimalNumber APMDecimalNumber::fromInt64(std::int64_t value) {
    std::string text = std::to_string(value);
    APMDecimalNumber number;
    APMDecimalParser::parse(text, &number);
    return number;
}

std::string APMDecimalNumber::stringValue() const {
    if (isZero()) return "0";
    std::string text;
    if (exponent_ >= 0) {
        text = digits_ + std::string(static_cast<std::size_t>(exponent_), '0');
    } else {
        const auto fractionDigits = static_cast<std::size_t>(-exponent_);
        if (digits_.size() > fractionDigits) {
            text = digits_.substr(0, digits_.size() - fractionDigits) + "." +
                   digits_.substr(digits_.size() - fractionDigits);
        } else {
            text = "0." + std::string(fractionDigits - digits_.size(), '0') + digits_;
        }
    }
    return negative_ ? "-" + text : text;
}

double APMDecimalNumber::doubleValue() const {
    if (isZero()) return 0;
    std::string text = (negative_ ? "-" : "") + digits_ + "e" + std::to_string(exponent_);
    return std::strtod(text.c_str(), nullptr);
}

std::strong_ordering APMDecimalNumber::operator<=>(const APMDecimalNumber& other) const {
    auto sign = [](const APMDecimalNumber& n) { return n.isZero() ? 0 : (n.negative_ ? -1 : 1); };
    if (auto bySign = sign(*this) <=> sign(other); bySign != 0 || sign(*this) == 0) return bySign;
    // Same sign: compare magnitudes by the position of the leading digit,
    // then digit by digit (a shorter digit string is a smaller magnitude).
    auto magnitude = [&]() {
        long lead = static_cast<long>(digits_.size()) + exponent_;
        long otherLead = static_cast<long>(other.digits_.size()) + other.exponent_;
        if (auto byLead = lead <=> otherLead; byLead != 0) return byLead;
        int byDigits = digits_.compare(other.digits_);
        return byDigits < 0 ? std::strong_ordering::less
                            : (byDigits > 0 ? std::strong_ordering::greater : std::strong_ordering::equal);
    }();
    if (!negative_) return magnitude;
    return 0 <=> magnitude;
}

std::int64_t APMNumericUtil::randomInt64() {
    unsigned char bytes[sizeof(std::int64_t)];
    // The kernel's source first: it is what OpenSSL's generator seeds from,
    // and asking it for eight bytes spares setting that generator up, a
    // millisecond of every start.
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes) &&
        RAND_bytes(bytes, sizeof bytes) != 1) {
        // The secure source failed; the system's entropy source stands in.
        std::random_device device;
        for (auto& byte : bytes) byte = static_cast<unsigned char>(device());
    }
    std::int64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

bool isDecimalNumberString(const std::string& text) {
    if (text.empty()) return false;
    auto pattern = compiledDecimalPattern();
    if (!pattern) return false;
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString input = icu::UnicodeString::fromUTF8(text);
    std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(input, status));
    if (U_FAILURE(status) || !matcher) return false;
    bool matches = matcher->matches(status);
    return U_SUCCESS(status) && matches;
}

std::optional<APMDecimalNumber> decimalNumberFromString(const std::string& text) {
    if (!isDecimalNumberString(text)) {
        logValue(kAPMDecimalNotNumericCode, "String value does not represent a numeric value. Value", text);
        return std::nullopt;
    }
    APMDecimalNumber number;
    switch (APMDecimalParser::parse(text, &number)) {
        case APMDecimalParser::Result::Exact: return number;
        case APMDecimalParser::Result::Overflow:
            logValue(kAPMDecimalCreationFailureCode, "Unable to create a NSDecimalNumber from string value. Value",
                     text);
            return std::nullopt;
        case APMDecimalParser::Result::PrecisionLoss:
            logValue(kAPMDecimalPrecisionLossCode,
                     "Unable to create a NSDecimalNumber from string value: loss of precision. Value", text);
            return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace measurement
