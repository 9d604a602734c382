#pragma once

// The one path by which measurement data leaves the device: bundling of the
// stored raw events, one batch POST to the measurement service and its
// completion (uploader.cpp); the one-shot "Measurement timer" that decides
// when that happens (upload_schedule.cpp); and the conditional fetch of the
// server configuration (config_fetch.cpp). Everything runs on the
// measurement worker queue; network completions arrive there too.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/messages.h"
#include "measurement/store/database.h"
#include "measurement/store/database_config_storage.h"
#include "measurement/store/file_lock.h"
#include "measurement/store/persisted_config.h"
#include "measurement/store/remote_config.h"
#include "measurement/upload/upload_host.h"
#include "measurement/upload/bundle_inputs.h"
#include "platform/frameworks/utilities/network.h"

namespace measurement {

// Monitor codes of the upload, its schedule and the configuration fetch.
enum : long {
    kAPMUploadSuspendedCode = 23023,
    kAPMScheduleNoDataCode = 23024,
    kAPMScheduleNoNextTimeCode = 23025,
    kAPMScheduleNoNetworkCode = 23026,
    kAPMScheduleTaskExistsCode = 23027,
    kAPMScheduleTaskScheduledCode = 23028,
    kAPMLatestRawEventTimeFailedCode = 23029,
    kAPMLatestBundleTimeFailedCode = 23030,
    kAPMRealtimeBundleCheckFailedCode = 23031,
    kAPMRealtimeRawEventCheckFailedCode = 23032,
    kAPMUploadStartingCode = 23033,
    kAPMUploadNetworkPendingCode = 23034,
    kAPMUploadNotConnectedCode = 23035,
    kAPMUploadQueryFailedCode = 23036,
    kAPMUploadNoDataCode = 23037,
    kAPMUploadElapsedCode = 23038,
    kAPMUploadSentCode = 23039,
    kAPMUploadNoSessionCode = 23040,
    kAPMUploadFilterBothIDsCode = 23042,
    kAPMUploadFailedCode = 23043,
    kAPMUploadSucceededCode = 23044,
    kAPMUploadDeleteFailedCode = 23045,
    kAPMUploadEmptyBundleListCode = 23046,
    kAPMUploadOverlapCode = 23047,
    kAPMUploadNoServiceAddressCode = 23048,
    kAPMUploadOtherProcessCode = 23049,
    kAPMQueueEmptyCheckFailedCode = 23117,
    kAPMRawEventsEmptyCheckFailedCode = 23118,
    kAPMDeleteBundlesFailedCode = 23122,
    kAPMConfigInvalidURLCode = 23125,
    kAPMConfigFetchingCode = 23126,
    kAPMConfigFetchedCode = 23127,
    kAPMConfigRequestFailedCode = 23128,
    kAPMConfigRetryLaterCode = 23129,
    kAPMConfigNotFoundCode = 23130,
    kAPMConfigNotModifiedCode = 23131,
    kAPMConfigTimestampFailedCode = 23132,
    kAPMConfigFetchSucceededCode = 23133,
    kAPMConfigSetTimestampFailedCode = 23134,
    kAPMConfigInvalidDataCode = 23135,
    kAPMConfigWrongAppIDCode = 23136,
    kAPMConfigAudiencesRefusedCode = 23137,
    kAPMConfigRefusedCode = 23138,
    kAPMRetryCountUpdateFailedCode = 23166,
    kAPMUploadLockFailedCode = 23167,
    kAPMUploadFileReplacedCode = 23168,
    kAPMUploadNoTimeLeftCode = 23169,
    kAPMUploadCarriedBundlesDeletedCode = 23170,
    kAPMUploadAcknowledgedKeptCode = 23171,
};

// Uploads stay suspended this long (time since boot) after uploaded bundles
// could not be deleted, so that the same bundles are not sent again at once.
inline constexpr double kAPMUploadSuspensionSeconds = 3600;
// Processes sharing a data folder upload one at a time; one that finds
// another uploading tries again this long after.
inline constexpr double kAPMUploadLockRetrySeconds = 60;
// Beside the measurement database, the file whose lock makes uploading
// one process's work at a time.
inline constexpr const char* kAPMUploadLockSuffix = ".upload-lock";
// Once a request's own timeout has passed, this long is left to take its
// answer (delete what the service confirmed) before the process may end.
inline constexpr double kAPMUploadAnswerSeconds = 5;

// The time a process about to end gives its upload so that it never ends
// with a batch out: batches may start during the window, and the last one
// started is answered, or its request has timed out, before the time is up.
inline double APMUploadTimeBeforeExit(double windowSeconds, double requestTimeoutSeconds) {
    return windowSeconds + requestTimeoutSeconds + kAPMUploadAnswerSeconds;
}

// Everything the upload side works with. The configuration storage is the
// one the server configuration was made with, so that a fetched
// configuration reaches memory only when its transaction commits.
struct APMUploadComponents {
    std::shared_ptr<APMUploadHost> host;
    std::shared_ptr<APMDatabase> database;
    std::shared_ptr<APMMeasurementConfigStorage> configStorage;
    std::shared_ptr<APMPersistedConfig> persistedConfig;
    std::shared_ptr<APMRemoteConfig> remoteConfig;
    // Makes one bundle from the oldest raw events; true when raw events were
    // consumed. None: nothing is bundled.
    std::function<bool()> bundleRawEvents;
    // The consent state and the identifiers; none answers "nothing set".
    std::shared_ptr<APMUploadConsentSeam> consent;
    std::shared_ptr<APMUploadIdentitySeam> identity;
    std::shared_ptr<APMUploadPeers> peers = std::make_shared<APMUploadPeers>();
    // The service's identifier of the application: a fetched configuration
    // for any other is refused.
    std::string appID;
    std::int64_t libraryVersion = 0;
    std::int64_t runtimeVersion = 0;
};

// One queued bundle as the upload reads it: the bundle and its queue row.
using APMQueuedEntry = APMQueuedBundle;

// What the next upload time depends on, read at the time of the call.
struct APMUploadTimingInputs {
    double now = 0;
    double lastSuccessfulUpload = 0;
    double lastFailedUpload = 0;
    // The newest stored data: the larger of the latest raw event and the
    // latest queued bundle (seconds since 1970; 0 for none).
    double latestDataTime = 0;
    // The interval chosen for the data (normal, real-time or first-window).
    double interval = 3600;
    double initialDelay = 15;
    double retryInterval = 1800;
    std::int64_t retryCount = 6;
    bool debugMode = false;
    double debugInterval = 1;
};

// The next upload time (seconds since 1970), or 0 when there is none: not
// before the interval after the last success, else the initial delay after
// the newest data; after a failure not older than the data, the retry
// interval doubling up to the retry count, then none.
double APMNextUploadingTime(const APMUploadTimingInputs& inputs);

class APMUploader : public std::enable_shared_from_this<APMUploader> {
public:
    explicit APMUploader(APMUploadComponents components);
    ~APMUploader();
    APMUploader(const APMUploader&) = delete;
    APMUploader& operator=(const APMUploader&) = delete;

