#pragma once

// The limits of audience definitions and the check that decides whether
// one audience of a fetched configuration may be saved.

#include <cstdint>
#include <set>

#include "measurement/foundation/measurement_error.h"
#include "measurement/foundation/messages.h"

namespace measurement {

class APMRemoteConfig;

// The server's audience flags; the defaults are the flags' own.
struct APMAudienceLimits {
    // "measurement.audience.max_count"
    std::int64_t maxAudienceCount = 100;
    // "measurement.audience.filter_max_count_per_audience"
    std::int64_t maxFiltersPerAudience = 10;
    // "measurement.audience.filter_result_max_count"
    std::int64_t maxFilterResultCount = 200;
    // "measurement.audience.parameter_max_count_filter"
    std::int64_t maxParametersPerFilter = 25;

    static APMAudienceLimits fromRemoteConfig(const APMRemoteConfig& config);
};

// An audience ID that is present, not negative and new to the accepted set;
// one to the maximum number of filters, each with a name and an ID below
// that maximum and unique across the audience's event and property
// filters; valid count, number and string filters; exactly one of a number
// and a string filter per value filter. Stops at the first failure, with a
// measurement error of code 9 (the audience), 10 (an event filter) or 11 (a
// property filter). The number and string validity log their own messages.
bool APMValidateAudience(const APMPBAudience& audience, const std::set<std::int32_t>& acceptedAudienceIDs,
                         APMErrorOut error, const APMAudienceLimits& limits = {});

}  // namespace measurement
