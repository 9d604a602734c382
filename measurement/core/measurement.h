#pragma once

// The measurement engine object and its worker-queue state.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/audience/ad_exposure_reporter.h"
#include "measurement/audience/screen_view_reporter.h"
#include "measurement/audience/session_reporter.h"
#include "measurement/audience/audience.h"
#include "measurement/audience/conditional_user_property_controller.h"
#include "measurement/audience/purchase_reporter.h"
#include "measurement/audience/search_ad_reporter.h"
#include "measurement/core/raw_event_metadata.h"
#include "measurement/experiments/experiments_manager.h"
#include "measurement/foundation/alarm.h"
#include "measurement/foundation/event.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/scheduler.h"
#include "measurement/foundation/user_attribute.h"
#include "measurement/store/database.h"
#include "measurement/store/database_config_storage.h"
#include "measurement/store/persisted_config.h"
#include "measurement/store/remote_config.h"
#include "measurement/upload/consent/consent_settings_util.h"
#include "measurement/upload/attribution/deep_links.h"
#include "measurement/upload/consent/tcf_client.h"
#include "measurement/upload/identity/identity.h"
#include "measurement/upload/upload_host.h"
#include "platform/foundation/notification_center.h"
#include "platform/frameworks/app_core/background_task.h"
#include "platform/frameworks/payment_queue/payment_queue.h"
#include "platform/frameworks/utilities/network.h"

namespace measurement {

class APMUploader;
class APMOnDeviceConversion;
class APMSKANConversionValues;

// The measurement engine: its components, its state on the worker queue,
// its start, the application's lifecycle and the writing of events and
// user properties into the measurement database. One shared instance per
// process; everything named "...OnWorkerQueue" runs on the scheduler's
// worker queue.
class APMMeasurement : public std::enable_shared_from_this<APMMeasurement> {
public:
    // The engine, created once under the shared-instance lock.
    static std::shared_ptr<APMMeasurement> sharedInstance();
    // True when the engine exists and its components are initialised.
    static bool hasSharedInstance();
    // Shuts the process's engine down: waits for what its worker queue
    // holds, lets the engine go (its settings written) and stops its
    // experiments manager. A later sharedInstance() makes a new engine on
    // the same files.
    static void shutdown();

    static APMMonitor& monitor() { return APMMonitor::shared(); }
    // The shared engine's server configuration once its components are
    // initialised; until then (and without an engine) the built-in default
    // flags. Safe from any thread.
    static std::shared_ptr<APMRemoteConfig> remoteConfig();

    // The experiments manager goes to the server configuration, which
    // registers with it; none: an engine without experiments.
    explicit APMMeasurement(std::shared_ptr<APMEManager> experimentsManager = nullptr);
    ~APMMeasurement();
    APMMeasurement(const APMMeasurement&) = delete;
    APMMeasurement& operator=(const APMMeasurement&) = delete;

