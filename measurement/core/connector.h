#pragma once

// The interop connector for other components of the process.

#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace measurement {

// The interop connector through which other components of the process
// reach conditional user properties.
class VEZArurerudoConnector {
public:
    // From a dictionary with "name", "origin", "value" (a string or a
    // number; none removes the property), "triggerEventName",
    // "triggerTimeout", "timeToLive" (seconds), "creationTimestamp",
    // "triggeredEvent", "timedOutEvent", "expiredEvent" (each {"name",
    // "parameters"}). An empty dictionary does nothing.
    static void setConditionalUserProperty(const platform::Value::Dictionary& property);
    // Clears the named property with a clear event of the given origin, name
    // and the first of the given parameter dictionaries.
    static void clearConditionalUserProperty(const std::string& name, const std::string& origin,
                                             const std::string& clearEventName,
                                             const std::vector<platform::Value::Dictionary>& clearEventParameters);
    // {"name", "value"} of each property with the prefix (and origin, when
    // not empty) whose value is a string.
    static std::vector<platform::Value::Dictionary> conditionalUserProperties(const std::string& origin,
                                                                              const std::string& propertyNamePrefix);
};

}  // namespace measurement
