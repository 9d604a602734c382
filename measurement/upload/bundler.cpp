// Bundling: one bundle per call, in one database transaction.
#include "measurement/upload/bundler.h"

#include <algorithm>
#include <limits>

#include "measurement/foundation/environment.h"
#include "measurement/foundation/scheduler.h"
#include "measurement/foundation/bundle_tags.h"
#include "measurement/upload/bundler_internal.h"

namespace measurement {

using namespace bundler_detail;
using namespace bundle_tag;

namespace {

// Points a slot at an object for as long as the scope lasts.
template <class T>
class PointerScope {
public:
    PointerScope(T*& slot, T& object) : slot_(slot) { slot_ = &object; }
    ~PointerScope() { slot_ = nullptr; }
    PointerScope(const PointerScope&) = delete;
    PointerScope& operator=(const PointerScope&) = delete;

private:
    T*& slot_;
};

std::vector<std::int32_t> experimentIDsOfBundle(const std::vector<std::int64_t>& ids) {
    std::vector<std::int32_t> result;
    for (auto id : ids) {
        // The bundle carries 32-bit identifiers; one beyond them cannot be
        // sent truthfully and is left out.
        if (id >= std::numeric_limits<std::int32_t>::min() && id <= std::numeric_limits<std::int32_t>::max()) {
            result.push_back(static_cast<std::int32_t>(id));
        }
    }
    return result;
}

}  // namespace

APMBundler::APMBundler(APMDatabase& database, const APMRemoteConfig& remoteConfig,
                       APMPersistedConfig& persistedConfig, APMBundlerInputs inputs)
    : database_(database), remoteConfig_(remoteConfig), persistedConfig_(persistedConfig), inputs_(std::move(inputs)),
      sampler_(database, remoteConfig, inputs_.random) {
    // What is not given answers "nothing set".
    if (!inputs_.consent) inputs_.consent = std::make_shared<APMUploadConsentSeam>();
    if (!inputs_.identity) inputs_.identity = std::make_shared<APMUploadIdentitySeam>();
    if (!inputs_.audience) inputs_.audience = std::make_shared<APMBundleAudienceSeam>();
    if (!inputs_.engine) inputs_.engine = std::make_shared<APMBundlingEngineSeam>();
}

APMBundler::~APMBundler() = default;

std::shared_ptr<APMUploadConsentSeam> APMBundler::consent() const { return inputs_.consent; }
std::shared_ptr<APMUploadIdentitySeam> APMBundler::identity() const { return inputs_.identity; }
std::shared_ptr<APMBundleAudienceSeam> APMBundler::audience() const { return inputs_.audience; }
std::shared_ptr<APMBundlingEngineSeam> APMBundler::engine() const { return inputs_.engine; }

bool APMBundler::bundleRawEvents() {
    APMScheduler::checkOnBackgroundThreadWithMethodName("bundleRawEvents");
    Pass pass;
    bool committed = false;
    {
        PointerScope scope(pass_, pass);
        committed = database_.performTransaction([&] { return bundleRawEventsTransactionBlock(pass); });
    }
    if (!committed) return false;
    persistAfterCommit(pass);
    return pass.consumed;
}

void APMBundler::persistAfterCommit(const Pass& pass) {
    if (pass.previousBundledConsentSignals) {
        persistedConfig_.setPreviousBundledConsentSignals(*pass.previousBundledConsentSignals);
    }
    if (pass.lastMonitoringSampleTimestamp) {
        persistedConfig_.setLastMonitoringSampleTimestamp(*pass.lastMonitoringSampleTimestamp);
        monitor().monitoringDataDispatched();
    }
    if (pass.npaUserPropertyWritten) engine()->setShouldUpdateNPAUserProperty(false);
}

bool APMBundler::bundleRawEventsTransactionBlock(Pass& pass) {
    std::optional<APMError> error;
    std::optional<std::int64_t> unreadableRowID;
    const auto fingerprint = database_.nextMetadataFingerprintToProcess(&error, &unreadableRowID);
    if (!fingerprint) {
        if (!error) return true;  // no raw event: nothing to bundle
        if (unreadableRowID) return dropUnbundlableOldestRawEvent(pass, *unreadableRowID, error);
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMBundlingNextFingerprintFailedCode,
                               "Unable to fetch next event metadata. Error", errorContext(error));
        return false;
    }
    pass.fingerprint = *fingerprint;
    auto run = rawEventsWithMetadataFingerprint(pass.fingerprint);
    if (!run) return false;
    if (run->empty()) return true;
    pass.run = std::move(*run);

