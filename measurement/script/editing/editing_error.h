#pragma once

// The error domain of event editing: what loading a program and
// registering callbacks can fail with, beside the script errors.

#include <string_view>

namespace measurement {

inline constexpr std::string_view kAPMPEditingErrorDomain = "measurement.script.editing";

enum APMPEditingErrorCode : long {
    // A callback's rule map has no "type".
    kAPMPEditingErrorRuleWithoutType = 2,
    // A rule type other than "create" and "edit".
    kAPMPEditingErrorUnknownRuleType = 3,
    // 1000 callbacks are registered already.
    kAPMPEditingErrorTooManyCallbacks = 4,
    // The program's top-level statements ended in break, continue or return.
    kAPMPEditingErrorControlValueAtTopLevel = 5,
    // An activity rule that is not a map.
    kAPMPEditingErrorRuleNotAMap = 6,
    // An activity whose name is no function in scope.
    kAPMPEditingErrorActivityNotAFunction = 7,
};

}  // namespace measurement
