#include "measurement/foundation/user_attribute.h"

namespace measurement {

APMPBUserAttribute APMUserAttribute::protoUserAttribute() const {
    enum { kSetTimestamp = 0, kName = 1, kString = 2, kInt = 3, kDouble = 4 };
    APMPBUserAttribute attribute;
    NANOSetInt64(attribute, kSetTimestamp, APMMillisecondsFromSeconds(lastSetTimestamp_));
    NANOSetString(attribute, kName, name_);
    if (value_.isString()) {
        NANOSetString(attribute, kString, value_.stringValue());
    } else if (value_.isInt64()) {
        NANOSetInt64(attribute, kInt, value_.int64Value());
    } else if (value_.isDouble()) {
        NANOSetDouble(attribute, kDouble, value_.doubleValue());
    }
    return attribute;
}

}  // namespace measurement
