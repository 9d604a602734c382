#pragma once

// The engine's audience component: evaluates the stored event and property
// filters while a bundle is made, hands bundling the results to report and
// remembers what was reported, clears session-scoped results when a session
// starts, and replaces the stored definitions when a configuration
// arrives. Every operation runs on the measurement worker queue, inside the
// caller's database transaction: it opens none of its own, and a call that
// answers false has left its caller to roll back.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "measurement/audience/audience_validation.h"
#include "measurement/audience/filter_outcome.h"
#include "measurement/audience/timestamps_cache.h"
#include "measurement/foundation/event.h"
#include "measurement/foundation/event_aggregates.h"
#include "measurement/foundation/messages.h"
#include "measurement/foundation/user_attribute.h"
#include "measurement/store/database.h"

namespace measurement {

class APMAudience {
public:
    // Over the engine's own database (never a second connection to its
    // file: the calls run inside the engine's open transaction). The limits
    // are read at each call; none: the flags' defaults.
    explicit APMAudience(APMDatabase& database, std::function<APMAudienceLimits()> limits = {});

    // The event filters stored under the event's name against the event,
    // its aggregates (already counting it) and its time. No cache: one for
    // this call.
    bool evaluateFiltersForEvent(const APMEvent& event, const APMEventAggregates& aggregates,
                                 APMAudienceTimestampsCache* cache);
    bool evaluateFiltersForEventName(const std::string& eventName, const APMParameters& eventParameters,
                                     const APMEventAggregates& aggregates, double eventTimestamp,
                                     APMAudienceTimestampsCache* cache);
    // The property filters stored under the property's name.
    bool evaluateFiltersForUserProperty(const APMUserAttribute& property, APMAudienceTimestampsCache* cache,
                                        double evaluationTimestamp);
    // A user property as a bundle carries it; no evaluation time: the time
    // it was set.
    bool evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& property, APMAudienceTimestampsCache* cache,
                                            std::optional<double> evaluationTime);

    // The results to place in a bundle, each audience with an evaluated
    // filter; what is reported becomes the audience's previous results.
    bool resultsForBundling(std::vector<APMPBAudienceLeafFilterResult>* results);
    bool clearEvaluationResultsForSessionScopedFilters();
    // Validates, maps public names to internal ones and replaces every
    // stored definition.
    bool updateAudiences(const std::vector<APMPBAudience>& audiences);
    // Deletes the results of audiences that are neither stored nor about to
    // be, once there are more results than the maximum.
    bool maybeDeleteStaleFilterResults(const std::set<std::int32_t>& audienceIDs);

    // Whether the filter is evaluated and true in the result.
    static bool isFilterResult(const std::optional<APMFilterResult>& result, std::int32_t filterID);
    // The result with the filter's outcome written (none clears its
    // evaluated bit) and the cache's times of the audience.
    static APMFilterResult updatedFilterResultWithFilterID(std::int32_t filterID, std::int32_t audienceID,
                                                           const std::optional<APMFilterResult>& currentFilterResult,
                                                           APMFilterOutcome newEvaluationResult,
                                                           const APMAudienceTimestampsCache& cache);

private:
    struct Evaluation;
    template <class Filter>
    bool evaluateStoredFilters(Evaluation& evaluation, const std::vector<Filter>& filters);
    APMAudienceLimits limits() const;

    APMDatabase& database_;
    std::function<APMAudienceLimits()> limits_;
};

}  // namespace measurement
