// The batch upload: bundling, the consent pass, the POST and its completion.
#include "measurement/upload/uploader.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "measurement/foundation/hashing.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/scheduler.h"
#include "measurement/foundation/parameter_value.h"
#include "measurement/foundation/bundle_tags.h"
#include "measurement/upload/bundle_redaction.h"
#include "measurement/upload/upload_detail.h"
#include "platform/dispatch/clock.h"

namespace measurement {

using namespace upload_detail;

APMUploader::APMUploader(APMUploadComponents components) : components_(std::move(components)) {
    // What is not given answers "nothing set".
    if (!components_.peers) components_.peers = std::make_shared<APMUploadPeers>();
    if (!components_.consent) components_.consent = std::make_shared<APMUploadConsentSeam>();
    if (!components_.identity) components_.identity = std::make_shared<APMUploadIdentitySeam>();
}

std::shared_ptr<APMUploadConsentSeam> APMUploader::consent() const { return components_.consent; }

std::shared_ptr<APMUploadIdentitySeam> APMUploader::identity() const { return components_.identity; }

APMUploader::~APMUploader() = default;

// ---- uploadData --------------------------------------------------------------

void APMUploader::uploadData() {
    APMScheduler::checkOnBackgroundThreadWithMethodName("uploadData");
    // First, whatever happens next: without a service address, a network or
    // an upload slot, data that will never be sent must still be given up.
    removeStaleData();
    if (isSuspended()) {
        updateSchedule();
        return;
    }
    logEntry(kAPMMonitorLevelVerbose, kAPMUploadStartingCode, "Starting data upload");
    if (!isNetworkReadyForRequest()) {
        logEntry(kAPMMonitorLevelVerbose, kAPMUploadNetworkPendingCode,
                 "Network operation is pending. Ignoring upload request");
        return;
    }
    auto& network = components_.host->network();
    if (!network.isNetworkConnected()) {
        logEntry(kAPMMonitorLevelDebug, kAPMUploadNotConnectedCode, "Network not connected, ignoring upload request");
        updateSchedule();
        return;
    }
    // Without a service there is nowhere to send to; the data stays stored.
    const auto url = uploadURLOrLogOnce();
    if (!url) {
        components_.host->terminateBackgroundTask();
        return;
    }
    if (!takeUploadLock()) return;
    if (!sendQueuedData(*url)) uploadLock_.reset();
}

bool APMUploader::takeUploadLock() {
    if (uploadLock_) return true;
    const std::string& database = components_.database->databasePath();
    std::error_code error;
    uploadLock_ = APMFileLock::acquire(database + kAPMUploadLockSuffix, APMFileLock::Kind::exclusive, false, &error);
    if (uploadLock_) return true;
    if (error == std::errc::resource_unavailable_try_again) {
        // That process sends what this one stored too, for as long as it
        // finds data; what comes after it is left for the retry.
        logEntry(kAPMMonitorLevelDebug, kAPMUploadOtherProcessCode,
                 "Another process is uploading this data. Will try again in seconds",
                 platform::Value(kAPMUploadLockRetrySeconds));
        armAlarm(kAPMUploadLockRetrySeconds);
    } else {
        logEntry(kAPMMonitorLevelError, kAPMUploadLockFailedCode,
                 "Unable to take the upload lock. Data stays stored. Database, error", platform::Value(database),
                 platform::Value(error.message()));
    }
    components_.host->terminateBackgroundTask();
    return false;
}

bool APMUploader::sendQueuedData(const std::string& url) {
    // Sent now, the bundles a service took before would go again.
    if (!removeAcknowledgedLeft()) {
        components_.host->terminateBackgroundTask();
        return false;
    }
    auto& config = *components_.remoteConfig;
    if (!config.isExpired()) bundlePendingRawEvents();

    auto entries = queuedBundles();
    uploadListGeneration_ = components_.database->fileGeneration();
    if (!entries) {
        components_.host->terminateBackgroundTask();
        return false;
    }
    if (entries->empty()) {
        config.activateNewSnapshot();
        logEntry(kAPMMonitorLevelVerbose, kAPMUploadNoDataCode, "No data to upload");
        if (config.isExpired()) {
            fetchRemoteConfig();
        } else {
            components_.host->terminateBackgroundTask();
        }
        return false;
    }
    if (!hasTimeForBatch()) return false;
    applyConsentToBundles(*entries);

    const double now = currentTime();
    const double lastSuccess = components_.persistedConfig->lastSuccessfulUploadTimestamp();
    if (lastSuccess != 0) {
        logEntry(kAPMMonitorLevelVerbose, kAPMUploadElapsedCode,
                 "Uploading events. Elapsed time since last successful upload (s)",
                 platform::Value(std::fabs(now - lastSuccess)));
    }
    const std::int64_t nowMillis = APMMillisecondsFromSeconds(now);
    std::vector<std::int64_t> bundleIDs;
    // Encoded once, for the log and the request.
    NANOBytes payload = batchOf(compatibleBundles(*entries), nowMillis, bundleIDs).protoBuffer();
    logEntry(kAPMMonitorLevelDebug, kAPMUploadSentCode, "Measurement data sent to network. Timestamp (ms), data",
             platform::Value(static_cast<long long>(nowMillis)), platform::Value(platform::Data{payload}));
    setUploadInProgressWithBundleIDs(bundleIDs, *entries);
    // Counted as failed until the service confirms it, so that an upload
    // that never completes is retried on the failure schedule.
    components_.persistedConfig->setLastFailedUploadTimestamp(now);
    return postBatch(std::move(payload), url);
}

// A batch whose answer could not arrive before the process ends would be in
// flight as it ends, and the next process would send it again although the
// service may have taken it: it waits in the queue instead. The same holds
// for a process that goes on sending what others store once its time is up.
bool APMUploader::hasTimeForBatch() {
    const double timeout = components_.remoteConfig->networkTimeout();
    const double remaining = components_.host->backgroundTimeRemaining();
    if (remaining >= timeout + kAPMUploadAnswerSeconds) return true;
    logEntry(kAPMMonitorLevelDebug, kAPMUploadNoTimeLeftCode,
             "Not enough time left for a batch and its answer before the process ends. Data stays stored. Seconds "
             "left, request timeout",
             platform::Value(remaining), platform::Value(timeout));
    components_.host->terminateBackgroundTask();
    return false;
}

std::optional<std::string> APMUploader::uploadURLOrLogOnce() {
    if (auto url = components_.remoteConfig->uploadURL()) return url->string();
    if (!missingAddressLogged_) {
        missingAddressLogged_ = true;
        logEntry(kAPMMonitorLevelWarning, kAPMUploadNoServiceAddressCode,
                 "No measurement service address is configured. Data will not be uploaded");
    }
    return std::nullopt;
}

void APMUploader::bundlePendingRawEvents() {
    if (!components_.bundleRawEvents) return;
    const std::int64_t limit = components_.remoteConfig->maxBundlesCreatedPerIteration();
    for (std::int64_t i = 0; i < limit && components_.bundleRawEvents(); ++i) {
        // A new bundle proves the queue writable again.
        suspensionTimestamp_.reset();
    }
}

// Bundles and raw events past the longest queue time, and bundles the
// service itself refused as often as the retry count, would otherwise hold
// the head of the queue, or the disk, for ever.
void APMUploader::removeStaleData() {
    const APMQueueLimits limits{kAPMDefaultMaxQueueTime, components_.remoteConfig->uploadingRetryCount()};
    components_.database->deleteStaleData(limits, nullptr);
}

std::optional<std::vector<APMQueuedEntry>> APMUploader::queuedBundles() {
    auto& config = *components_.remoteConfig;
    std::optional<APMError> error;
    auto entries = components_.database->queryBundlesWithCountLimit(config.uploadMaxBundlesLimit(),
                                                                    config.uploadMaxSizeLimitBytes(), &error);
    if (!entries) {
        logEntry(kAPMMonitorLevelError, kAPMUploadQueryFailedCode, "Failed to query bundles. Error", errorContext(error));
        return entries;
    }
    // A bundle that was in a refused batch goes on its own, so that a
    // refusal counts only against the bundle that earned it and the others
    // are not held back with it.
    if (!entries->empty() && entries->front().refusalStatus != 0) entries->resize(1);
    return entries;
}

void APMUploader::applyConsentToBundles(std::vector<APMQueuedEntry>& entries) {
    auto& config = *components_.remoteConfig;
    if (config.tcfFeatureEnabled()) components_.host->tcfClientSetConsentFromData();
    const auto consentState = consent();
    const auto identityState = identity();
    const std::string signals = consentState->consentSignals();
    const std::string diagnostics = consentState->consentDiagnostics();
    const bool adUserDataDenied = consentState->isAdUserDataDenied();
    const bool gate = config.gateIDFAOnATTMASEnabled();
    const bool dma = config.DMAConsentEnabled();
    std::optional<APMPBUserAttribute> npa;
    if (auto stored = components_.database->userAttributeWithName(kAPMNPAUserPropertyName, nullptr)) {
        npa = stored->protoUserAttribute();
    }
    APMDMAServerState server;
    server.isDMARegion = config.isDMARegion();
    const auto services = config.corePlatformServices();
    server.corePlatformServices.assign(services.begin(), services.end());

    bool refresh = !dma || signals.find('0') != std::string::npos;
    for (auto& entry : entries) {
        if (!refresh) refresh = bundleHasFirstOpenEvent(entry.bundle);
        applyDeviceIdentifiersToBundle(entry.bundle, signals, gate, *identityState, refresh);
        if (dma) applyDMAConsentToBundle(entry.bundle, diagnostics, adUserDataDenied, npa, server, refresh);
    }
}

// The application identifier of the first bundle, and the device identifier
// of the first bundle that has one, decide what may share the batch.
std::vector<APMQueuedEntry> APMUploader::compatibleBundles(const std::vector<APMQueuedEntry>& entries) const {
    const std::string appID = bundleText(entries.front().bundle, bundle_tag::kAppID);
    std::optional<std::string> resettable;
    std::optional<std::string> vendor;
    for (const auto& entry : entries) {
        const std::string advertising = bundleText(entry.bundle, bundle_tag::kResettableDeviceID);
        if (!advertising.empty()) {
            resettable = advertising;
            break;
        }
        const std::string vendorID = bundleText(entry.bundle, bundle_tag::kVendorDeviceID);
        if (!vendorID.empty()) {
            vendor = vendorID;
            break;
        }
    }
    return filteredBundlesWithCompatibleAppID(appID, resettable, vendor, entries);
}

std::vector<APMQueuedEntry> APMUploader::filteredBundlesWithCompatibleAppID(
    const std::string& appID, const std::optional<std::string>& resettableDeviceID,
    const std::optional<std::string>& vendorDeviceID, const std::vector<APMQueuedEntry>& bundlesToUpload) {
    const std::string resettable = resettableDeviceID.value_or("");
    const std::string vendor = vendorDeviceID.value_or("");
    if (!resettable.empty() && !vendor.empty()) {
        logEntry(kAPMMonitorLevelSilentError, kAPMUploadFilterBothIDsCode,
                 "Bundle filter must not specify both resettableDeviceID and vendorDeviceID");
        return {};
    }
    const bool byAdvertising = !resettable.empty();
    const std::string& reference = byAdvertising ? resettable : vendor;
    const int kindTag = byAdvertising ? bundle_tag::kResettableDeviceID : bundle_tag::kVendorDeviceID;
    std::vector<APMQueuedEntry> run;
    for (const auto& entry : bundlesToUpload) {
        const std::string identifier = bundleText(entry.bundle, kindTag);
        const bool otherDevice = !identifier.empty() && !reference.empty() && identifier != reference;
        if (otherDevice || bundleText(entry.bundle, bundle_tag::kAppID) != appID) break;
        run.push_back(entry);
    }
    return run;
}

// Stamps the bundles and keeps the leading run that shares the first one's
// consent. Only bundles that go out count toward the last event end: a
// bundle left in the queue must not mark its events as uploaded.
APMPBMeasurementBatch APMUploader::batchOf(std::vector<APMQueuedEntry> entries, std::int64_t nowMillis,
                                           std::vector<std::int64_t>& bundleIDs) {
    auto& config = *components_.remoteConfig;
    const bool dma = config.DMAConsentEnabled();
    const bool checksum = config.checksumEnabled();
    const auto dataControls = config.dataControls();
    const auto identityState = identity();
    std::vector<APMPBMeasurementBundle> bundles;
    std::int64_t latestEnd = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        auto& bundle = entries[i].bundle;
        NANOSetInt64(bundle, bundleFieldIndex(bundle_tag::kLibraryVersion), components_.libraryVersion);
        NANOSetInt64(bundle, bundleFieldIndex(bundle_tag::kUploadTimestamp), nowMillis);
        applyDataControlsToBundle(bundle, dataControls, *identityState);
        if (checksum) {
            NANOSetInt64(bundle, bundleFieldIndex(bundle_tag::kChecksum), apm_64LSBMD5(bundle.protoBuffer()));
        }
        if (dma && entries.size() >= 2 && i > 0 && !bundlesHaveSameConsent(entries.front().bundle, bundle)) break;
        if (hasBundleTag(bundle, bundle_tag::kEndTimestamp)) {
            latestEnd = std::max(latestEnd, NANOGetInt64(bundle, bundleFieldIndex(bundle_tag::kEndTimestamp)));
        }
        bundles.push_back(bundle);
        bundleIDs.push_back(entries[i].rowID);
    }
    lastEventEnd_ = std::max(lastEventEnd_, latestEnd);
    APMPBMeasurementBatch batch;
    NANOSetArray(batch, batch_field::kBundles, bundles);
    return batch;
}

