#pragma once

// Checks and trimming of event parameters, with their failure codes.

#include <cstddef>
#include <string>

#include "measurement/foundation/data_type_validator.h"
#include "measurement/foundation/parameter_value.h"
#include "platform/foundation/value.h"

namespace measurement {

// Monitor codes of the parameter checks (warnings, level 3).
enum : long {
    kAPMInvalidParameterNameCode = 13001,
    kAPMParameterValueTrimmedCode = 13002,
    kAPMTooManyParametersCode = 13003,
    kAPMInvalidParameterValueCode = 13004,
    kAPMParameterListTrimmedCode = 13005,
};

// The parameters that record a failure on the event that had it.
inline constexpr const char* kAPMErrorCodeParameter = "_err";
inline constexpr const char* kAPMErrorValueParameter = "_ev";
inline constexpr const char* kAPMErrorLengthParameter = "_el";

struct APMEventParameterLimits {
    // Characters of a string value (the server flag
    // "measurement.upload.max_event_parameter_value_length").
    std::size_t maxValueLength = kAPMDefaultMaxPublicEventParameterValueLength;
    // Parameters of a public event other than the engine's own ("_...").
    std::size_t maxPublicParameters = 25;
    // Dictionaries of a list value.
    std::size_t maxListLength = 200;
};

// Checks, trims and caps event parameters:
// - names: a public event takes public parameter names (a letter first,
//   letters, digits and "_", at most 40, no reserved prefix) and the engine's
//   own internal names; an internal event takes internal names. Others are
//   dropped (code 3, or 14 for a reserved prefix).
// - values: strings longer than the limit are cut (code 4); numbers become
//   64-bit integers (booleans too) or doubles; a list must hold dictionaries
//   only (checked like parameters, without further lists) and is cut to its
//   limit (code 17); any other value is dropped (code 8).
// - a public event keeps at most maxPublicParameters public parameters, in
//   name order (code 5).
// The first failure is recorded as "_err" (its code), "_ev" (the parameter's
// name) and, for a cut string, "_el" (its length) when addErrorParameters is
// set and the parameters hold no "_err" yet. Every failure is logged.
APMParameters APMSanitizedEventParameters(const platform::Value::Dictionary& parameters,
                                          const std::string& eventName, bool isPublicEvent,
                                          bool addErrorParameters, const APMEventParameterLimits& limits = {});
APMParameters APMSanitizedEventParameters(const APMParameters& parameters, const std::string& eventName,
                                          bool isPublicEvent, bool addErrorParameters,
                                          const APMEventParameterLimits& limits = {});

// True when the parameters hold any of "_si", "_sc", "_sn".
bool APMHasScreenParameters(const APMParameters& parameters);
bool APMHasScreenParameters(const platform::Value::Dictionary& parameters);

}  // namespace measurement
