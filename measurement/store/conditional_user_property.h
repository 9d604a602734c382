#pragma once

// APMConditionalUserProperty: a stored conditional user property.

#include <optional>
#include <string>
#include <utility>

#include "measurement/foundation/event.h"
#include "measurement/foundation/parameter_value.h"

namespace measurement {

// A user property to be set when a trigger event is logged within a
// timeout, kept for a time to live; with the events logged at activation,
// time-out and expiry. Times are seconds (since 1970 for the timestamps).
class APMConditionalUserProperty {
public:
    APMConditionalUserProperty() = default;

    const std::string& name() const { return name_; }
    void setName(std::string name) { name_ = std::move(name); }
    const std::string& origin() const { return origin_; }
    void setOrigin(std::string origin) { origin_ = std::move(origin); }
    // None means "remove" in a set request.
    const std::optional<APMValue>& value() const { return value_; }
    void setValue(std::optional<APMValue> value) { value_ = std::move(value); }
    // Empty means "active at once".
    const std::string& triggerEventName() const { return triggerEventName_; }
    void setTriggerEventName(std::string name) { triggerEventName_ = std::move(name); }
    double triggerTimeout() const { return triggerTimeout_; }
    void setTriggerTimeout(double seconds) { triggerTimeout_ = seconds; }
    double timeToLive() const { return timeToLive_; }
    void setTimeToLive(double seconds) { timeToLive_ = seconds; }
    const std::optional<APMEvent>& triggeredEvent() const { return triggeredEvent_; }
    void setTriggeredEvent(std::optional<APMEvent> event) { triggeredEvent_ = std::move(event); }
    const std::optional<APMEvent>& timedOutEvent() const { return timedOutEvent_; }
    void setTimedOutEvent(std::optional<APMEvent> event) { timedOutEvent_ = std::move(event); }
    const std::optional<APMEvent>& expiredEvent() const { return expiredEvent_; }
    void setExpiredEvent(std::optional<APMEvent> event) { expiredEvent_ = std::move(event); }
    double creationTimestamp() const { return creationTimestamp_; }
    void setCreationTimestamp(double timestamp) { creationTimestamp_ = timestamp; }
    bool isActive() const { return active_; }
    void setActive(bool active) { active_ = active; }
    double triggeredTimestamp() const { return triggeredTimestamp_; }
    void setTriggeredTimestamp(double timestamp) { triggeredTimestamp_ = timestamp; }

    bool operator==(const APMConditionalUserProperty&) const = default;

private:
    std::string name_;
    std::string origin_;
    std::optional<APMValue> value_;
    std::string triggerEventName_;
    double triggerTimeout_ = 0;
    double timeToLive_ = 0;
    std::optional<APMEvent> triggeredEvent_;
    std::optional<APMEvent> timedOutEvent_;
    std::optional<APMEvent> expiredEvent_;
    double creationTimestamp_ = 0;
    bool active_ = false;
    double triggeredTimestamp_ = 0;
};

}  // namespace measurement