bool APMUploader::postBatch(NANOBytes payload, const std::string& url) {
    auto& engine = *components_.host;
    engine.setIsNetworkRequestPending(true);
    engine.network().setTimeoutInterval(components_.remoteConfig->networkTimeout());
    std::weak_ptr<APMUploader> weak = weak_from_this();
    const std::string task = engine.network().postURL(
        url, platform::HTTPHeaders{}, std::move(payload), engine.workerQueue(), shouldUseBackgroundSession(),
        [weak](const platform::HTTPURLResponse& response, const std::vector<std::uint8_t>&,
               const std::optional<platform::RULError>& error) {
            whileAlive(weak, [&](APMUploader& self) {
                self.components_.host->setIsNetworkRequestPending(false);
                self.networkUploadCompletionHandlerWithResponse(response, error);
            });
        });
    if (task.empty()) {
        logEntry(kAPMMonitorLevelSilentError, kAPMUploadNoSessionCode, "Unable to create network session.");
        uploadList_.clear();
        return false;
    }
    return true;
}

// ---- completion ----------------------------------------------------------------

void APMUploader::networkUploadCompletionHandlerWithResponse(const platform::HTTPURLResponse& response,
                                                             const std::optional<platform::RULError>& error) {
    const int status = response.statusCode;
    if (status == platform::kRULNetworkHTTPStatusOK || status == platform::kRULNetworkHTTPStatusNoContent) {
        handleUploadSuccess(status, response.expectedContentLength);
    } else {
        handleUploadFailure(status, error);
    }
}

