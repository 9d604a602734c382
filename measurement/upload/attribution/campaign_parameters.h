#pragma once

// The campaign parameters of a link: which query keys make a campaign link,
// how they are renamed into the campaign event's parameters, and which are
// click identifiers.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "measurement/foundation/parameter_value.h"
#include "platform/foundation/value.h"

namespace measurement {

using APMLinkParameters = std::map<std::string, std::string>;

// Query key -> event parameter, for the keys a campaign event keeps.
const std::map<std::string, std::string>& APMCampaignParameterNames();
// At least one key that marks a campaign has a non-empty value.
bool APMIsValidCampaignURLParamDictionary(const APMLinkParameters& parameters);

// What a link and the extra parameters handed with it give: the text
// parameters (the link's query winning over a text extra of the same name)
// and the number extras, as they are.
struct APMLinkParameterSets {
    APMLinkParameters text;
    APMParameters numbers;
};
APMLinkParameterSets APMSplitLinkParameters(const std::string& query, const platform::Value::Dictionary& extras);

// The campaign event's parameters: the known keys with non-empty values
// under their event names, then the number extras under their own names,
// then the click time; click identifiers last of all removed when they are
// not allowed, whichever set they came from.
APMParameters APMCampaignEventParameters(const APMLinkParameterSets& sets, bool allowClickID,
                                         std::optional<std::int64_t> clickTimestampMillis);

}  // namespace measurement
