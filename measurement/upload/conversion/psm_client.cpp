// Calls into the on-device conversion client found by class name.
#include "measurement/upload/conversion/psm_client.h"

#include <limits>

namespace measurement {

namespace {

constexpr const char* kInputTypeSelector = "inputType";
constexpr const char* kRequestURLSelector = "PSMRequestURLWithRetryCount:";
constexpr const char* kDebugKeySelector = "debugKey";
constexpr const char* kParsedValueSelector = "parsedPSMValueFromResponse:";

}  // namespace

int APMPSMClient::inputType() const {
    if (!object_->respondsToSelector(kInputTypeSelector)) return 0;
    const auto type = object_->performSelector(kInputTypeSelector).intValue();
    // Anything beyond an int names no kind the engine knows.
    if (type < std::numeric_limits<int>::min() || type > std::numeric_limits<int>::max()) return 0;
    return static_cast<int>(type);
}

std::optional<std::string> APMPSMClient::PSMRequestURLWithRetryCount(std::int32_t retryCount) const {
    if (!object_->respondsToSelector(kRequestURLSelector)) return std::nullopt;
    const auto url = object_->performSelectorWithArguments(kRequestURLSelector, {platform::Value(retryCount)});
    if (!url.isString() || url.asString().empty()) return std::nullopt;
    return url.asString();
}

std::optional<std::string> APMPSMClient::debugKey() const {
    if (!object_->respondsToSelector(kDebugKeySelector)) return std::nullopt;
    const auto key = object_->performSelector(kDebugKeySelector);
    if (!key.isString()) return std::nullopt;
    return key.asString();
}

std::string APMPSMClient::parsedPSMValueFromResponse(const std::vector<std::uint8_t>& body) const {
    if (!object_->respondsToSelector(kParsedValueSelector)) return {};
    const auto value =
        object_->performSelectorWithArguments(kParsedValueSelector, {platform::Value(platform::Data{body})});
    return value.isString() ? value.asString() : std::string();
}

std::optional<APMPSMClientClass> APMPSMClientClass::lookUp() {
    auto object = platform::ClassRegistry::classNamed(kAPMPSMClientClassName);
    if (!object) return std::nullopt;
    return APMPSMClientClass(std::move(object));
}

bool APMPSMClientClass::respondsToSelector(const std::string& selector) const {
    return object_->respondsToSelector(selector);
}

std::shared_ptr<APMPSMClient> APMPSMClientClass::make(const std::string& selector,
                                                      const platform::Value::Array& arguments) const {
    if (!object_->respondsToSelector(selector)) return nullptr;
    auto client = object_->performObjectSelectorWithArguments(selector, arguments);
    return client ? std::make_shared<APMPSMClient>(std::move(client)) : nullptr;
}

}  // namespace measurement
