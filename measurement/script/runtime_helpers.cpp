// Helpers shared by the commands: argument evaluation and checks.
#include "measurement/script/runtime_helpers.h"

#include <cmath>

#include "measurement/script/evaluator.h"
#include "measurement/script/script_string.h"

namespace measurement {

APMPValueList APMPEvaluateArguments(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    APMPValueList results;
    APMPEvaluateArgumentsInto(arguments, scope, error, results);
    return results;
}

void APMPEvaluateArgumentsInto(const APMPValueList& arguments, APMPScope& scope, ScriptError& error,
                               APMPValueList& results) {
    results.reserve(results.size() + arguments.size());
    for (const auto& argument : arguments) {
        results.push_back(evaluation::evaluate(argument, scope, error));
        if (error) break;
    }
}

bool APMPCheckArgumentCount(const APMPValueList& list, std::size_t n, ScriptError& error) {
    if (list.size() == n) return true;
    error.fail(kAPMPErrorArgumentCount);
    return false;
}

bool APMPCheckMinimumArgumentCount(const APMPValueList& list, std::size_t n, ScriptError& error) {
    if (list.size() >= n) return true;
    error.fail(kAPMPErrorArgumentCount);
    return false;
}

bool APMPCheckMaximumArgumentCount(const APMPValueList& list, std::size_t n, ScriptError& error) {
    if (list.size() <= n) return true;
    error.fail(kAPMPErrorArgumentCount);
    return false;
}

double APMPToInteger(double x) {
    if (std::isnan(x)) return 0;
    if (x == 0 || std::isinf(x)) return x;
    return std::trunc(x);
}

std::int32_t APMPToInt32(double x) {
    if (std::isnan(x) || std::isinf(x)) return 0;
    double r = std::fmod(std::trunc(x), 4294967296.0);
    if (r >= 2147483648.0) r -= 4294967296.0;
    if (r < -2147483648.0) r += 4294967296.0;
    return static_cast<std::int32_t>(r);
}

std::uint32_t APMPToUint32(double x) { return static_cast<std::uint32_t>(APMPToInt32(x)); }

bool APMPIsArrayIndex(const APMPValueRef& value, double* index) {
    double x = 0;
    if (value.isNumber()) {
        x = value.numberValue();
    } else if (value.isString()) {
        x = parseScriptNumber(valueAs<APMPStringValue>(value).value());
    } else {
        return false;
    }
    if (!(x >= 0) || std::isinf(x) || std::trunc(x) != x) return false;
    if (index) *index = x;
    return true;
}

bool APMPStrictEquals(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case APMPValueKind::Number:
            return a.numberValue() == b.numberValue();
        case APMPValueKind::Boolean: {
            const double x = a.doubleValueOrError(error);
            const double y = b.doubleValueOrError(error);
            return !error && x == y;
        }
        case APMPValueKind::String:
            return valueAs<APMPStringValue>(a).value() == valueAs<APMPStringValue>(b).value();
        default:
            return a.get() == b.get();
    }
}

bool APMPLooseStringEquals(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error) {
    const auto x = a.stringValueOrError(error);
    if (error) return false;
    const auto y = b.stringValueOrError(error);
    return !error && x == y;
}

bool APMPLooseNumberEquals(const APMPValueRef& a, const APMPValueRef& b, ScriptError& error) {
    const double x = a.doubleValueOrError(error);
    if (error) return false;
    const double y = b.doubleValueOrError(error);
    return !error && x == y;
}

std::size_t APMPClampToSize(double x, std::size_t upper) {
    if (std::isnan(x) || x <= 0) return 0;
    if (x >= static_cast<double>(upper)) return upper;
    return static_cast<std::size_t>(x);
}

}  // namespace measurement
