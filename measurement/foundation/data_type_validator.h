#pragma once

// Checks of names, values and lengths used by event and property validation.

#include <cstddef>
#include <string>

#include "measurement/foundation/parameter_value.h"
#include "platform/foundation/value.h"

namespace measurement {

// The default of the server flag "measurement.upload.max_event_parameter_value_length".
inline constexpr std::size_t kAPMDefaultMaxPublicEventParameterValueLength = 500;

// Checks of values and names; each answers whether the input is valid and,
// when it is not and a failure-code out-parameter is given, stores the code
// (names.h: kAPMInvalidValue, kAPMParameterValueTooLong, ...). Lengths are in
// UTF-16 code units.
class APMDataTypeValidator {
public:
    // A string of 1 to maxLength characters.
    static bool isValidScreenParameterValue(const platform::Value& value, int* failureCode,
                                            std::size_t maxLength = kAPMDefaultMaxPublicEventParameterValueLength);
    // An internal name of at most 32 characters.
    static bool isValidConditionalUserPropertyOrigin(const std::string& origin, int* failureCode);
    // An internal name of at most 24 characters.
    static bool isValidConditionalUserPropertyName(const std::string& name, int* failureCode);
    // A string of 1 to 36 characters, or a finite number.
    static bool isValidConditionalUserPropertyValue(const platform::Value& value, int* failureCode);
    // An internal user property's value: a string of at most 36 characters
    // (256 for "_id" and "_gbraid", 512 for "_psmvalue"), or a finite number.
    static bool isValidInternalUserAttributeValue(const APMValue& value, const std::string& name, int* failureCode);
};

}  // namespace measurement