    auto header = database_.queryRawEventsMetadataWithFingerprint(pass.fingerprint, &error);
    if (!header) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMBundlingMetadataFailedCode,
                               "Unable to fetch event metadata. Metadata fingerprint, error",
                               platform::Value(pass.fingerprint), errorContext(error));
        // A header that is gone or does not decode never will: its run
        // would stall every later bundle. Any other failure may pass, so
        // the run waits for the next try.
        if (isUnreadableHeader(error)) return dropRunWithoutHeader(pass);
        return false;
    }
    const auto events = processRawEvents(pass.run, pass.fingerprint);
    if (!events) return false;
    if (events->empty()) {
        // The run was deleted: raw events were consumed.
        pass.consumed = true;
        return true;
    }

    pass.analyticsStorageDenied = consent()->isAnalyticsStorageDenied();
    evaluationTimeFromRawEvents(pass.run.events, *header);
    handleAnalyticsStorageConsentTransitions(*header);

    pass.audienceCache = audience()->makeTimestampsCache();
    const auto aggregated =
        eventsAfterUpdatingEventAggregates(*events, pass.audienceCache.get(), !pass.analyticsStorageDenied);
    if (!aggregated) return false;
    const bool isRealtime =
        std::any_of(aggregated->begin(), aggregated->end(), [](const APMEvent& event) { return event.isRealtime(); });
    std::vector<APMPBEvent> protoEvents;
    protoEvents.reserve(aggregated->size());
    for (const auto& event : *aggregated) protoEvents.push_back(event.protoEvent());

    if (remoteConfig_.isEventSamplingEnabled() && !monitor().isDebugModeEnabled()) {
        auto sampled = sampleEvents(std::move(protoEvents), &error);
        if (!sampled) return false;
        protoEvents = std::move(*sampled);
        if (protoEvents.empty()) {
            monitor().logWithLevel(kAPMMonitorLevelSilentWarning, kAPMBundlingNothingLeftAfterSamplingCode,
                                   "No events left after sampling. Dropping bundle");
            return consumeRun(pass);
        }
    }
    return completeAndInsertBundle(pass, *header, std::move(protoEvents), isRealtime);
}

bool APMBundler::completeAndInsertBundle(Pass& pass, APMPBMeasurementBundle& bundle, std::vector<APMPBEvent> events,
                                         bool isRealtime) {
    NANOSetArray(bundle, bundleFieldIndex(kEvents), events);
    double start = std::numeric_limits<double>::infinity();
    double end = -std::numeric_limits<double>::infinity();
    for (const auto& raw : pass.run.events) {
        start = std::min(start, raw.event().timestamp());
        end = std::max(end, raw.event().timestamp());
    }
    if (!updateAppMetadataForBundle(bundle, start, end)) return false;

    const auto engineSeam = engine();
    if (remoteConfig_.DMAConsentEnabled() && engineSeam->shouldUpdateNPAUserProperty()) {
        engineSeam->setPersonalizedAdsUserPropertyOnWorkerQueue();
        pass.npaUserPropertyWritten = true;
    }
    if (!pass.analyticsStorageDenied && !addAudienceResults(bundle, pass.audienceCache.get(), start)) return false;
    addBundleMetadataIntoBundle(bundle, start, end);
    if (!remoteConfig_.sessionStitchingTokenFeatureEnabled() || pass.analyticsStorageDenied) {
        clearBundleField(bundle, kSessionStitchingToken);
    }

    std::optional<APMError> error;
    const APMQueueLimits limits{kAPMDefaultMaxQueueTime, remoteConfig_.uploadingRetryCount()};
    if (!database_.insertBundle(bundle, isRealtime, &error, limits, pass.run.clockStamp)) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMBundlingInsertFailedCode, "Unable to insert bundle. Error",
                               errorContext(error));
        return false;
    }
    monitor().logWithLevel(kAPMMonitorLevelVerbose, kAPMBundlingConsentDescriptionCode, consent()->description());
    monitor().logWithLevel(kAPMMonitorLevelDebug, kAPMBundlingBundleAddedCode,
                           "Bundle added to the upload queue. BundleID, timestamp (ms)",
                           platform::Value(NANOGetInt32(bundle, bundleFieldIndex(kBundleIndex))),
                           platform::Value(NANOGetInt64(bundle, bundleFieldIndex(kEndTimestamp))));
    return consumeRun(pass);
}

