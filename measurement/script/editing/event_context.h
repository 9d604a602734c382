#pragma once

// The event a program is handling: the input, the working copy that edit
// callbacks change, and the events the program created.

#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/edit_event.h"
#include "measurement/script/ref.h"
#include "platform/foundation/value.h"

namespace measurement {

class APMPEventContext final : public RefCounted {
public:
    // An empty event (no name, no parameters, timestamp 0) as input.
    APMPEventContext() = default;
    explicit APMPEventContext(APMPEvent event) { setInputEvent(std::move(event)); }

    // The event becomes the input, a copy of it the output; the created
    // events are forgotten.
    void setInputEvent(APMPEvent event);
    const APMPEvent& inputEvent() const { return inputEvent_; }
    const APMPEvent& outputEvent() const { return outputEvent_; }
    // The output for a change: from now on it may differ from the input.
    APMPEvent& editOutputEvent() {
        outputIsInput_ = false;
        return outputEvent_;
    }
    void setOutputEvent(APMPEvent event) {
        outputEvent_ = std::move(event);
        outputIsInput_ = false;
    }

    // What undoing the changes to come needs: a copy of the output, or
    // nothing while the output is still the input's untouched copy (the
    // input is then what an undo goes back to, and no copy is made).
    std::optional<APMPEvent> undoPoint() const;
    void undoTo(std::optional<APMPEvent> point);
    const std::vector<APMPEvent>& eventsToLog() const { return loggedEvents_; }

    // Adds a created event; its parameters are typed against the input
    // event's parameters of the same names.
    void logEventWithName(std::string name, double timestamp, const platform::Value::Dictionary& parameters);

private:
    APMPEvent inputEvent_;
    APMPEvent outputEvent_;
    bool outputIsInput_ = true;
    std::vector<APMPEvent> loggedEvents_;
};

}  // namespace measurement
