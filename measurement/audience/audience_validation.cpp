// The definition check of one audience.
#include "measurement/audience/audience_validation.h"

#include <string>

#include "measurement/audience/audience_codes.h"
#include "measurement/audience/audience_fields.h"
#include "measurement/audience/number_comparison.h"
#include "measurement/audience/string_match.h"
#include "measurement/store/remote_config.h"

namespace measurement {

namespace {

using namespace audience_field;

// Fails the check with the code and description.
bool refuse(APMErrorOut error, long code, const char* description) {
    APMSetError(error, code, description);
    return false;
}

bool hasName(const NANOMessageBase& message, int index) {
    const auto name = NANOGetString(message, index);
    return name && !name->empty();
}

// The descriptions of one filter kind's failures.
struct FilterTexts {
    long code;
    const char* missingName;
    const char* missingID;
    const char* idOutOfRange;
    const char* duplicateID;
    const char* exactlyOne;
    const char* invalidNumber;
    const char* invalidString;
};

constexpr FilterTexts kEventTexts{kAPMAudienceEventFilterErrorCode,
                                  "Event filter missing event name",
                                  "Missing event filter ID",
                                  "Event filter ID is out of range",
                                  "Duplicate event filter ID",
                                  "Event filter must have exactly one of number or string filter",
                                  "Event filter has invalid number filter",
                                  "Event filter has invalid string filter"};

constexpr FilterTexts kPropertyTexts{kAPMAudiencePropertyFilterErrorCode,
                                     "Property filter missing property name",
                                     "Missing property filter ID",
                                     "Property filter ID is out of range",
                                     "Duplicate property filter ID",
                                     "Property filter must have exactly one of number or string filter",
                                     "Property filter has invalid number filter",
                                     "Property filter has invalid string filter"};

// The filter ID is present, below the maximum and new to the audience; it
// joins the audience's set.
bool checkFilterID(const NANOMessageBase& filter, int index, std::set<std::int32_t>& filterIDs,
                   const APMAudienceLimits& limits, const FilterTexts& texts, APMErrorOut error) {
    if (!NANOHasField(filter, index)) return refuse(error, texts.code, texts.missingID);
    const std::int32_t filterID = NANOGetInt32(filter, index);
    if (filterID < 0 || filterID >= limits.maxFiltersPerAudience) return refuse(error, texts.code, texts.idOutOfRange);
    if (!filterIDs.insert(filterID).second) return refuse(error, texts.code, texts.duplicateID);
    return true;
}

// Exactly one of a number and a string filter, whichever it is valid.
bool checkValueFilter(const APMPBFilter& filter, const FilterTexts& texts, APMErrorOut error) {
    const auto number = NANOGetMessage<APMPBNumberFilter>(filter, kFilterNumber);
    const auto string = NANOGetMessage<APMPBStringFilter>(filter, kFilterString);
    if (number.has_value() == string.has_value()) return refuse(error, texts.code, texts.exactlyOne);
    if (number && !APMIsValidNumberFilter(*number)) return refuse(error, texts.code, texts.invalidNumber);
    if (string && !APMIsValidStringFilter(*string)) return refuse(error, texts.code, texts.invalidString);
    return true;
}

bool checkEventFilter(const APMPBEventFilter& filter, std::set<std::int32_t>& filterIDs,
                      const APMAudienceLimits& limits, APMErrorOut error) {
    constexpr long code = kAPMAudienceEventFilterErrorCode;
    if (!hasName(filter, kEventFilterEventName)) return refuse(error, code, kEventTexts.missingName);
    if (!checkFilterID(filter, kEventFilterID, filterIDs, limits, kEventTexts, error)) return false;
    if (const auto count = NANOGetMessage<APMPBNumberFilter>(filter, kEventFilterCountFilter)) {
        if (NANOGetBool(*count, kNumberMatchAsFloat)) {
            return refuse(error, code, "Event filter has float event count filter");
        }
        if (!APMIsValidNumberFilter(*count)) return refuse(error, code, "Event filter has invalid event count filter");
    }
    const auto parameters = NANOGetArray<APMPBFilter>(filter, kEventFilterParameterFilters);
    if (static_cast<std::int64_t>(parameters.size()) > limits.maxParametersPerFilter) {
        return refuse(error, code, "Event filter parameters filters count out of range");
    }
    for (const auto& parameter : parameters) {
        if (!hasName(parameter, kFilterParameterName)) return refuse(error, code, "Event filter missing parameter name");
        if (!checkValueFilter(parameter, kEventTexts, error)) return false;
    }
    return true;
}

bool checkPropertyFilter(const APMPBPropertyFilter& filter, std::set<std::int32_t>& filterIDs,
                         const APMAudienceLimits& limits, APMErrorOut error) {
    constexpr long code = kAPMAudiencePropertyFilterErrorCode;
    if (!hasName(filter, kPropertyFilterName)) return refuse(error, code, kPropertyTexts.missingName);
    if (!checkFilterID(filter, kPropertyFilterID, filterIDs, limits, kPropertyTexts, error)) return false;
    const auto valueFilter = NANOGetMessage<APMPBFilter>(filter, kPropertyFilterFilter);
    if (!valueFilter) return refuse(error, code, "Property filter has no filter");
    return checkValueFilter(*valueFilter, kPropertyTexts, error);
}

}  // namespace

APMAudienceLimits APMAudienceLimits::fromRemoteConfig(const APMRemoteConfig& config) {
    return {config.maxAudienceCount(), config.maxFiltersPerAudience(), config.maxFilterResultCount(),
            config.maxParametersPerFilter()};
}

bool APMValidateAudience(const APMPBAudience& audience, const std::set<std::int32_t>& acceptedAudienceIDs,
                         APMErrorOut error, const APMAudienceLimits& limits) {
    constexpr long code = kAPMAudienceDefinitionErrorCode;
    if (!NANOHasField(audience, kAudienceID)) return refuse(error, code, "Missing audience ID");
    const std::int32_t audienceID = NANOGetInt32(audience, kAudienceID);
    if (audienceID < 0) return refuse(error, code, "Audience ID is negative");
    if (acceptedAudienceIDs.contains(audienceID)) return refuse(error, code, "Duplicate audience ID");
    const auto eventFilters = NANOGetArray<APMPBEventFilter>(audience, kAudienceEventFilters);
    const auto propertyFilters = NANOGetArray<APMPBPropertyFilter>(audience, kAudiencePropertyFilters);
    const auto filterCount = static_cast<std::int64_t>(eventFilters.size() + propertyFilters.size());
    if (filterCount < 1 || filterCount > limits.maxFiltersPerAudience) {
        return refuse(error, code, "Audience filter count out of range");
    }
    std::set<std::int32_t> filterIDs;
    for (const auto& filter : eventFilters) {
        if (!checkEventFilter(filter, filterIDs, limits, error)) return false;
    }
    for (const auto& filter : propertyFilters) {
        if (!checkPropertyFilter(filter, filterIDs, limits, error)) return false;
    }
    return true;
}

}  // namespace measurement
