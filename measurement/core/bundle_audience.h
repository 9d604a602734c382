#pragma once

// The engine's audience component as bundling reads it: a cache of filter
// match times for each bundle, and every evaluation forwarded to the
// component over the engine's own database.

#include <memory>
#include <optional>
#include <vector>

#include "measurement/audience/audience.h"
#include "measurement/upload/bundle_inputs.h"

namespace measurement {

class APMEngineBundleAudience : public APMBundleAudienceSeam {
public:
    explicit APMEngineBundleAudience(std::shared_ptr<APMAudience> audience);

    std::unique_ptr<APMBundleAudienceCache> makeTimestampsCache() override;
    bool evaluateFiltersForEvent(const APMEvent& event, const APMEventAggregates& aggregates,
                                 APMBundleAudienceCache* cache) override;
    bool evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& property, APMBundleAudienceCache* cache,
                                            std::optional<double> evaluationTime) override;
    bool resultsForBundling(std::vector<APMPBAudienceLeafFilterResult>* results) override;
    bool clearEvaluationResultsForSessionScopedFilters() override;

private:
    std::shared_ptr<APMAudience> audience_;
};

}  // namespace measurement