    // Components.
    APMScheduler& scheduler() { return *scheduler_; }
    // The engine's one database, persisted settings, server configuration
    // and its storage: made once the components are initialised (on the
    // worker queue), none before. Everything of the engine that reads or
    // writes them (the core, bundling, the upload, the configuration fetch)
    // uses these instances.
    APMDatabase* database() const { return database_.get(); }
    // Why the database could not be opened when the components were
    // initialised; none when it was, or before (on the worker queue).
    const std::optional<APMError>& databaseError() const { return databaseError_; }
    APMPersistedConfig* persistedConfig() const { return persistedConfig_.get(); }
    APMDatabaseConfigStorage* configStorage() const { return configStorage_.get(); }
    std::shared_ptr<APMRemoteConfig> remoteConfigInstance() const;
    // What the server configuration builds its event-editing host with,
    // made with it; none before.
    const std::shared_ptr<APMEventEditingFactory>& eventEditingFactory() const { return eventEditingFactory_; }
    // The consent state, made with the engine (so that the facade's consent
    // operations have it before the engine starts) and safe from any thread.
    const std::shared_ptr<APMConsentSettingsUtil>& consentState() const { return consentState_; }
    // The identity, made once the stored consent is restored (so that no
    // identifier is made against a stored denial); none before. From any
    // thread.
    std::shared_ptr<APMIdentity> identity() const;
    // The campaign links, made with the upload; none before. Worker queue.
    const std::shared_ptr<APMDeepLinks>& deepLinks() const { return deepLinks_; }
    // The TCF client, made at start when the server flag allows it; none
    // otherwise. Worker queue only.
    const std::shared_ptr<APMTCFClient>& tcfClient() const { return tcfClient_; }
    // The engine's audiences, over its own database (their calls run inside
    // its transactions); made with the database, none before.
    const std::shared_ptr<APMAudience>& audience() const { return audience_; }
    const std::shared_ptr<platform::RULNetwork>& network() const { return network_; }
    // The experiments manager the engine was made with; none without one.
    const std::shared_ptr<APMEManager>& experimentsManager() const { return experimentsManager_; }
    std::shared_ptr<platform::RULReachabilityDelegate> reachabilityDelegate() const { return reachabilityDelegate_; }
    APMAlarm& uploadAlarm() { return *uploadAlarm_; }
    // The engine's batch upload, its schedule and the configuration fetch,
    // made with the other components; none before. Worker queue.
    const std::shared_ptr<APMUploader>& uploader() const { return uploader_; }
    // On-device conversion measurement and the conversion values for the ad
    // network's postbacks, made with the other components; none before.
    // Worker queue.
    const std::shared_ptr<APMOnDeviceConversion>& onDeviceConversion() const { return onDeviceConversion_; }
    const std::shared_ptr<APMSKANConversionValues>& SKANConversionValues() const { return SKANConversionValues_; }
    // The automatic reporters. The screen-view and ad-exposure reporters are
    // made with the engine and follow the application's lifecycle from then
    // on; the session reporter is made with the other components (none
    // before) and made again when analytics data is wiped.
    const std::shared_ptr<APMScreenViewReporter>& screenViewReporter() const { return screenViewReporter_; }
    const std::shared_ptr<APMAdExposureReporter>& adExposureReporter() const { return adExposureReporter_; }
    std::shared_ptr<APMSessionReporter> sessionReporter() const;
    // The shared engine's screen-view reporter; none without an engine.
    static std::shared_ptr<APMScreenViewReporter> sharedScreenViewReporter();
    // Conditional user properties, made on first use; from any thread.
    std::shared_ptr<APMConditionalUserPropertyController> conditionalUserPropertyController();
    // The purchase reporter and its product cache, made on first use; from
    // any thread.
    std::shared_ptr<APMInAppPurchaseTransactionReporter> purchaseReporter();
    std::shared_ptr<APMInAppPurchaseProductCache> productCache();
    // The search-ad reporter made at start; none when there is nothing to
    // report. Worker queue.
    const std::shared_ptr<APMSearchAdReporter>& searchAdReporter() const { return searchAdReporter_; }
    bool didInitializeComponents() const { return didInitializeComponents_.load(); }
    double initTimestamp() const { return initTimestamp_; }
    const std::string& measurementAppID() const { return measurementAppID_; }

    bool isEnabled() const { return enabled_.load(); }
    // Turns collection on or off (kept across starts).
    void setEnabled(bool enabled);
    void setEnabledOnWorkerQueue(bool enabled);

