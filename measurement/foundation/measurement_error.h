#pragma once

// APMError: the engine's error domain, codes and context.

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/foundation/value.h"

namespace measurement {

// The error domain of the measurement engine.
inline constexpr const char* kAPMErrorDomain = "com.rozeda.measurement.ErrorDomain";
// The user-information key of an error's short monitor context.
inline constexpr const char* kAPMMonitorContextKey = "APMMonitorContext";
// The user-information key of an error's description.
inline constexpr const char* kAPMErrorDescriptionKey = "NSLocalizedDescription";

// An error of one domain with a code and its user information. Operations
// that can fail answer a success flag or nothing and fill an optional error
// out-parameter (`std::optional<APMError>*`, which may be null); no
// exception crosses them.
class APMError {
public:
    APMError(std::string domain, long code, platform::Value::Dictionary userInfo = {})
        : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

    const std::string& domain() const { return domain_; }
    long code() const { return code_; }
    const platform::Value::Dictionary& userInfo() const { return userInfo_; }
    std::string localizedDescription() const;
    // The short context under "APMMonitorContext"; null when there is none.
    platform::Value monitorContext() const;
    // "Error Domain=<domain> Code=<code> "<description>"", for monitor contexts.
    std::string description() const;
    // The error as a monitor context.
    platform::Value asContext() const { return platform::Value(description()); }

    bool operator==(const APMError&) const = default;

private:
    std::string domain_;
    long code_;
    platform::Value::Dictionary userInfo_;
};

using APMErrorOut = std::optional<APMError>*;

// An error, if any, as a monitor context (null when there is none).
inline platform::Value errorContext(const std::optional<APMError>& error) {
    return error ? error->asContext() : platform::Value();
}

APMError apm_errorWithCode(long code, std::string_view description);
APMError apm_errorWithCode(long code, std::string_view description, const platform::Value& monitorContext);

// Stores a measurement error only when an out-parameter is given.
void APMSetError(APMErrorOut error, long code, std::string_view description);

// True when the object is present; otherwise stores an error and answers false.
template <class T>
bool APMCheckObject(const T& object, APMErrorOut error, long code, std::string_view description) {
    if (static_cast<bool>(object)) return true;
    APMSetError(error, code, description);
    return false;
}

// True when the count is not 0; otherwise stores an error and answers false.
bool APMCheckNonZero(long long count, APMErrorOut error, long code, std::string_view description);

}  // namespace measurement