// A failed request of either kind drives the retry schedule; the service's
// own refusals also start the back-off period.
void APMUploader::recordFailedRequest(int status) {
    auto& persisted = *components_.persistedConfig;
    const double now = currentTime();
    persisted.setLastFailedUploadTimestamp(now);
    if (isBackoffStatus(status)) persisted.setLastBackoffTimestamp(now);
}

void APMUploader::handleUploadFailure(int status, const std::optional<platform::RULError>& error) {
    recordFailedRequest(status);
    logEntry(kAPMMonitorLevelDebug, kAPMUploadFailedCode, "Network upload failed. Will retry later. Code, error",
             platform::Value(status), networkErrorContext(error));
    incrementRetryCounter();
    if (isRefusalStatus(status)) recordRefusal(status);
    uploadList_.clear();
    uploadLock_.reset();
    updateSchedule();
    // The retry is at least a retry interval away: the background task
    // was for this attempt, which is over.
    components_.host->terminateBackgroundTask();
}

void APMUploader::recordRefusal(int status) {
    if (uploadList_.empty() || !uploadListInOpenFile()) return;
    std::optional<APMError> error;
    if (!components_.database->recordRefusalOfBundlesWithIDs(uploadList_, status, uploadList_.size() == 1, &error)) {
        logEntry(kAPMMonitorLevelSilentError, kAPMRetryCountUpdateFailedCode,
                 "Failed to update the bundles' retry counts. Error", errorContext(error));
    }
}