    // Engine state read and written by the upload components.
    bool isNetworkRequestPending() const { return networkRequestPending_.load(); }
    void setIsNetworkRequestPending(bool pending) { networkRequestPending_.store(pending); }
    // The conversion-value fetch attempts since the last success, and
    // whether an on-device conversion query waits for the network: kept by
    // those components, read on the worker queue (0 and false before the
    // components exist).
    std::int32_t SKANRetryCount() const;
    bool isPSMRequestPostponed() const;
    bool isNetworkReadyForRequest();
    platform::BackgroundTaskIdentifier backgroundTaskIdentifier() const;
    bool shouldRequestDeferredDeepLinkAfterConfigFetch() const { return shouldRequestDeferredDeepLinkAfterConfigFetch_; }
    void setShouldRequestDeferredDeepLinkAfterConfigFetch(bool value) { shouldRequestDeferredDeepLinkAfterConfigFetch_ = value; }
    bool shouldUpdateNPAUserProperty() const { return shouldUpdateNPAUserProperty_; }
    void setShouldUpdateNPAUserProperty(bool value) { shouldUpdateNPAUserProperty_ = value; }
    // Ends the background task, unless a resignation's task still covers
    // operations that were accepted before it and are not yet stored: the
    // resignation ends it once they are.
    void terminateBackgroundTask();

    // This engine's server configuration, the default flags before it has
    // one.
    std::shared_ptr<APMRemoteConfig> config() const;

    // Start: initialises the components and runs the start on the worker
    // queue; `started` runs there afterwards.
    void startWithAppID(const std::string& measurementAppID, std::function<void()> started);

    // The application's lifecycle (also reached through the default
    // notification centre once started).
    void applicationDidBecomeActive();
    void applicationWillResignActive();
    void reachabilityDidChange();
    static void handleAppDidFinishLaunching(const platform::Notification& notification);

    // A link the application was opened with while running (the facade's
    // serial queue): its campaign event is logged on the worker queue after
    // what was logged before it. Not from the worker queue.
    void handleNonFirstOpenEventURL(const std::string& url, double eventTimestamp);
    void handleOpenURL(const std::string& url, std::optional<std::int64_t> clickTimestampMillis,
                       double eventTimestamp);
    void handleDeepLink(const std::string& url, std::optional<std::int64_t> clickTimestampMillis,
                        double eventTimestamp);
    // Links do not switch debug mode here.
    void handleDebugModeWithURL(const std::string& url);

    // One event from the facade's serial queue: built (parameters checked
    // and trimmed) and handled on the worker queue.
    void logEvent(const std::string& origin, bool isPublic, const std::string& name, double timestamp,
                  const platform::Value::Dictionary& parameters);
    // Runs a block on the worker queue after everything posted before it.
    void scheduleOnWorkerQueue(const std::string& blockID, std::function<void()> block);
    // Worker queue: commits the events that still wait for their write
    // group's commit, so that what runs next finds them stored and their
    // write listeners told.
    void closeEventGroup();

    // Worker-queue writes.
    void handleInternalEventOnWorkerQueue(const APMEvent& event);
    void handleEventOnWorkerQueue(const APMEvent& event);
    void writeEventOnWorkerQueue(const APMEvent& event);
    // False when nothing was written; the event write listeners hear of
    // either outcome once it is known (a grouped event: at its commit).
    bool writeFilteredEventOnWorkerQueue(const APMEvent& event);
    void setUserAttributeOnWorkerQueue(const APMUserAttribute& attribute);
    void removeUserAttributeOnWorkerQueue(const std::string& name);
    bool setUserPropertyInDatabaseOnWorkerQueue(const APMUserAttribute& attribute);
    void setPersonalizedAdsUserPropertyOnWorkerQueue();
    // True when this start is the first open, which it reports ("_f").
    bool reportFirstOpenOnWorkerQueue();
    // An application version other than the one stored at the last start is
    // an update ("_au"); the first open only stores the version.
    void reportAppUpdateOnWorkerQueue(bool firstOpen);
    void reportStoredCampaignEventOnWorkerQueue(std::optional<std::int64_t> clickTimestampMillis);
    void reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground);
    void processSessionFromEvent(const APMEvent& event);
    void setSessionTimeoutInterval(double seconds);

