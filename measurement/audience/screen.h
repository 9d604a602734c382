#pragma once

// The screen record of the screen-view reporter, the event parameters made
// from it, the default screen class of a controller class and the Info.plist
// switch of automatic screen reporting.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/value.h"

namespace measurement {

// One screen the user saw: the application's name for it, its class and the
// identifier of this instance. Flags and time are set while it is made and
// read only once it is shared.
class APMScreen {
public:
    APMScreen(std::optional<std::string> name, std::optional<std::string> className, std::int64_t instanceID);

    const std::optional<std::string>& name() const { return name_; }
    const std::optional<std::string>& className() const { return className_; }
    std::int64_t instanceID() const { return instanceID_; }
    // Named through setScreenName.
    bool isManuallySet() const { return manuallySet_; }
    void setManuallySet(bool value) { manuallySet_ = value; }
    // Made from a logged "screen_view".
    bool isManuallyTracked() const { return manuallyTracked_; }
    void setManuallyTracked(bool value) { manuallyTracked_ = value; }
    // The time of that "screen_view", seconds since 1970.
    double eventTimestamp() const { return eventTimestamp_; }
    void setEventTimestamp(double seconds) { eventTimestamp_ = seconds; }

    // Name, class and instance ID; the flags cleared, no time.
    std::shared_ptr<APMScreen> copy() const;

private:
    std::optional<std::string> name_;
    std::optional<std::string> className_;
    std::int64_t instanceID_;
    bool manuallySet_ = false;
    bool manuallyTracked_ = false;
    double eventTimestamp_ = 0;
};

using APMScreenRef = std::shared_ptr<const APMScreen>;

// "_si" the instance ID; "_sc" the class when it is a valid screen parameter
// value (an invalid one leaves "_si" alone, code 31015; an empty or missing
// one logs 31014); "_sn" the name when valid.
platform::Value::Dictionary APMScreenEventParameters(const APMScreen& screen, std::size_t maxValueLength);
// "_pi", "_pc" and "_pn" of a screen left; nothing is logged.
platform::Value::Dictionary APMPreviousScreenEventParameters(const APMScreen& screen, std::size_t maxValueLength);
// A class name without its module: the part after the last "." unless that
// "." ends the name.
std::string APMDefaultScreenClassName(const std::string& className);
// The Info.plist's "RerudodoScreenReportingEnabled", else its
// "RerudodoAutomaticScreenReportingEnabled": a number (or boolean) gives its
// truth; absent or of another type, reporting is on.
bool APMIsScreenReportingEnabled();

}  // namespace measurement