void APMUploader::handleUploadSuccess(int status, std::int64_t contentLength) {
    logEntry(kAPMMonitorLevelDebug, kAPMUploadSucceededCode, "Successful upload. Got network response. Code, size",
             platform::Value(status), platform::Value(static_cast<long long>(contentLength)));
    auto& persisted = *components_.persistedConfig;
    persisted.setLastSuccessfulUploadTimestamp(currentTime());
    persisted.setLastFailedUploadTimestamp(0);
    persisted.setLastBackoffTimestamp(0);
    persisted.setLastUploadedEventTimestampMillis(
        std::max(persisted.lastUploadedEventTimestampMillis(), lastEventEnd_));
    components_.peers->resetSKANRetryCount();
    updateSchedule();
    if (removeAcknowledgedBundles()) {
        suspensionTimestamp_.reset();
    } else {
        logEntry(kAPMMonitorLevelError, kAPMUploadDeleteFailedCode,
                 "Unable to delete uploaded bundles. Uploads will be suspended for seconds",
                 platform::Value(kAPMUploadSuspensionSeconds));
        suspendUploads();
    }
    uploadList_.clear();
    uploadRows_.clear();
    uploadLock_.reset();
    if (components_.host->network().isNetworkConnected() && hasDataToUpload()) {
        uploadData();
    } else if (!components_.remoteConfig->isExpired()) {
        auto& peers = *components_.peers;
        if (peers.takePostponedPSMRequest()) {
            peers.retrievePSMResponse();
        } else {
            updateSchedule();
            peers.scheduleSKANCVFetchAfterDataUpload();
        }
    } else {
        // Finds nothing to bundle while the configuration is expired, and
        // fetches it.
        uploadData();
    }
}

