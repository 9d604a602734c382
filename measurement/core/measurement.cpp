// The engine object: its components, start, lifecycle, consent glue and purchases.
#include "measurement/core/measurement.h"

#include <algorithm>
#include <cmath>

#include "measurement/core/facade.h"
#include "measurement/core/codes.h"
#include "measurement/core/engine_upload_wiring.h"
#include "measurement/core/raw_event_metadata.h"
#include "measurement/foundation/counters.h"
#include "measurement/foundation/daily_counts.h"
#include "measurement/foundation/environment.h"
#include "measurement/foundation/event_parameters.h"
#include "measurement/foundation/first_use_queue.h"
#include "measurement/upload/attribution/stored_deep_link.h"
#include "measurement/upload/identity/identifiers.h"
#include "measurement/script/editing/editing_factory.h"
#include "measurement/upload/conversion/on_device_conversion.h"
#include "measurement/upload/conversion/skan_conversion_values.h"
#include "measurement/upload/identity_support/identity_support.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/user_defaults.h"
#include "measurement/upload/uploader.h"
#include "platform/frameworks/app_core/application_state.h"

namespace measurement {

namespace {

std::mutex gSharedMutex;
std::shared_ptr<APMMeasurement> gShared;

constexpr double kConfigurationRefreshInterval = 604800;

double now() { return platform::dispatch::currentClock()->now(); }

void logEntry(int level, long code, const std::string& message) {
    APMMonitor::shared().logWithLevel(level, code, message);
}
void logEntry(int level, long code, const std::string& message, const platform::Value& context) {
    APMMonitor::shared().logWithLevel(level, code, message, context);
}


// Forwards reachability changes to the engine without keeping it alive.
class ReachabilityForwarder : public platform::RULReachabilityDelegate {
public:
    explicit ReachabilityForwarder(std::weak_ptr<APMMeasurement> engine) : engine_(std::move(engine)) {}
    void reachabilityDidChange() override {
        if (auto engine = engine_.lock()) engine->reachabilityDidChange();
    }

private:
    std::weak_ptr<APMMeasurement> engine_;
};

// The built-in default configuration: no storage, so nothing but the
// flags' defaults.
std::shared_ptr<APMRemoteConfig> defaultRemoteConfig() {
    static const auto defaults = std::make_shared<APMRemoteConfig>(nullptr);
    return defaults;
}

// The identity of the process's engine, once it has one.
std::shared_ptr<APMIdentity> engineIdentityOfProcess() {
    std::shared_ptr<APMMeasurement> engine;
    {
        std::lock_guard lock(gSharedMutex);
        engine = gShared;
    }
    return engine ? engine->identity() : nullptr;
}

std::string reachabilityHost() {
    auto base = APMMeasurementServiceBaseURL();
    return base ? *base : "measurement.invalid";
}

}  // namespace

std::shared_ptr<APMMeasurement> APMMeasurement::sharedInstance() {
    std::lock_guard lock(gSharedMutex);
    if (!gShared) {
        // Making the shared experiments manager starts its task manager.
        gShared = std::make_shared<APMMeasurement>(APMEManager::sharedInstance());
        gShared->makeReporters();
    }
    return gShared;
}

std::shared_ptr<APMScreenViewReporter> APMMeasurement::sharedScreenViewReporter() {
    std::lock_guard lock(gSharedMutex);
    return gShared ? gShared->screenViewReporter() : nullptr;
}

std::shared_ptr<APMRemoteConfig> APMMeasurement::remoteConfig() {
    std::shared_ptr<APMMeasurement> engine;
    {
        std::lock_guard lock(gSharedMutex);
        engine = gShared;
    }
    return engine ? engine->config() : defaultRemoteConfig();
}

std::shared_ptr<APMRemoteConfig> APMMeasurement::remoteConfigInstance() const {
    std::lock_guard lock(remoteConfigMutex_);
    return remoteConfig_;
}

std::shared_ptr<APMRemoteConfig> APMMeasurement::config() const {
    auto config = remoteConfigInstance();
    return config ? config : defaultRemoteConfig();
}

bool APMMeasurement::hasSharedInstance() {
    std::lock_guard lock(gSharedMutex);
    return gShared && gShared->didInitializeComponents();
}

void APMMeasurement::shutdown() {
    std::shared_ptr<APMMeasurement> engine;
    {
        std::lock_guard lock(gSharedMutex);
        engine.swap(gShared);
    }
    if (engine) {
        engine->scheduler().workerQueue()->sync([] {});
        // Now, rather than when the last of the settings' holders (the
        // process's identity) goes with the process: a program that ends
        // can then say what could not be written.
        if (engine->persistedConfig()) engine->persistedConfig()->writeChangesNow();
    }
    // The experiments manager lives as long as the engine's process, and so
    // goes with the engine.
    APMEManager::shutdownSharedInstance();
}

APMMeasurement::APMMeasurement(std::shared_ptr<APMEManager> experimentsManager)
    : scheduler_(std::make_unique<APMScheduler>()),
      experimentsManager_(std::move(experimentsManager)),
      consentState_(std::make_shared<APMConsentSettingsUtil>()),
      network_(std::make_shared<platform::RULNetwork>(reachabilityHost(), nullptr, nullptr, scheduler_->workerQueue())),
      uploadAlarm_(std::make_unique<APMAlarm>(scheduler_->workerQueue(), "Measurement timer")),
      purchaseCallbackQueue_(APMMakeSerialQueueOnFirstUse("com.rozeda.measurement.purchases")),
      initTimestamp_(now()) {
    // The platform identity support is part of this engine as built: the
    // default identity support finds it by name, as it would find it missing
    // from an engine built without it.
    APMPlatformIdentitySupport::registerClass();
    APMIdentifiers::setEngineIdentityProvider(&engineIdentityOfProcess);
}

APMMeasurement::~APMMeasurement() {
    observers_.clear();
    if (paymentObserver_) platform::PaymentQueue::defaultQueue().removeTransactionObserver(paymentObserver_);
    uploadAlarm_->cancel();
    endBackgroundTask();
}

void APMMeasurement::withUploader(void (APMUploader::*call)()) {
    if (uploader_) ((*uploader_).*call)();
}

std::string APMMeasurement::nextBlockID() { return "APMMeasurement:" + std::to_string(++blockCounter_); }

void APMMeasurement::scheduleOnWorkerQueue(const std::string& blockID, std::function<void()> block) {
    scheduler_->scheduleOnWorkerQueueBlockID(blockID, std::move(block));
}

// ---- Start -----------------------------------------------------------------

void APMMeasurement::startWithAppID(const std::string& measurementAppID, std::function<void()> started) {
    if (!reachabilityDelegate_) reachabilityDelegate_ = std::make_shared<ReachabilityForwarder>(weak_from_this());
    makeReporters();
    observeApplication();
    // At once, so that no transaction delivered after the start is missed;
    // what it hears waits, like every operation, until the engine runs.
    observePaymentQueue();
    auto self = shared_from_this();
    scheduleOnWorkerQueue("APMMeasurement:start", [self, measurementAppID, started = std::move(started)] {
        self->measurementAppID_ = measurementAppID;
        if (self->initializeComponentsOnWorkerQueue()) self->startOnWorkerQueue();
        if (started) started();
    });
}

bool APMMeasurement::initializeComponentsOnWorkerQueue() {
    if (didInitializeComponents_) return true;
    std::optional<APMError> error;
    database_ = APMDatabase::makeDefault(&error);
    if (!database_) {
        databaseError_ = error;
        logEntry(kAPMMonitorLevelError, kAPMEngineInitFailedCode, "Failed to initialize the measurement database. Error",
                 error ? error->asContext() : platform::Value());
        return false;
    }
    persistedConfig_ = std::make_shared<APMPersistedConfig>();
    enabled_ = persistedConfig_->measurementEnabled();
    makeRemoteConfig();
    makeSessionReporter();
    restoreConsentOnWorkerQueue();
    // An engine without an identity does not start.
    if (!makeIdentity()) return false;
    makeAudience();
    uploader_ = APMMakeEngineUploader(shared_from_this(),
                                      {database_, configStorage_, persistedConfig_, remoteConfigInstance(), audience_});
    makeDeepLinks();
    makeConversionComponents();
    didInitializeComponents_ = true;
    return true;
}

// The server configuration over the engine's database: the stored
// configuration is loaded now, and a fetched one is taken through the
// storage's transactions, so that it reaches memory only when the database
// has committed it.
// The audiences over the engine's own database object: a second connection
// to its file would not see the bundling transaction and would wait on its
// lock. Their limits are the server configuration's at each call.
void APMMeasurement::makeAudience() {
    // The engine owns the audiences and outlives them.
    audience_ = std::make_shared<APMAudience>(*database_,
                                              [this] { return APMAudienceLimits::fromRemoteConfig(*config()); });
}

// The configuration loads its programs into hosts that the engine's
// event-editing factory builds, with the engine's monitor for their logs.
void APMMeasurement::makeRemoteConfig() {
    configStorage_ = std::make_shared<APMDatabaseConfigStorage>(database_);
    eventEditingFactory_ = std::make_shared<APMPEventEditingFactory>(monitor());
    auto environment = APMRemoteConfigEnvironment::fromMainBundle();
    environment.libraryVersion = kAPMLibraryVersion;
    std::weak_ptr<APMMeasurement> weak = weak_from_this();
    environment.isMeasurementEnabled = [weak] {
        auto engine = weak.lock();
        return engine && engine->isEnabled();
    };
    if (experimentsManager_) prepareExperiments();
    auto config = std::make_shared<APMRemoteConfig>(configStorage_, std::move(environment), eventEditingFactory_,
                                                    experimentsManager_);
    std::lock_guard lock(remoteConfigMutex_);
    remoteConfig_ = std::move(config);
}

// The server configuration registers with the experiments client as it is
// made and activates what an earlier run fetched, so the client hands its
// stored snapshots over first. SDKs without a diversion key of their own
// take the identity's, which the persisted settings keep.
void APMMeasurement::prepareExperiments() {
    std::weak_ptr<APMPersistedConfig> settings = persistedConfig_;
    experimentsManager_->setIdentityDiversionKeyProvider([settings]() -> std::optional<std::string> {
        auto persisted = settings.lock();
        return persisted ? persisted->diversionKey() : std::nullopt;
    });
    experimentsManager_->waitUntilStarted();
}

void APMMeasurement::startOnWorkerQueue() {
    const auto config = this->config();
    makeSearchAdReporter();
    if (config->tcfFeatureEnabled()) {
        makeTCFClient();
        tcfClient_->setIsDMARegion(config->isDMARegion());
        tcfClient_->setConsentFromTCFData();
    }
    onDeviceConversion_->checkPSMDependencyOnWorkerQueue();
    onDeviceConversion_->maybeDeleteExpiredPSMValueOnWorkerQueue();
    identity()->updateIdentifiers();
    reportAppUpdateOnWorkerQueue(reportFirstOpenOnWorkerQueue());

    if (auto stored = APMUserDefaults::sharedUserDefaults().stringForKey(kAPMStoredDeepLinkKey);
        stored && !stored->empty()) {
        reportStoredCampaignEventOnWorkerQueue(std::nullopt);
    } else if (deepLinks_->shouldAllowRequestDeferredDeepLink()) {
        if (config->isExpired() && config->DMAConsentEnabled()) {
            shouldRequestDeferredDeepLinkAfterConfigFetch_ = true;
        } else {
            deepLinks_->requestDeferredDeepLink();
        }
    }
    if (APMIsAppActive()) reportSessionStartOnWorkerQueueWithTimestamp(now(), false);
    withUploader(&APMUploader::updateSchedule);
    logEntry(kAPMMonitorLevelDebug, kAPMEngineStartedCode, "Measurement engine started. App ID",
             platform::Value(measurementAppID_));
}

bool APMMeasurement::reportFirstOpenOnWorkerQueue() {
    if (!persistedConfig_ || persistedConfig_->firstOpenTimestampMilliseconds() > 0) return false;
    const double openTime = now();
    const std::int64_t openMillis = APMMillisecondsFromSeconds(openTime);
    APMEvent firstOpen("auto", false, "_f", openTime, 0, APMParameters{});
    firstOpen.setRealtime(true);
    // Processes that start together on a new data folder all find no first
    // open in their settings: the database decides, in the transaction that
    // stores the event, so that one of them reports it. Should the database
    // not answer, the first open is reported (twice rather than never).
    bool decidedHere = false, recorded = false;
    std::optional<std::int64_t> decided;
    if (database_) {
        closeEventGroup();
        database_->performTransaction([&] {
            decidedHere = true;
            decided = database_->recordFirstOpenUnlessRecorded(openMillis, &recorded, nullptr);
            if (recorded || !decided) handleInternalEventOnWorkerQueue(firstOpen);
            return true;
        });
    }
    if (!decidedHere) handleInternalEventOnWorkerQueue(firstOpen);
    if (decided && !recorded) {
        if (*decided > 0) {
            persistedConfig_->setFirstOpenTimestampMilliseconds(*decided);
        } else {
            // Said loudly once, as the carry noted the loss (12004).
            logEntry(kAPMMonitorLevelDebug, kAPMFirstOpenLostToDamageCode,
                     "The time of the first open was lost with a damaged database: it is not reported again. Path",
                     platform::Value(database_->databasePath()));
        }
        return false;
    }
    // Written after the event: a stop in between repeats the first open
    // rather than lose it.
    persistedConfig_->setFirstOpenTimestampMilliseconds(openMillis);
    logEntry(kAPMMonitorLevelDebug, kAPMFirstOpenReportedCode, "First open reported. Time (ms)",
             platform::Value(static_cast<long long>(openMillis)));
    reportStoredCampaignEventOnWorkerQueue(openMillis - 1);
    return true;
}

void APMMeasurement::reportAppUpdateOnWorkerQueue(bool firstOpen) {
    if (!persistedConfig_) return;
    const std::string current = APMBundleShortVersion();
    // Without a version of its own the application cannot tell an update.
    if (current.empty()) return;
    const auto previous = persistedConfig_->lastAppVersion();
    if (previous == current) return;
    // A start that finds no version stored (before any was kept) cannot
    // tell an update either; it keeps the version for the next start.
    if (!firstOpen && previous && !previous->empty()) {
        APMParameters parameters;
        parameters.emplace("_pv", APMValue(*previous));
        handleInternalEventOnWorkerQueue(APMEvent("auto", false, "_au", now(), 0, parameters));
    }
    // Written after the event: a stop in between repeats the update rather
    // than lose it.
    persistedConfig_->setLastAppVersion(current);
}

void APMMeasurement::observeApplication() {
    if (!observers_.empty()) return;
    auto& center = platform::NotificationCenter::defaultCenter();
    std::weak_ptr<APMMeasurement> weak = weak_from_this();
    observers_.push_back(center.addObserver(platform::kApplicationDidBecomeActiveNotification, nullptr,
                                            [weak](const platform::Notification&) {
                                                if (auto engine = weak.lock()) engine->applicationDidBecomeActive();
                                            }));
    observers_.push_back(center.addObserver(platform::kApplicationWillResignActiveNotification, nullptr,
                                            [weak](const platform::Notification&) {
                                                if (auto engine = weak.lock()) engine->applicationWillResignActive();
                                            }));
    observers_.push_back(center.addObserver(platform::kApplicationDidFinishLaunchingNotification, nullptr,
                                            &APMMeasurement::handleAppDidFinishLaunching));
}

// ---- Lifecycle ---------------------------------------------------------------

void APMMeasurement::applicationDidBecomeActive() {
    auto self = shared_from_this();
    scheduleOnWorkerQueue("APMMeasurement:becomeActive", [self] {
        if (!self->isConfigurationRefreshDue()) return;
        if (self->isNetworkReadyForRequest()) {
            self->withUploader(&APMUploader::fetchRemoteConfig);
        } else {
            logEntry(kAPMMonitorLevelVerbose, kAPMNetworkPendingCode,
                     "Network operation is pending. Ignoring request to fetch configuration");
        }
    });
    std::weak_ptr<APMMeasurement> weak = weak_from_this();
    scheduleOnWorkerQueue("APMMeasurement:4296", [weak] {
        auto engine = weak.lock();
        if (engine && engine->SKANConversionValues_) engine->SKANConversionValues_->fetchSKANCV();
    });
}

void APMMeasurement::applicationWillResignActive() {
    beginResignationBackgroundTask();
    // After every operation accepted so far, so that they are stored before
    // the upload and before the task ends.
    std::weak_ptr<APMMeasurement> weak = weak_from_this();
    APMAnalytics::performAfterQueuedOperations("APMMeasurement:uploadData", [weak] {
        auto engine = weak.lock();
        if (!engine) return;
        engine->endResignationCover();
        engine->withUploader(&APMUploader::uploadData);
        // An upload under way ends the task when it completes.
        if (!engine->isNetworkRequestPending()) engine->terminateBackgroundTask();
    });
}

// The task covers every operation accepted before the resignation: until
// the resignation's block has run after them, no one else's end (the start's
// schedule finding nothing to send, a write's schedule finding no network)
// ends it, or the process could stop before those operations are stored.
void APMMeasurement::beginResignationBackgroundTask() {
    std::weak_ptr<APMMeasurement> weak = weak_from_this();
    auto& tasks = platform::BackgroundTasks::shared();
    std::lock_guard lock(backgroundTaskMutex_);
    ++coveringResignations_;
    // One task at a time: a second resignation keeps the task already held.
    if (backgroundTask_ != platform::kInvalidBackgroundTask) return;
    backgroundTask_ = tasks.beginBackgroundTask("APMMeasurement upload", [weak] {
        // Out of time: the platform ends the task whatever it covers.
        if (auto engine = weak.lock()) engine->endBackgroundTask();
    });
}

void APMMeasurement::endResignationCover() {
    std::lock_guard lock(backgroundTaskMutex_);
    if (coveringResignations_ > 0) --coveringResignations_;
}

platform::BackgroundTaskIdentifier APMMeasurement::backgroundTaskIdentifier() const {
    std::lock_guard lock(backgroundTaskMutex_);
    return backgroundTask_;
}

// A week after the last successful configuration update, or when there
// was none.
bool APMMeasurement::isConfigurationRefreshDue() const {
    if (!configStorage_) return false;
    const double lastUpdate = configStorage_->remoteConfigSuccessfulTimestamp(nullptr).value_or(0);
    return now() - lastUpdate >= kConfigurationRefreshInterval;
}

void APMMeasurement::reachabilityDidChange() {
    std::weak_ptr<APMMeasurement> weak = weak_from_this();
    scheduleOnWorkerQueue("APMMeasurement:1045", [weak] {
        auto engine = weak.lock();
        if (!engine) return;
        engine->withUploader(&APMUploader::updateSchedule);
        if (engine->SKANConversionValues_) engine->SKANConversionValues_->maybeFetchSKANCVAfterReachabilityChange();
    });
}

void APMMeasurement::terminateBackgroundTask() {
    {
        std::lock_guard lock(backgroundTaskMutex_);
        if (coveringResignations_ > 0 || backgroundTask_ == platform::kInvalidBackgroundTask) return;
    }
    // The task keeps the process running until the events written so far
    // are committed.
    closeEventGroup();
    endBackgroundTask();
}

void APMMeasurement::endBackgroundTask() {
    platform::BackgroundTaskIdentifier task = platform::kInvalidBackgroundTask;
    {
        std::lock_guard lock(backgroundTaskMutex_);
        std::swap(task, backgroundTask_);
    }
    if (task != platform::kInvalidBackgroundTask) platform::BackgroundTasks::shared().endBackgroundTask(task);
}

bool APMMeasurement::isNetworkReadyForRequest() {
    return APMIsNetworkReadyForRequest(isNetworkRequestPending(), *network_);
}

void APMMeasurement::setEnabled(bool enabled) {
    enabled_ = enabled;
    auto self = shared_from_this();
    scheduleOnWorkerQueue(nextBlockID(), [self, enabled] {
        if (self->persistedConfig_) self->persistedConfig_->setMeasurementEnabled(enabled);
        self->setEnabledOnWorkerQueue(enabled);
    });
}

void APMMeasurement::setEnabledOnWorkerQueue(bool enabled) {
    if (auto sessions = sessionReporter()) sessions->setReportingEnabled(enabled);
    if (searchAdReporter_) searchAdReporter_->setSearchAdReporterEnabled(enabled);
    if (!enabled) clearStoredDeepLinkIfExpired(*config());
}

void APMMeasurement::setSessionTimeoutInterval(double seconds) {
    auto self = shared_from_this();
    scheduleOnWorkerQueue(nextBlockID(), [self, seconds] {
        if (auto sessions = self->sessionReporter()) sessions->setTimeoutSessionInterval(seconds);
    });
}

// ---- Consent glue ------------------------------------------------------------

void APMMeasurement::updateConsentSettingsUtilWithRemoteConfig() {
    const auto config = this->config();
    const auto& consent = consentState_;
    const auto before = consent->adPersonalization();
    const auto defaults = config->consentDefaults();
    const auto delegations = config->consentDelegations();
    if (config->DMAConsentEnabled() && (!defaults.empty() || !delegations.empty())) {
        consent->setDefaultSettings(defaults);
        consent->setDelegatedSettings(delegations);
    }
    const auto regional = config->regionalDefaults();
    if (!config->regionalDefaultsEnabled()) {
        consent->setRegionalDefaults(std::nullopt);
    } else if (!regional.empty()) {
        consent->setRegionalDefaults(regional);
    }
    if (consent->adPersonalization() != before) shouldUpdateNPAUserProperty_ = true;
}

void APMMeasurement::tcfClientSetConsentFromData() {
    if (tcfClient_) tcfClient_->setConsentFromTCFData();
}

void APMMeasurement::wipeoutAnalyticsDataAndResetComponents() {
    const auto& consent = consentState_;
    if (config()->DMAConsentEnabled() && consent->adPersonalization()) {
        consent->unsetAdPersonalization();
        consent->setDefaultSettings(std::nullopt);
        consent->setDelegatedSettings(std::nullopt);
    }
    if (onDeviceConversion_) onDeviceConversion_->resetPSMCounts();
    if (const auto identity = this->identity()) {
        identity->resetSessionStitchingToken();
        identity->resetEphemeralAppInstanceID();
        identity->updateIdentifiersAndWait();
    }
    // A new session reporter, with the engine's enabled state as its flag.
    if (didInitializeComponents_) makeSessionReporter();
}

// ---- Purchases ---------------------------------------------------------------

void APMMeasurement::filterPurchaseTransactions(std::vector<platform::PaymentTransaction> transactions,
                                                std::function<void(std::vector<platform::PaymentTransaction>)> callback) {
    auto self = shared_from_this();
    scheduleOnWorkerQueue("APMMeasurement:4155", [self, transactions = std::move(transactions),
                                                  callback = std::move(callback)] {
        std::vector<platform::PaymentTransaction> kept;
        for (const auto& transaction : transactions) {
            if (transaction.transactionState != platform::PaymentTransactionState::purchased) continue;
            const auto fingerprint = APMInAppPurchaseTransactionReporter::transactionFingerprint(&transaction);
            const platform::Value product(transaction.payment.productIdentifier);
            if (!fingerprint || fingerprint->empty()) {
                APMMonitor::shared().logWithLevel(
                    kAPMMonitorLevelSilentError, kAPMPurchaseEmptyFingerprintCode,
                    "Purchase has nil or empty fingerprint. Purchase will not be checked for duplicates. Product ID",
                    product);
                kept.push_back(transaction);
                continue;
            }
            std::optional<APMError> error;
            auto isNew = self->database_ ? self->database_->insertIfNotDuplicatePurchaseFingerprint(*fingerprint, &error)
                                         : std::nullopt;
            if (!isNew) {
                APMMonitor::shared().logWithLevel(
                    kAPMMonitorLevelError, kAPMPurchaseFingerprintSaveFailedCode,
                    "Failed to save purchase fingerprint. Purchase will not be checked for duplicates. Product ID, error",
                    product, error ? error->asContext() : platform::Value());
                kept.push_back(transaction);
            } else if (*isNew) {
                kept.push_back(transaction);
            } else {
                APMMonitor::shared().logWithLevel(kAPMMonitorLevelSampledWarning, kAPMPurchaseDuplicateCode,
                                                  "Purchase is a duplicate and will not be reported. Product ID",
                                                  product);
            }
        }
        if (callback) self->purchaseCallbackQueue_->async([callback, kept] { callback(kept); });
    });
}

int APMMeasurement::productTypeCode(platform::StoreProductType productType) {
    switch (productType) {
        case platform::StoreProductType::consumable: return 1;
        case platform::StoreProductType::nonRenewable: return 2;
        case platform::StoreProductType::autoRenewable: return 3;
        default: return 0;
    }
}

// ---- Metadata ----------------------------------------------------------------

APMPBMeasurementBundle APMMeasurement::createRawEventMetadataWithUserAttributes(
    const std::vector<APMUserAttribute>& userAttributes) const {
    return APMMakeRawEventMetadata(rawEventMetadataSource(userAttributes), userAttributes);
}

// The process's state of now with the identity's part; the user properties
// tell whether a user ID is set, for the session stitching token.
APMRawEventMetadataSource APMMeasurement::rawEventMetadataSource(
    const std::vector<APMUserAttribute>& userAttributes) const {
    auto source = APMCurrentRawEventMetadataSource(measurementAppID_, *consentState_);
    if (const auto identity = this->identity()) {
        APMRawEventSession session;
        session.number = persistedConfig_ ? persistedConfig_->sessionNumber() : 0;
        const auto sessions = sessionReporter();
        session.expired = sessions && sessions->isSessionExpired();
        session.userIDAvailable =
            std::any_of(userAttributes.begin(), userAttributes.end(),
                        [](const APMUserAttribute& attribute) { return attribute.name() == kAPMUserIDProperty; });
        APMAddIdentityToRawEventMetadataSource(source, *identity, APMIdentifiers::sharedInstance().origin(), session);
    }
    return source;
}

std::int64_t APMMeasurement::currentDayIndex() const {
    return APMDayIndex(now(), persistedConfig_ ? persistedConfig_->midnightOffset() : 0);
}

}  // namespace measurement
