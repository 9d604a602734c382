// User properties and their message form.
#include "measurement/foundation/user_attribute.h"

#include "measurement/foundation/event.h"

namespace measurement {

APMPBUserAttribute APMUserAttribute::protoUserAttribute() const {
    enum { kSetTimestamp = 0, kName = 1, kString = 2, kInt = 3, kDouble = 4 };
    APMPBUserAttribute attribute;
    NANOSetInt64(attribute, kSetTimestamp, APMMillisecondsFromSeconds(lastSetTimestamp_));
    NANOSetString(attribute, kName, name_);
    // A list has no field of its own in a user property.
    APMSetScalarValueField(attribute, kString, kInt, kDouble, value_);
    return attribute;
}

}  // namespace measurement
