#pragma once

// The event handler every callback receives: a map whose methods read and
// change the event being handled (getEventName, getParamValue, getParams,
// getTimestamp, setEventName, setParamValue). Other names are map methods.

#include "measurement/script/editing/event_context.h"
#include "measurement/script/object_values.h"

namespace measurement {

class APMPEventNativeFunctions final : public APMPMapValue {
public:
    explicit APMPEventNativeFunctions(Ref<APMPEventContext> eventContext)
        : _eventContext(std::move(eventContext)) {}

    // A handler method checks its argument count (error 9), evaluates the
    // arguments in the caller's scope and runs; any other name follows the
    // rules of maps.
    APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments, APMPScope& scope,
                               ScriptError& error) override;

private:
    Ref<APMPEventContext> _eventContext;
};

}  // namespace measurement