    // ---- the batch upload (uploader.cpp) ----
    void uploadData();
    // The leading run of entries that may share one batch: same application
    // identifier and no other device identifier of the reference's kind.
    static std::vector<APMQueuedEntry> filteredBundlesWithCompatibleAppID(
        const std::string& appID, const std::optional<std::string>& resettableDeviceID,
        const std::optional<std::string>& vendorDeviceID, const std::vector<APMQueuedEntry>& bundlesToUpload);
    void networkUploadCompletionHandlerWithResponse(const platform::HTTPURLResponse& response,
                                                    const std::optional<platform::RULError>& error);
    bool isNetworkReadyForRequest();
    bool shouldUseBackgroundSession() const;
    // The bundles of the batch: their row IDs, and the rows as read (the
    // bundles' stored data, by which a file carried from this one holds them).
    void setUploadInProgressWithBundleIDs(const std::vector<std::int64_t>& bundleIDs,
                                          const std::vector<APMQueuedEntry>& entries);
    void incrementRetryCounter();
    bool hasDataToUpload();
    // Deletes the bundles of the batch the service took: by row ID in the
    // file they were read from; by stored data in a file carried from it
    // (after a replacement, or damage met by the delete itself, which the
    // next write replaces). False when they stay.
    bool removeAcknowledgedBundles();
    // Remembers them while a damaged file that holds them cannot be
    // replaced (logged with 23171), and deletes them before anything else
    // is sent; false while they stay.
    void keepAcknowledged(const std::string& damage);
    bool removeAcknowledgedLeft();
    // Whether the upload list's row IDs name rows of the database file open
    // now. When the file was replaced since they were read, the list is
    // dropped with a log: the new file's row IDs may name other bundles.
    bool uploadListInOpenFile();
    // After the file was replaced during a successful upload: the bundles
    // sent that the new file holds (carried from the old one, under their
    // own row IDs and with their own data) are deleted there, so that they
    // are not sent again; no other is touched.
    bool removeCarriedBundles(const std::vector<APMQueuedEntry>& rows, APMErrorOut error);
    // The delete's outcome, its failure logged.
    static bool deletedOrLogged(bool deleted, const std::optional<APMError>& error);

    // ---- the schedule (upload_schedule.cpp) ----
    void updateSchedule();
    double nextUploadingTime();
    void uploadDataOrRegisterAlarm();

