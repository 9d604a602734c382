#pragma once

// Bundling of stored raw events. One call of bundleRawEvents makes at most
// one upload bundle, in one database transaction: the run of the oldest
// raw event's fingerprint (same hour, consecutive rows, within the count and
// size limits), screened and renamed, counted against the daily conversion
// and real-time limits, folded into the per-event aggregates and the
// audiences, sampled, completed from the stored metadata header, queued, and
// its raw events deleted. Everything runs on the measurement worker queue.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/daily_counts.h"
#include "measurement/foundation/event.h"
#include "measurement/foundation/raw_event_data.h"
#include "measurement/store/database.h"
#include "measurement/store/persisted_config.h"
#include "measurement/store/remote_config.h"
#include "measurement/upload/event_sampling.h"
#include "measurement/upload/bundle_inputs.h"

namespace measurement {

// Monitor codes of bundling.
enum : long {
    kAPMBundlingNextFingerprintFailedCode = 23095,
    kAPMBundlingRawEventUndecodableCode = 23096,
    kAPMBundlingRawEventsQueryFailedCode = 23097,
    kAPMBundlingMetadataFailedCode = 23098,
    kAPMBundlingEventRejectedCode = 23099,
    kAPMBundlingAllEventsRejectedCode = 23100,
    kAPMBundlingDailyCountsReadFailedCode = 23101,
    kAPMBundlingTooManyConversionsCode = 23102,
    kAPMBundlingRealtimeUnderLimitCode = 23103,
    kAPMBundlingRealtimeOverLimitCode = 23104,
    kAPMBundlingRealtimeUnlimitedCode = 23105,
    kAPMBundlingDailyCountsWriteFailedCode = 23106,
    kAPMBundlingAggregatesReadFailedCode = 23107,
    kAPMBundlingAggregatesWriteFailedCode = 23108,
    kAPMBundlingAppMetadataReadFailedCode = 23111,
    kAPMBundlingAppMetadataWriteFailedCode = 23112,
    kAPMBundlingAudienceResultsFailedCode = 23113,
    kAPMBundlingInsertFailedCode = 23115,
    kAPMBundlingBundleAddedCode = 23116,
    kAPMBundlingDeleteRawEventsFailedCode = 23119,
    kAPMBundlingRawEventExistenceFailedCode = 23120,
    kAPMBundlingDeleteMetadataFailedCode = 23121,
    kAPMBundlingRunWithoutMetadataDroppedCode = 23123,
    kAPMBundlingUnbundlableRawEventDroppedCode = 23124,
    kAPMBundlingNothingLeftAfterSamplingCode = 23159,
    kAPMBundlingClearSessionCountsFailedCode = 23185,
    kAPMBundlingNegativeEngagementCode = 23186,
    kAPMBundlingEngagementReadFailedCode = 23187,
    kAPMBundlingSessionEngagementDeleteFailedCode = 23188,
    kAPMBundlingConsentDescriptionCode = 23221,
    kAPMBundlingSnapshotFailedCode = 23266,
    kAPMBundlingSnapshotRestoreFailedCode = 23267,
};

// The raw events behind one bundle: those that decoded, in row order, and
// the last row of the run (rows that did not decode included; they are
// dropped with the run). lastRowID is -1 for an empty run.
struct APMRawEventRun {
    std::vector<APMRawEventData> events;
    std::int64_t lastRowID = -1;
    // The stamp of the clock the run's times come from (one for the whole
    // run); none when its rows carry none.
    std::optional<std::int64_t> clockStamp;
    bool empty() const { return lastRowID < 0; }
};

// Where the bundler reaches the rest of the engine: the engine's own
// objects, or a test's. A null member answers "nothing set".
struct APMBundlerInputs {
    std::shared_ptr<APMUploadConsentSeam> consent;
    std::shared_ptr<APMUploadIdentitySeam> identity;
    std::shared_ptr<APMBundleAudienceSeam> audience;
    std::shared_ptr<APMBundlingEngineSeam> engine;
    // The sampling dice; none: the secure random source.
    APMRandomUniform random;
};

class APMBundler {
public:
    APMBundler(APMDatabase& database, const APMRemoteConfig& remoteConfig, APMPersistedConfig& persistedConfig,
               APMBundlerInputs inputs = {});
    ~APMBundler();
    APMBundler(const APMBundler&) = delete;
    APMBundler& operator=(const APMBundler&) = delete;