bool APMBundler::addAudienceResults(APMPBMeasurementBundle& bundle, APMBundleAudienceCache* cache,
                                    double evaluationTime) {
    const auto audiences = audience();
    for (const auto& property : NANOGetArray<APMPBUserAttribute>(bundle, bundleFieldIndex(kUserAttributes))) {
        if (!audiences->evaluateFiltersForNanoUserProperty(property, cache, evaluationTime)) return false;
    }
    std::vector<APMPBAudienceLeafFilterResult> results;
    if (!audiences->resultsForBundling(&results)) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMBundlingAudienceResultsFailedCode,
                               "Unable to read audience evaluation results");
        return false;
    }
    if (!results.empty()) NANOSetArray(bundle, bundleFieldIndex(kAudienceResults), results);
    return true;
}

bool APMBundler::isUnreadableHeader(const std::optional<APMError>& error) {
    return error && (error->code() == kAPMDatabaseMissingRowCode || error->code() == kAPMDatabaseUndecodableDataCode);
}

bool APMBundler::dropRunWithoutHeader(Pass& pass) {
    monitor().logWithLevel(kAPMMonitorLevelWarning, kAPMBundlingRunWithoutMetadataDroppedCode,
                           "Dropping raw events without readable metadata. Metadata fingerprint, last RowID",
                           platform::Value(pass.fingerprint), platform::Value(pass.run.lastRowID));
    std::optional<APMError> error;
    if (!database_.deleteRawEventMetadataWithMetadataFingerprint(pass.fingerprint, &error)) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMBundlingDeleteMetadataFailedCode,
                               "Unable to delete raw event metadata. Metadata, error",
                               platform::Value(pass.fingerprint), errorContext(error));
        return false;
    }
    return consumeRun(pass);
}

bool APMBundler::dropUnbundlableOldestRawEvent(Pass& pass, std::int64_t rowID, const std::optional<APMError>& why) {
    logUnbundlableRawEventDropped(rowID, why);
    std::optional<APMError> error;
    if (!database_.deleteRawEventsWithMaxRowID(rowID, &error)) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMBundlingDeleteRawEventsFailedCode,
                               "Unable to delete raw events. RowID, error", platform::Value(rowID), errorContext(error));
        return false;
    }
    pass.consumed = true;
    return true;
}

bool APMBundler::consumeRun(Pass& pass) {
    if (!deleteBundledRawEvents(pass.run.lastRowID, pass.fingerprint)) return false;
    pass.consumed = true;
    return true;
}

std::optional<std::vector<APMPBEvent>> APMBundler::sampleEvents(std::vector<APMPBEvent> events, APMErrorOut error) {
    return sampler_.sampleEvents(std::move(events), error);
}

