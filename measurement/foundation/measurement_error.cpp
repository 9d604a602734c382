// Measurement errors and their monitor context.
#include "measurement/foundation/measurement_error.h"

namespace measurement {

std::string APMError::localizedDescription() const {
    auto found = userInfo_.find(kAPMErrorDescriptionKey);
    return found == userInfo_.end() ? std::string() : found->second.stringValue();
}

platform::Value APMError::monitorContext() const {
    auto found = userInfo_.find(kAPMMonitorContextKey);
    return found == userInfo_.end() ? platform::Value() : found->second;
}

std::string APMError::description() const {
    return "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" + localizedDescription() + "\"";
}

APMError apm_errorWithCode(long code, std::string_view description) {
    return APMError(kAPMErrorDomain, code, {{kAPMErrorDescriptionKey, std::string(description)}});
}

APMError apm_errorWithCode(long code, std::string_view description, const platform::Value& monitorContext) {
    APMError error(kAPMErrorDomain, code,
                   {{kAPMErrorDescriptionKey, std::string(description)}, {kAPMMonitorContextKey, monitorContext}});
    return error;
}

void APMSetError(APMErrorOut error, long code, std::string_view description) {
    if (error) *error = apm_errorWithCode(code, description);
}

bool APMCheckNonZero(long long count, APMErrorOut error, long code, std::string_view description) {
    if (count != 0) return true;
    APMSetError(error, code, description);
    return false;
}

}  // namespace measurement
