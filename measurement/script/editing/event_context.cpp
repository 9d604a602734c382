// The input, output and created events of one handled event.
#include "measurement/script/editing/event_context.h"

#include "measurement/script/editing/event_rules.h"

namespace measurement {

void APMPEventContext::setInputEvent(APMPEvent event) {
    inputEvent_ = std::move(event);
    outputEvent_ = inputEvent_;
    outputIsInput_ = true;
    loggedEvents_.clear();
}

std::optional<APMPEvent> APMPEventContext::undoPoint() const {
    if (outputIsInput_) return std::nullopt;
    return outputEvent_;
}

void APMPEventContext::undoTo(std::optional<APMPEvent> point) {
    if (point) {
        setOutputEvent(std::move(*point));
        return;
    }
    if (!outputIsInput_) outputEvent_ = inputEvent_;
    outputIsInput_ = true;
}

void APMPEventContext::logEventWithName(std::string name, double timestamp,
                                        const platform::Value::Dictionary& parameters) {
    platform::Value::Dictionary typed;
    for (const auto& [parameter, value] : parameters) {
        typed.emplace(parameter,
                      APMPEventCoerceParameterValue(parameter, inputEvent_.parameterForName(parameter), value));
    }
    loggedEvents_.emplace_back(std::move(name), timestamp, std::move(typed));
}

}  // namespace measurement
