#pragma once

// APMEvent: the engine's event record.

#include <optional>
#include <string>

#include "measurement/foundation/edit_event.h"
#include "measurement/foundation/messages.h"
#include "measurement/foundation/parameter_value.h"

namespace measurement {

// The parameter that carries an event's origin.
inline constexpr const char* kAPMOriginParameter = "_o";

// The engine's event record: origin, public flag, name, timestamp and
// previous timestamp (seconds since 1970), parameters by name, and the
// real-time and conversion flags.
class APMEvent {
public:
    // The origin also travels as the parameter "_o" (when it is not empty).
    APMEvent(std::string origin, bool isPublic, std::string name, double timestamp, double previousTimestamp,
             APMParameters parameters);
    // Parameters given as plain objects; those that do not convert are left
    // out.
    APMEvent(std::string origin, bool isPublic, std::string name, double timestamp, double previousTimestamp,
             const platform::Value::Dictionary& parameters);

    const std::string& origin() const { return origin_; }
    bool isPublic() const { return isPublic_; }
    const std::string& name() const { return name_; }
    const APMParameters& parameters() const { return parameters_; }
    double timestamp() const { return timestamp_; }
    double previousTimestamp() const { return previousTimestamp_; }
    bool isRealtime() const { return realtime_; }
    void setRealtime(bool realtime) { realtime_ = realtime; }
    bool isConversion() const { return conversion_; }
    void setConversion(bool conversion) { conversion_ = conversion; }

    // The parameter of that name, null when absent.
    const APMValue* parameter(const std::string& name) const;

    APMEvent copyWithPreviousTimestamp(double previousTimestamp) const;
    // Parameters in name order, timestamps in whole milliseconds; tag 4 only
    // when there is a previous timestamp.
    APMPBEvent protoEvent() const;

    // What event-editing programs see: the internal name shown as its public
    // name where the event-name table has one, the parameters as plain
    // values.
    APMPEvent editEvent() const;
    // An engine event from an edited one: the public name mapped back to the
    // internal one, origin from a string "_o" (else "app"), not public, no
    // previous timestamp.
    static APMEvent eventFromEditEvent(const APMPEvent& editEvent);

    bool operator==(const APMEvent& other) const = default;

private:
    std::string origin_;
    bool isPublic_;
    std::string name_;
    double timestamp_;
    double previousTimestamp_;
    APMParameters parameters_;
    bool realtime_ = false;
    bool conversion_ = false;
};

// One parameter as a message and back (string tag 2, integer tag 3, double
// tag 4, list tag 5); a parameter without a value gives none.
APMPBEventParam APMProtoEventParam(const std::string& name, const APMValue& value);
std::optional<APMValue> APMValueFromProtoEventParam(const APMPBEventParam& param);
// Writes a string, integer or double value into the message field of its
// kind; false (nothing written) for a list.
bool APMSetScalarValueField(NANOMessageBase& message, int stringIndex, int intIndex, int doubleIndex,
                            const APMValue& value);
// An event message's parameters by name.
APMParameters APMParametersFromProtoEvent(const APMPBEvent& event);

}  // namespace measurement