    // Consent glue with the server configuration and the consent state.
    void updateConsentSettingsUtilWithRemoteConfig();
    void tcfClientSetConsentFromData();
    void wipeoutAnalyticsDataAndResetComponents();
    void setProspectiveConsentSettings();
    // "ad_personalization" from the value of an "_npa" user property that a
    // caller, not the engine's own mirror of the consent, set (1: not
    // personalised).
    void updateAdPersonalizationConsentFromNPAValue(const APMValue& value);

    // Purchases: keeps the purchased transactions that are not duplicates and
    // hands them to the callback on a background queue.
    void filterPurchaseTransactions(std::vector<platform::PaymentTransaction> transactions,
                                    std::function<void(std::vector<platform::PaymentTransaction>)> callback);
    // 0 non-consumable, 1 consumable, 2 non-renewing, 3 auto-renewable; any
    // other type 0.
    static int productTypeCode(platform::StoreProductType productType);

    // The metadata header of the raw events stored now.
    APMPBMeasurementBundle createRawEventMetadataWithUserAttributes(
        const std::vector<APMUserAttribute>& userAttributes) const;

private:
    bool initializeComponentsOnWorkerQueue();
    // The consent of earlier runs, before anything made or handed out an
    // identifier against it.
    void restoreConsentOnWorkerQueue();
    void makeTCFClient();
    void startOnWorkerQueue();
    void observeApplication();
    std::string nextBlockID();
    // Today in the daily counts.
    std::int64_t currentDayIndex() const;
    void makeRemoteConfig();
    void prepareExperiments();
    // The reporters, once, when the engine is shared or starts; the session
    // reporter with the components.
    void makeReporters();
    void makeSessionReporter();
    void makeAudience();
    bool makeIdentity();
    void decideAppInstanceID();
    // Says so when `made`, a new ID recorded, replaces one the database
    // lost to damage.
    void sayIfAppInstanceIDWasLost(const std::string& made);
    void makeDeepLinks();
    // When the user ID changes or goes.
    void resetSessionStitchingTokenOfIdentity();
    void makeSearchAdReporter();
    void makeConversionComponents();
    void observePaymentQueue();
    // Runs the call on the engine's upload; nothing before it is made.
    void withUploader(void (APMUploader::*call)());
    bool isConfigurationRefreshDue() const;
    // The background task of a resignation and the resignations whose
    // operations are not all stored yet.
    void beginResignationBackgroundTask();
    void endResignationCover();
    void endBackgroundTask();

    // An event as it is written: what was worked out for it the first time
    // (its day, its header), so that a second write alone stores the same.
    struct EventWrite {
        APMEvent event;
        std::int64_t dayIndex = 0;
        std::shared_ptr<const APMPBMeasurementBundle> header;
        std::int64_t fingerprint = 0;
    };
    // What the events of one write group share, read once for the group:
    // valid while it stays open, since any other write ends it first.
    struct EventGroupState {
        std::optional<APMDailyCounts> counts;
        std::optional<std::int64_t> storedFingerprint;
    };
    // The last header made and what it was made from: the process's state
    // and the version of the stored user properties. Most events share it,
    // across write groups too.
    struct MadeHeader {
        std::optional<std::vector<APMUserAttribute>> attributes;
        std::uint64_t attributesVersion = 0;
        APMRawEventMetadataSource source;
        std::shared_ptr<const APMPBMeasurementBundle> header;
        std::int64_t fingerprint = 0;
    };
    // Events waiting on the worker queue share one write group (one
    // commit); see event_writer.cpp.
    bool joinEventGroup();
    void eventGroupClosed(bool committed);
    bool writeEventAlone(EventWrite& write);
    bool storeEvent(EventWrite& write, EventGroupState* group, APMErrorOut error);
    bool makeEventHeader(EventWrite& write, APMErrorOut error);
    APMRawEventMetadataSource rawEventMetadataSource(const std::vector<APMUserAttribute>& userAttributes) const;
    // Why the event was not stored; none when it was.
    void eventWriteFinished(const APMEvent& event, const std::optional<std::string>& failure);