    // ---- the configuration fetch (config_fetch.cpp) ----
    void fetchRemoteConfig();
    void networkRemoteConfigFetchCompletionHandler(const platform::HTTPURLResponse& response,
                                                   const std::vector<std::uint8_t>& data,
                                                   const std::optional<platform::RULError>& error);
    // The body of the transaction that takes a fetched configuration: true
    // commits it.
    bool storeFetchedConfigTransaction(const std::vector<std::uint8_t>& data);
    // The fetches of the configuration sent so far, and those whose answer
    // (or failure) has been taken in full: a waiter for one fetch waits for
    // that, whatever else (a batch) is out. Any thread.
    std::uint64_t configFetchesSent() const { return configFetchesSent_.load(); }
    std::uint64_t configFetchesEnded() const { return configFetchesEnded_.load(); }
    // Why the last fetch of the configuration that ended brought none the
    // engine took (no answer, a failing status, a configuration refused),
    // in words; none when it did, or the service had none for the
    // application (404). Worker queue only.
    const std::optional<std::string>& lastConfigFetchFailure() const { return lastConfigFetchFailure_; }

    // ---- engine state (worker queue) ----
    const std::vector<std::int64_t>& uploadList() const { return uploadList_; }
    // The time since boot at which uploads were suspended; none while they
    // run.
    std::optional<double> suspensionTimestamp() const { return suspensionTimestamp_; }
    std::int64_t lastEventEndMillis() const { return lastEventEnd_; }

private:
    // Runs a call that arrives late (a network completion, the alarm, a
    // change of reachability) only while this upload and the engine's parts
    // it works on still exist, and keeps both for as long as it runs.
    static void whileAlive(const std::weak_ptr<APMUploader>& weak, const std::function<void(APMUploader&)>& call);
    // A late call that posts the step to the worker queue under the block
    // identifier; each stage runs only while the upload is alive.
    std::function<void()> laterOnWorkerQueue(std::string blockID, void (APMUploader::*step)());

    // Bundling, the consent pass and the batch: the bundles to send and
    // their rows, none when nothing is sent.
    void removeStaleData();
    // Uploading is one process's work at a time for a database: the lock,
    // beside the database file, is held from the bundling until the
    // answer's rows are deleted. False when another process holds it (a
    // retry is armed) or it cannot be taken; the background task then ends.
    bool takeUploadLock();
    // Bundles, reads the queue and posts a batch; true when a request is
    // under way, which holds the lock until its answer.
    bool sendQueuedData(const std::string& url);
    // Whether a batch sent now is answered, or its request times out,
    // within the time the process still runs; when not, the background task
    // ends and the data stays stored for a later run.
    bool hasTimeForBatch();
    void bundlePendingRawEvents();
    std::optional<std::vector<APMQueuedEntry>> queuedBundles();
    void applyConsentToBundles(std::vector<APMQueuedEntry>& entries);
    std::vector<APMQueuedEntry> compatibleBundles(const std::vector<APMQueuedEntry>& entries) const;
    APMPBMeasurementBatch batchOf(std::vector<APMQueuedEntry> entries, std::int64_t nowMillis,
                                  std::vector<std::int64_t>& bundleIDs);
    bool postBatch(NANOBytes payload, const std::string& url);
    void handleUploadSuccess(int status, std::int64_t contentLength);
    void handleUploadFailure(int status, const std::optional<platform::RULError>& error);
    void recordFailedRequest(int status);
    void recordRefusal(int status);
    std::optional<std::string> uploadURLOrLogOnce();
    std::shared_ptr<APMUploadConsentSeam> consent() const;
    std::shared_ptr<APMUploadIdentitySeam> identity() const;

    // Suspension, measured on the monotonic clock.
    bool isSuspended() const;
    double suspensionRemaining() const;
    void suspendUploads();
    // Stops the timer, the wait for a network and the background task.
    void standDown(bool listenForNetwork);
    double selectedUploadInterval();
    double latestDataTime();
    void armAlarm(double delay);

    void recordFetchedConfiguration(int status, const platform::HTTPURLResponse& response,
                                    const std::vector<std::uint8_t>& data);
    void handleConfigFetchFailure(int status, const std::optional<platform::RULError>& error);
    void reapplyServerConsentOnceCommitted();

    APMUploadComponents components_;
    std::vector<std::int64_t> uploadList_;
    // The rows of the upload list as read: row ID and stored data.
    std::vector<APMQueuedEntry> uploadRows_;
    // The bundles of a batch the service took that a damaged file kept.
    std::vector<APMQueuedEntry> acknowledgedLeft_;
    // The database's file generation when the upload list was read.
    std::uint64_t uploadListGeneration_ = 0;
    std::unique_ptr<APMFileLock> uploadLock_;
    std::atomic<std::uint64_t> configFetchesSent_{0};
    std::atomic<std::uint64_t> configFetchesEnded_{0};
    std::optional<std::string> lastConfigFetchFailure_;
    std::optional<double> suspensionTimestamp_;
    std::int64_t lastEventEnd_ = 0;
    bool missingAddressLogged_ = false;
    // Reschedules when the network comes back, for an engine that listens
    // with no delegate of its own.
    std::shared_ptr<platform::RULReachabilityDelegate> ownReachabilityDelegate_;
};

}  // namespace measurement
