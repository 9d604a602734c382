// Checks of names, values and lengths.
#include "measurement/foundation/data_type_validator.h"

#include <cmath>

#include "measurement/foundation/names.h"
#include "measurement/foundation/text.h"

namespace measurement {

namespace {

bool fail(int* failureCode, int code) {
    if (failureCode) *failureCode = code;
    return false;
}

// A string of minLength to maxLength characters.
bool checkString(const std::string& text, std::size_t minLength, std::size_t maxLength, int tooLongCode,
                 int* failureCode) {
    std::size_t length = APMUTF16Length(text);
    if (length < minLength) return fail(failureCode, kAPMInvalidValue);
    if (length > maxLength) return fail(failureCode, tooLongCode);
    return true;
}

std::size_t maxInternalValueLength(const std::string& name) {
    if (name == "_id" || name == "_gbraid") return 256;
    if (name == "_psmvalue") return 512;
    return 36;
}

}  // namespace

bool APMDataTypeValidator::isValidScreenParameterValue(const platform::Value& value, int* failureCode,
                                                       std::size_t maxLength) {
    if (!value.isString()) return fail(failureCode, kAPMInvalidValue);
    return checkString(value.asString(), 1, maxLength, kAPMParameterValueTooLong, failureCode);
}

bool APMDataTypeValidator::isValidConditionalUserPropertyOrigin(const std::string& origin, int* failureCode) {
    return APMIsValidInternalName(origin, 32) || fail(failureCode, kAPMInvalidOrigin);
}

bool APMDataTypeValidator::isValidConditionalUserPropertyName(const std::string& name, int* failureCode) {
    return APMIsValidInternalName(name, 24) || fail(failureCode, kAPMInvalidUserPropertyName);
}

bool APMDataTypeValidator::isValidConditionalUserPropertyValue(const platform::Value& value, int* failureCode) {
    if (value.isString()) return checkString(value.asString(), 1, 36, kAPMUserPropertyValueTooLong, failureCode);
    if (value.isInt() || value.isBool()) return true;
    if (value.isReal() && std::isfinite(value.realValue())) return true;
    return fail(failureCode, kAPMInvalidValue);
}

bool APMDataTypeValidator::isValidInternalUserAttributeValue(const APMValue& value, const std::string& name,
                                                             int* failureCode) {
    if (value.isString()) {
        return checkString(value.stringValue(), 0, maxInternalValueLength(name), kAPMUserPropertyValueTooLong,
                           failureCode);
    }
    if (value.isInt64()) return true;
    if (value.isDouble() && std::isfinite(value.doubleValue())) return true;
    return fail(failureCode, kAPMInvalidValue);
}

}  // namespace measurement