// ---- engine state ----------------------------------------------------------------

void APMUploader::whileAlive(const std::weak_ptr<APMUploader>& weak, const std::function<void(APMUploader&)>& call) {
    const auto self = weak.lock();
    if (!self) return;
    const auto parts = self->components_.host->retainParts();
    if (parts) call(*self);
}

bool APMUploader::isNetworkReadyForRequest() {
    auto& engine = *components_.host;
    return APMIsNetworkReadyForRequest(engine.isNetworkRequestPending(), engine.network());
}

bool APMUploader::shouldUseBackgroundSession() const {
    return components_.remoteConfig->isNetworkBackgroundSessionEnabled() && components_.host->holdsBackgroundTask();
}

void APMUploader::setUploadInProgressWithBundleIDs(const std::vector<std::int64_t>& bundleIDs,
                                                   const std::vector<APMQueuedEntry>& entries) {
    if (bundleIDs.empty()) {
        logEntry(kAPMMonitorLevelSilentError, kAPMUploadEmptyBundleListCode, "Bundle list is empty. Cancelling upload");
        return;
    }
    if (!uploadList_.empty()) {
        logEntry(kAPMMonitorLevelSilentError, kAPMUploadOverlapCode,
                 "Set uploading progress before finishing the previous upload");
        return;
    }
    uploadList_ = bundleIDs;
    uploadRows_.clear();
    for (const auto& entry : entries) {
        if (std::find(bundleIDs.begin(), bundleIDs.end(), entry.rowID) == bundleIDs.end()) continue;
        uploadRows_.push_back({{}, entry.rowID, 0, 0, 0, entry.stored});
    }
}

void APMUploader::incrementRetryCounter() {
    if (uploadList_.empty() || !uploadListInOpenFile()) return;
    std::optional<APMError> error;
    if (!components_.database->incrementRetryCounterForBundlesWithIDs(uploadList_, &error) && error) {
        logEntry(kAPMMonitorLevelSilentError, kAPMRetryCountUpdateFailedCode,
                 "Failed to update the bundles' retry counts. Error", errorContext(error));
    }
}

bool APMUploader::hasDataToUpload() {
    auto& database = *components_.database;
    std::optional<APMError> error;
    auto queueEmpty = database.isQueuedBundleTableEmpty(&error);
    if (!queueEmpty) {
        logEntry(kAPMMonitorLevelError, kAPMQueueEmptyCheckFailedCode, "Failed to check if queue table is empty. Error",
                 errorContext(error));
        return false;
    }
    if (!*queueEmpty) return true;
    auto rawEmpty = database.isRawEventsTableEmpty(&error);
    if (!rawEmpty) {
        logEntry(kAPMMonitorLevelError, kAPMRawEventsEmptyCheckFailedCode,
                 "Failed to check if raw events table is empty. Error", errorContext(error));
        return false;
    }
    return !*rawEmpty;
}

