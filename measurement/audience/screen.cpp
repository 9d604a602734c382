// Screens and their event parameters.
#include "measurement/audience/screen.h"

#include "measurement/audience/reporter_codes.h"
#include "measurement/foundation/data_type_validator.h"
#include "measurement/foundation/environment.h"
#include "measurement/foundation/monitor.h"

namespace measurement {

namespace {

bool isValid(const std::optional<std::string>& text, std::size_t maxLength, int* failure = nullptr) {
    return text && APMDataTypeValidator::isValidScreenParameterValue(platform::Value(*text), failure, maxLength);
}

}  // namespace

APMScreen::APMScreen(std::optional<std::string> name, std::optional<std::string> className, std::int64_t instanceID)
    : name_(std::move(name)), className_(std::move(className)), instanceID_(instanceID) {}

std::shared_ptr<APMScreen> APMScreen::copy() const { return std::make_shared<APMScreen>(name_, className_, instanceID_); }

platform::Value::Dictionary APMScreenEventParameters(const APMScreen& screen, std::size_t maxValueLength) {
    platform::Value::Dictionary parameters{{"_si", static_cast<long long>(screen.instanceID())}};
    const auto& className = screen.className();
    if (!className || className->empty()) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelWarning, kAPMEmptyScreenClassNameCode,
                                          "Screen class name is empty");
    }
    if (className) {
        int failure = 0;
        if (!isValid(className, maxValueLength, &failure)) {
            APMMonitor::shared().logWithLevel(kAPMMonitorLevelWarning, kAPMInvalidScreenClassNameCode,
                                              "Screen class name is invalid. Error code", platform::Value(failure));
            return parameters;
        }
        parameters.emplace("_sc", *className);
    }
    if (isValid(screen.name(), maxValueLength)) parameters.emplace("_sn", *screen.name());
    return parameters;
}

platform::Value::Dictionary APMPreviousScreenEventParameters(const APMScreen& screen, std::size_t maxValueLength) {
    platform::Value::Dictionary parameters{{"_pi", static_cast<long long>(screen.instanceID())}};
    if (isValid(screen.className(), maxValueLength)) parameters.emplace("_pc", *screen.className());
    if (isValid(screen.name(), maxValueLength)) parameters.emplace("_pn", *screen.name());
    return parameters;
}

std::string APMDefaultScreenClassName(const std::string& className) {
    const auto dot = className.rfind('.');
    if (dot == std::string::npos || dot + 1 == className.size()) return className;
    return className.substr(dot + 1);
}

bool APMIsScreenReportingEnabled() {
    auto value = APMInfoPlistValue("RerudodoScreenReportingEnabled");
    if (value.isNull()) value = APMInfoPlistValue("RerudodoAutomaticScreenReportingEnabled");
    if (value.isBool() || value.isNumber()) return value.boolValue();
    return true;
}

}  // namespace measurement
