#pragma once

// The error domains and codes of the script runtime.

#include <string_view>

namespace measurement {

// The error domains of the runtime. Errors carry only a domain and a code;
// the runtime never throws, every fallible operation takes a ScriptError
// out-parameter last and callers test it after each call.
inline constexpr std::string_view kAPMPScriptErrorDomain = "measurement.script";
// Errors of the regular-expression compiler keep the compiler's own code.
inline constexpr std::string_view kAPMPRegexErrorDomain = "icu.regex";
// Other failures of the Unicode library (case mapping) keep its code too.
inline constexpr std::string_view kAPMPICUErrorDomain = "icu";

// Codes of the script error domain.
enum APMPScriptErrorCode : long {
    kAPMPErrorUndeclaredAssignment = 2,
    kAPMPErrorNoBooleanValue = 3,
    kAPMPErrorNoNumberValue = 4,
    kAPMPErrorNoStringValue = 5,
    kAPMPErrorPropertyWriteOnNothing = 6,
    kAPMPErrorMethodCallOnNothing = 7,
    kAPMPErrorReduceEmptyArray = 8,
    kAPMPErrorArgumentCount = 9,
    kAPMPErrorArgumentKind = 10,
    kAPMPErrorInvalidArrayLength = 11,
    kAPMPErrorUnknownEntity = 12,
    kAPMPErrorUnknownHostObject = 13,
    kAPMPErrorStatementWithoutName = 14,
    kAPMPErrorModuleCreatorFailed = 15,
    kAPMPErrorNotIterable = 16,
    kAPMPErrorUnknownMethod = 17,
    kAPMPErrorBudgetExhausted = 18,
};

struct ScriptError {
    std::string_view domain;
    long code = 0;

    explicit operator bool() const { return !domain.empty(); }
    // Records an error of the script domain. The first error set is the one
    // reported: a later failure never hides the cause.
    void fail(long scriptCode) { failIn(kAPMPScriptErrorDomain, scriptCode); }
    void failIn(std::string_view errorDomain, long errorCode) {
        if (*this) return;
        domain = errorDomain;
        code = errorCode;
    }
    bool is(long scriptCode) const { return domain == kAPMPScriptErrorDomain && code == scriptCode; }
    void clear() { *this = ScriptError{}; }
};

}  // namespace measurement