bool APMBundler::updateAppMetadataForBundle(APMPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                            double bundleEndTimestamp) {
    std::optional<APMError> error;
    auto metadata = database_.queryAppMetadata(&error);
    if (!metadata) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMBundlingAppMetadataReadFailedCode,
                               "Unable to fetch app metadata for bundling events. Error", errorContext(error));
        return false;
    }
    const double lastStart = metadata->lastBundleStartTimestamp();
    const double lastEnd = metadata->lastBundleEndTimestamp();
    if (lastEnd > 0) {
        NANOSetInt64(bundle, bundleFieldIndex(kPreviousBundleEndTimestamp), APMMillisecondsFromSeconds(lastEnd));
    }
    if (lastStart > 0 || lastEnd > 0) {
        NANOSetInt64(bundle, bundleFieldIndex(kPreviousBundleStartTimestamp),
                     APMMillisecondsFromSeconds(lastStart > 0 ? lastStart : lastEnd));
    }
    metadata->incrementLastBundleIndex();
    metadata->setLastBundleStartTimestamp(bundleStartTimestamp);
    metadata->setLastBundleEndTimestamp(bundleEndTimestamp);
    NANOSetInt32(bundle, bundleFieldIndex(kBundleIndex), metadata->lastBundleIndex());
    if (!database_.updateAppMetadata(*metadata, &error)) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMBundlingAppMetadataWriteFailedCode,
                               "Unable to update the app metadata. Error", errorContext(error));
        return false;
    }
    return true;
}

void APMBundler::addBundleMetadataIntoBundle(APMPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                             double bundleEndTimestamp) {
    const auto experimentIDs = experimentIDsOfBundle(remoteConfig_.experimentIDs());
    if (!experimentIDs.empty()) NANOSetArray(bundle, bundleFieldIndex(kExperimentIDs), experimentIDs);

    const auto sample = monitor().monitoringDataForDispatchWithSamplePeriod(
        remoteConfig_.monitoringSamplePeriod(), persistedConfig_.lastMonitoringSampleTimestamp());
    if (!sample.empty()) {
        NANOSetString(bundle, bundleFieldIndex(kHealthMonitorSample), sample);
        // Inside a bundling transaction the sample counts as sent only once
        // the bundle commits.
        if (pass_) {
            pass_->lastMonitoringSampleTimestamp = now();
        } else {
            persistedConfig_.setLastMonitoringSampleTimestamp(now());
            monitor().monitoringDataDispatched();
        }
    }
    if (remoteConfig_.version() >= 0) NANOSetInt64(bundle, bundleFieldIndex(kConfigVersion), remoteConfig_.version());
    if (NANOGetString(bundle, bundleFieldIndex(kAppID)).value_or("").empty()) {
        auto appID = identity()->appID().value_or("");
        if (appID.empty()) appID = APMBundleIdentifier();
        NANOSetString(bundle, bundleFieldIndex(kAppID), appID);
    }
    NANOSetInt64(bundle, bundleFieldIndex(kStartTimestamp), APMMillisecondsFromSeconds(bundleStartTimestamp));
    NANOSetInt64(bundle, bundleFieldIndex(kEndTimestamp), APMMillisecondsFromSeconds(bundleEndTimestamp));
}

bool APMBundler::deleteBundledRawEvents(std::int64_t lastRowID, std::int64_t metadataFingerprint) {
    std::optional<APMError> error;
    if (!database_.deleteRawEventsWithMaxRowID(lastRowID, &error)) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMBundlingDeleteRawEventsFailedCode,
                               "Unable to delete raw events. RowID, error", platform::Value(lastRowID),
                               errorContext(error));
        return false;
    }
    const auto contains = database_.containsRawEventWithMetadataFingerprint(metadataFingerprint, &error);
    if (!contains) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMBundlingRawEventExistenceFailedCode,
                               "Unable to query existence of raw event. Metadata, error",
                               platform::Value(metadataFingerprint), errorContext(error));
        return false;
    }
    if (!*contains && !database_.deleteRawEventMetadataWithMetadataFingerprint(metadataFingerprint, &error)) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMBundlingDeleteMetadataFailedCode,
                               "Unable to delete raw event metadata. Metadata, error",
                               platform::Value(metadataFingerprint), errorContext(error));
        return false;
    }
    return true;
}

}  // namespace measurement