    std::unique_ptr<APMScheduler> scheduler_;
    const std::shared_ptr<APMEManager> experimentsManager_;
    std::shared_ptr<APMDatabase> database_;
    // Why the database could not be opened, for those who ask why an event
    // was not stored.
    std::optional<APMError> databaseError_;
    std::shared_ptr<APMPersistedConfig> persistedConfig_;
    std::shared_ptr<APMDatabaseConfigStorage> configStorage_;
    std::shared_ptr<APMEventEditingFactory> eventEditingFactory_;
    mutable std::mutex remoteConfigMutex_;  // remoteConfig_
    std::shared_ptr<APMRemoteConfig> remoteConfig_;
    const std::shared_ptr<APMConsentSettingsUtil> consentState_;
    std::shared_ptr<APMTCFClient> tcfClient_;
    // After the database it works on, so that it goes first.
    std::shared_ptr<APMAudience> audience_;
    std::shared_ptr<platform::RULNetwork> network_;
    std::shared_ptr<platform::RULReachabilityDelegate> reachabilityDelegate_;
    std::unique_ptr<APMAlarm> uploadAlarm_;
    mutable std::mutex identityMutex_;  // identity_
    std::shared_ptr<APMIdentity> identity_;
    // After the parts it works on, so that it goes before them.
    std::shared_ptr<APMUploader> uploader_;
    std::shared_ptr<APMDeepLinks> deepLinks_;
    // After the upload, whose schedule they update, so that they go first.
    std::shared_ptr<APMOnDeviceConversion> onDeviceConversion_;
    std::shared_ptr<APMSKANConversionValues> SKANConversionValues_;
    std::once_flag reportersMade_;
    std::shared_ptr<APMReporterHost> reporterHost_;
    std::shared_ptr<APMAdExposureReporter> adExposureReporter_;
    std::shared_ptr<APMScreenViewReporter> screenViewReporter_;
    mutable std::mutex sessionReporterMutex_;  // sessionReporter_
    std::shared_ptr<APMSessionReporter> sessionReporter_;
    std::shared_ptr<platform::dispatch::Queue> purchaseCallbackQueue_;
    std::shared_ptr<APMSearchAdReporter> searchAdReporter_;
    mutable std::mutex componentsMutex_;  // the components made on first use
    std::shared_ptr<APMConditionalUserPropertyController> conditionalUserPropertyController_;
    std::shared_ptr<APMInAppPurchaseProductCache> productCache_;
    std::shared_ptr<APMInAppPurchaseTransactionReporter> purchaseReporter_;
    std::shared_ptr<platform::PaymentTransactionObserver> paymentObserver_;
    std::vector<platform::ObserverToken> observers_;

    std::atomic<bool> didInitializeComponents_{false};
    std::atomic<bool> enabled_{true};
    std::atomic<bool> networkRequestPending_{false};
    // Worker queue: the events of the open write group, waiting for its
    // commit, and that group's number.
    std::vector<EventWrite> groupedEvents_;
    EventGroupState groupState_;
    MadeHeader lastHeader_;  // on the worker queue
    std::uint64_t eventGroup_ = 0;
    mutable std::mutex backgroundTaskMutex_;  // backgroundTask_, coveringResignations_
    platform::BackgroundTaskIdentifier backgroundTask_ = platform::kInvalidBackgroundTask;
    int coveringResignations_ = 0;
    std::atomic<std::uint64_t> blockCounter_{0};
    std::atomic<bool> shouldRequestDeferredDeepLinkAfterConfigFetch_{false};
    std::atomic<bool> shouldUpdateNPAUserProperty_{false};
    double initTimestamp_ = 0;
    std::string measurementAppID_;
};

}  // namespace measurement