bool APMUploader::uploadListInOpenFile() {
    if (components_.database->fileGeneration() == uploadListGeneration_) return true;
    logEntry(kAPMMonitorLevelWarning, kAPMUploadFileReplacedCode,
             "The database file was replaced during the upload. Its bundles are known in the new file only by their "
             "stored data. Bundle count",
             platform::Value(static_cast<long long>(uploadList_.size())));
    uploadList_.clear();
    return false;
}

// Damage met while the bundles the service took are deleted (on a page the
// delete reads, at the check before the table's first write, at the
// read-back) leaves them in a file that the next write replaces with the
// rows carried out of it: they are deleted there by their stored data, so
// that the carried file does not send them again.
//
// Read moments before under the upload lock, every bundle sent is still in
// the file: a delete that finds fewer was led astray by damage that hid
// them from SQLite's look-ups (their cells still read, and a carry would
// bring them back), unless a check of the whole file finds none.
bool APMUploader::removeAcknowledgedBundles() {
    auto& database = *components_.database;
    std::optional<APMError> error;
    const bool sameFile = uploadList_.empty() || uploadListInOpenFile();
    std::int64_t deleted = 0;
    if (sameFile && database.deleteBundlesWithRowIDs(uploadList_, &error, &deleted) &&
        (deleted == static_cast<std::int64_t>(uploadList_.size()) ||
         !database.checkRowsNotFound("bundles the service took were not found to be deleted"))) {
        return true;
    }
    if (sameFile && !database.damageKept()) return deletedOrLogged(false, error);
    error.reset();
    if (removeCarriedBundles(uploadRows_, &error)) return true;
    deletedOrLogged(false, error);
    if (const auto damage = database.damageKept()) keepAcknowledged(*damage);
    return false;
}

// While the damaged file cannot be replaced (another process keeps it
// open), it takes no write: what the service took stays in it. Nothing more
// is sent from it before those bundles are deleted, and the process that
// replaces the file without this one sends them again: said, since no
// record of the answer outlives this process.
void APMUploader::keepAcknowledged(const std::string& damage) {
    acknowledgedLeft_ = uploadRows_;
    logEntry(kAPMMonitorLevelError, kAPMUploadAcknowledgedKeptCode,
             "Bundles the service took stay in a damaged database file that cannot be replaced now: they are "
             "deleted once it is, and a process that replaces it before may send them again. Bundles, damage",
             platform::Value(static_cast<long long>(acknowledgedLeft_.size())), platform::Value(damage));
}

bool APMUploader::removeAcknowledgedLeft() {
    if (acknowledgedLeft_.empty()) return true;
    std::optional<APMError> error;
    if (!removeCarriedBundles(acknowledgedLeft_, &error)) return false;
    acknowledgedLeft_.clear();
    return true;
}

bool APMUploader::removeCarriedBundles(const std::vector<APMQueuedEntry>& rows, APMErrorOut error) {
    const auto deleted = components_.database->deleteBundlesStoredAs(rows, error);
    if (!deleted) return false;
    logEntry(kAPMMonitorLevelDebug, kAPMUploadCarriedBundlesDeletedCode,
             "Uploaded bundles found in the new database file and deleted. Deleted, sent",
             platform::Value(static_cast<long long>(*deleted)), platform::Value(static_cast<long long>(rows.size())));
    return true;
}

bool APMUploader::deletedOrLogged(bool deleted, const std::optional<APMError>& error) {
    if (!deleted) {
        logEntry(kAPMMonitorLevelError, kAPMDeleteBundlesFailedCode, "Failed to delete bundles from database. Error",
                 errorContext(error));
    }
    return deleted;
}

// ---- suspension ------------------------------------------------------------------

// The time since boot comes from a monotonic clock that is always readable,
// so a suspension always starts at a real time and always ends.
void APMUploader::suspendUploads() { suspensionTimestamp_ = uptime(); }

double APMUploader::suspensionRemaining() const {
    if (!suspensionTimestamp_) return 0;
    const double elapsed = std::fabs(uptime() - *suspensionTimestamp_);
    return elapsed < kAPMUploadSuspensionSeconds ? kAPMUploadSuspensionSeconds - elapsed : 0;
}

bool APMUploader::isSuspended() const { return suspensionRemaining() > 0; }

}  // namespace measurement
