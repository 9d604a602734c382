#pragma once

// Short texts of audience definitions for monitor contexts and errors:
// every field that is set, by its proto name, as in
// {match_type: 2, expression: "abc", case_sensitive: true}.

#include <string>

#include "measurement/foundation/messages.h"

namespace measurement {

std::string APMDescriptionOfStringFilter(const APMPBStringFilter& filter);
std::string APMDescriptionOfNumberFilter(const APMPBNumberFilter& filter);
std::string APMDescriptionOfFilter(const APMPBFilter& filter);
std::string APMDescriptionOfEventFilter(const APMPBEventFilter& filter);
std::string APMDescriptionOfPropertyFilter(const APMPBPropertyFilter& filter);
std::string APMDescriptionOfAudience(const APMPBAudience& audience);
std::string APMDescriptionOfResultData(const APMPBResultData& data);

}  // namespace measurement
