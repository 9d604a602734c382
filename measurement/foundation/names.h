#pragma once

// Public and internal names of events, parameters and user properties.

#include <map>
#include <optional>
#include <set>
#include <string>

#include "measurement/foundation/parameter_value.h"

namespace measurement {

using APMNameMap = std::map<std::string, std::string>;

// Read-only tables from public to internal names, built once.
const APMNameMap& APMPublicToInternalEventNames();
const APMNameMap& publicToInternalParameterNames();
const APMNameMap& APMUserPropertyNameMap();
// The reserved event names that may still be logged, with their internal
// names: "ad_impression" -> "_ai".
const APMNameMap& APMAllowedReservedEventNames();

// Public names that applications may not log.
const std::set<std::string>& APMReservedEventNames();
const std::set<std::string>& APMReservedUserPropertyNames();
// "rerudodo_", "rozeda_", "du_".
const std::set<std::string>& APMReservedNamePrefixes();

// The internal name of a public name, none when the table has none; and the
// public name of an internal one.
std::optional<std::string> APMInternalName(const APMNameMap& table, const std::string& publicName);
std::optional<std::string> APMPublicName(const APMNameMap& table, const std::string& internalName);

// Failure codes recorded in "_err" events.
enum APMValidationCode : int {
    kAPMValidationOK = 0,
    kAPMInvalidEventName = 2,
    kAPMInvalidParameterName = 3,
    kAPMParameterValueTooLong = 4,
    kAPMTooManyParameters = 5,
    kAPMInvalidUserPropertyName = 6,
    kAPMUserPropertyValueTooLong = 7,
    kAPMInvalidValue = 8,
    kAPMInvalidOrigin = 9,
    kAPMReservedEventName = 13,
    kAPMReservedParameterName = 14,
    kAPMReservedUserPropertyName = 15,
    kAPMListTooLong = 17,
};

inline constexpr int kAPMMaxPublicEventNameLength = 40;
inline constexpr int kAPMMaxPublicParameterNameLength = 40;
inline constexpr int kAPMMaxPublicUserPropertyNameLength = 24;

// A public name: 1 to maxLength characters, a letter first, then letters,
// digits and "_". Answers 0, 2 for a malformed name, 13 for a name with a
// reserved prefix or in the reserved set.
int APMPublicNameFailureCode(const std::string& name, int maxLength, const std::set<std::string>& reserved);
// The public event-name check: 0 valid, 13 reserved name or prefix, 2 any
// other failure. "ad_impression" passes (it may still be logged).
int APMValidatePublicEventName(const std::string& name);
// 0 valid, 14 reserved prefix, 3 any other failure.
int APMValidatePublicParameterName(const std::string& name);
// 0 valid, 15 reserved name or prefix, 6 any other failure.
int APMValidatePublicUserPropertyName(const std::string& name);
// An internal name: 1 to maxLength characters, a letter or "_" first, then
// letters, digits and "_".
bool APMIsValidInternalName(const std::string& name, int maxLength);

// Display forms for monitor contexts: "public (internal)" in debug mode when
// the public interface is present, else the name as it is.
std::string APMEventNameForLog(const std::string& name);
// As above; a name beginning "_exp_" shows as "experiment_id (<name>)".
std::string APMUserPropertyNameForLog(const std::string& name);
std::string APMParameterNameForLog(const std::string& name);
// "{name=value, ...}" with the names in display form.
std::string APMDescriptionOfParameters(const APMParameters& parameters);

}  // namespace measurement