    // Makes one bundle. True when raw events were consumed (a bundle was
    // queued, or the run was dropped whole by screening or sampling, or for
    // a metadata header that is missing or does not decode); the
    // upload keeps calling while it answers true. False when there was
    // nothing to bundle or the transaction rolled back.
    bool bundleRawEvents();

    // ---- the steps, each inside the caller's transaction ----

    // The run of the fingerprint's raw events; none on a query failure.
    std::optional<APMRawEventRun> rawEventsWithMetadataFingerprint(std::int64_t metadataFingerprint);
    // The events to bundle, renamed and flagged; empty when every event was
    // rejected (the run is then deleted); none on failure.
    std::optional<std::vector<APMEvent>> processRawEvents(const APMRawEventRun& run, std::int64_t metadataFingerprint);
    // The reserved public name's internal form ("ad_impression" -> "_ai").
    static APMRawEventData internalEventFromPublicEvent(const APMRawEventData& rawEvent);
    bool shouldRejectRawEvent(const APMRawEventData& rawEvent) const;
    // Whether the daily counts changed.
    bool checkConversion(APMRawEventData& rawEvent, APMDailyCounts& dailyCounts);
    bool checkRealtime(APMRawEventData& rawEvent, APMDailyCounts& dailyCounts);
    // The session start within the run and the engagement time.
    void evaluationTimeFromRawEvents(const std::vector<APMRawEventData>& rawEvents, APMPBMeasurementBundle& bundle);
    // Adds the engagement time (ms, as "_et") to "_lte", or "_se" when
    // session scoped, in the database and in the bundle.
    bool updateUserEngagement(std::int64_t engagementTime, APMPBMeasurementBundle& bundle, bool sessionScoped);
    void handleAnalyticsStorageConsentTransitions(const APMPBMeasurementBundle& header);
    std::optional<std::vector<APMEvent>> eventsAfterUpdatingEventAggregates(const std::vector<APMEvent>& events,
                                                                            APMBundleAudienceCache* cache,
                                                                            bool allowEventFilterEvaluation);
    std::optional<std::vector<APMPBEvent>> sampleEvents(std::vector<APMPBEvent> events, APMErrorOut error);
    bool updateAppMetadataForBundle(APMPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                    double bundleEndTimestamp);
    void addBundleMetadataIntoBundle(APMPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                     double bundleEndTimestamp);
    // Deletes the raw events up to the row and, when none of the fingerprint
    // is left, its header.
    bool deleteBundledRawEvents(std::int64_t lastRowID, std::int64_t metadataFingerprint);


private:
    struct Pass;
    bool bundleRawEventsTransactionBlock(Pass& pass);
    bool completeAndInsertBundle(Pass& pass, APMPBMeasurementBundle& bundle, std::vector<APMPBEvent> events,
                                 bool isRealtime);
    bool addAudienceResults(APMPBMeasurementBundle& bundle, APMBundleAudienceCache* cache, double evaluationTime);
    bool consumeRun(Pass& pass);
    // Whether the header of a run is missing or does not decode, rather
    // than unreadable for now.
    static bool isUnreadableHeader(const std::optional<APMError>& error);
    // Deletes the header and the run's raw events.
    bool dropRunWithoutHeader(Pass& pass);
    // Deletes the oldest raw event, which cannot be bundled (a fingerprint
    // that is no integer), naming it and why (23124): it would stall every
    // later bundle.
    bool dropUnbundlableOldestRawEvent(Pass& pass, std::int64_t rowID, const std::optional<APMError>& why);
    bool clearSessionState(APMPBMeasurementBundle& bundle);
    void persistAfterCommit(const Pass& pass);
    // Today in the daily counts, after the persisted midnight offset.
    std::int64_t currentDayIndex() const;

    std::shared_ptr<APMUploadConsentSeam> consent() const;
    std::shared_ptr<APMUploadIdentitySeam> identity() const;
    std::shared_ptr<APMBundleAudienceSeam> audience() const;
    std::shared_ptr<APMBundlingEngineSeam> engine() const;

    APMDatabase& database_;
    const APMRemoteConfig& remoteConfig_;
    APMPersistedConfig& persistedConfig_;
    APMBundlerInputs inputs_;
    APMEventSampler sampler_;
    // What the current call defers until its transaction has committed.
    Pass* pass_ = nullptr;
};

}  // namespace measurement
