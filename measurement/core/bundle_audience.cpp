// Bundling's calls into the engine's audience component.
#include "measurement/core/bundle_audience.h"

namespace measurement {

namespace {

// One bundle's match times, in the form bundling hands around.
struct BundleTimestampsCache final : APMBundleAudienceCache {
    APMAudienceTimestampsCache cache;
};

// A cache made elsewhere is none of ours: the call then makes its own.
APMAudienceTimestampsCache* timestampsOf(APMBundleAudienceCache* cache) {
    auto* ours = dynamic_cast<BundleTimestampsCache*>(cache);
    return ours ? &ours->cache : nullptr;
}

}  // namespace

APMEngineBundleAudience::APMEngineBundleAudience(std::shared_ptr<APMAudience> audience)
    : audience_(std::move(audience)) {}

std::unique_ptr<APMBundleAudienceCache> APMEngineBundleAudience::makeTimestampsCache() {
    return std::make_unique<BundleTimestampsCache>();
}

bool APMEngineBundleAudience::evaluateFiltersForEvent(const APMEvent& event, const APMEventAggregates& aggregates,
                                                      APMBundleAudienceCache* cache) {
    return audience_->evaluateFiltersForEvent(event, aggregates, timestampsOf(cache));
}

bool APMEngineBundleAudience::evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& property,
                                                                 APMBundleAudienceCache* cache,
                                                                 std::optional<double> evaluationTime) {
    return audience_->evaluateFiltersForNanoUserProperty(property, timestampsOf(cache), evaluationTime);
}

bool APMEngineBundleAudience::resultsForBundling(std::vector<APMPBAudienceLeafFilterResult>* results) {
    return audience_->resultsForBundling(results);
}

bool APMEngineBundleAudience::clearEvaluationResultsForSessionScopedFilters() {
    return audience_->clearEvaluationResultsForSessionScopedFilters();
}

}  // namespace measurement
