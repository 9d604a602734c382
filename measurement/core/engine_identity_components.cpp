// The engine's identity and campaign links, the adapter through which the
// links reach the engine, and the links the application hands over.
#include "measurement/core/codes.h"
#include "measurement/core/facade.h"
#include "measurement/core/measurement.h"
#include "measurement/foundation/parameter_value.h"
#include "measurement/upload/attribution/stored_deep_link.h"
#include "measurement/upload/uploader.h"

namespace measurement {

namespace {

// The engine as its campaign links see it. It does not keep the engine
// alive: once the engine has gone, nothing is stored or scheduled. The
// network is the engine's, held here so that a reply arriving late finds it.
class EngineDeepLinkHost : public APMDeepLinkHost {
public:
    EngineDeepLinkHost(std::weak_ptr<APMMeasurement> engine, std::shared_ptr<platform::dispatch::Queue> workerQueue,
                       std::shared_ptr<platform::RULNetwork> network)
        : engine_(std::move(engine)), workerQueue_(std::move(workerQueue)), network_(std::move(network)) {}

    std::shared_ptr<platform::dispatch::Queue> workerQueue() const override { return workerQueue_; }
    void scheduleOnWorkerQueue(const std::string& blockID, std::function<void()> block) override {
        if (auto engine = engine_.lock()) engine->scheduleOnWorkerQueue(blockID, std::move(block));
    }
    std::shared_ptr<APMRemoteConfig> remoteConfig() const override {
        auto engine = engine_.lock();
        auto config = engine ? engine->remoteConfigInstance() : nullptr;
        return config ? config : APMMeasurement::remoteConfig();
    }
    void handleInternalEventOnWorkerQueue(const APMEvent& event) override {
        if (auto engine = engine_.lock()) engine->handleInternalEventOnWorkerQueue(event);
    }
    bool setUserPropertyInDatabaseOnWorkerQueue(const APMUserAttribute& attribute) override {
        auto engine = engine_.lock();
        return engine && engine->setUserPropertyInDatabaseOnWorkerQueue(attribute);
    }
    platform::RULNetwork& network() override { return *network_; }
    void setIsNetworkRequestPending(bool pending) override {
        if (auto engine = engine_.lock()) engine->setIsNetworkRequestPending(pending);
    }
    bool shouldUseBackgroundSession() const override {
        auto engine = engine_.lock();
        return engine && engine->uploader() && engine->uploader()->shouldUseBackgroundSession();
    }
    void updateSchedule() override {
        auto engine = engine_.lock();
        if (engine && engine->uploader()) engine->uploader()->updateSchedule();
    }

private:
    std::weak_ptr<APMMeasurement> engine_;
    std::shared_ptr<platform::dispatch::Queue> workerQueue_;
    std::shared_ptr<platform::RULNetwork> network_;
};

}  // namespace

std::shared_ptr<APMIdentity> APMMeasurement::identity() const {
    std::lock_guard lock(identityMutex_);
    return identity_;
}

// Over the engine's persisted settings, consent state and server
// configuration; it becomes the process's shared identity.
bool APMMeasurement::makeIdentity() {
    decideAppInstanceID();
    APMIdentityInputs inputs;
    inputs.persistedConfig = persistedConfig_;
    inputs.consent = consentState_;
    inputs.remoteConfig = [config = remoteConfigInstance()] { return config; };
    // On the worker queue, where the database lives: the identity's queue
    // never waits for it.
    inputs.agreeOnAppInstanceID = [weak = weak_from_this()](const std::optional<std::string>& replacing,
                                                             const std::string& proposed,
                                                             std::function<void(const std::string&)> take) {
        auto engine = weak.lock();
        if (!engine) return;
        engine->scheduleOnWorkerQueue("APMMeasurement:appInstanceID", [weak, replacing, proposed, take] {
            auto engine = weak.lock();
            if (!engine || !engine->database_) return;
            std::optional<APMError> error;
            const auto decided = replacing
                                     ? engine->database_->replaceAppInstanceID(*replacing, proposed, &error)
                                     : engine->database_->recordAppInstanceIDUnlessRecorded(proposed, &error);
            if (decided) {
                if (!replacing && *decided == proposed) engine->sayIfAppInstanceIDWasLost(proposed);
                take(*decided);
            } else {
                APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMAppInstanceIDNotDecidedCode,
                                                  "Unable to read or record the app instance ID in the database. "
                                                  "Error",
                                                  errorContext(error));
            }
        });
    };
    auto identity = APMIdentity::makeWithPersistedConfig(std::move(inputs));
    if (!identity) return false;
    if (!measurementAppID_.empty()) identity->setAppIDFromRUZ(measurementAppID_);
    APMIdentity::setSharedInstance(identity);
    // From now on the experiments ask the identity, which makes the key when
    // none of the right length is stored, instead of reading the stored one.
    if (experimentsManager_) {
        std::weak_ptr<APMIdentity> weak = identity;
        experimentsManager_->setIdentityDiversionKeyProvider([weak]() -> std::optional<std::string> {
            auto identity = weak.lock();
            return identity ? std::optional<std::string>(identity->diversionKey()) : std::nullopt;
        });
    }
    std::lock_guard lock(identityMutex_);
    identity_ = std::move(identity);
    return true;
}

// The database keeps the folder's app instance ID, which every change goes
// to first: processes that start together on a new data folder all take the
// one it records first, and one that finds another there than its settings
// hold (another process's rotation, which this settings file may not hold
// yet, or a settings file that was lost) takes that one. A database without
// one learns the settings'. Should it not answer, the identity makes one of
// its own, as before.
void APMMeasurement::decideAppInstanceID() {
    const auto stored = persistedConfig_->appInstanceID();
    if (!database_ || consentState_->isAnalyticsStorageDenied()) return;
    std::optional<APMError> error;
    const bool settingsHoldOne = stored && !stored->empty();
    const std::string proposed = settingsHoldOne ? *stored : APMIdentity::randomAppInstanceID();
    const auto decided = database_->recordAppInstanceIDUnlessRecorded(proposed, &error);
    if (decided && !settingsHoldOne && *decided == proposed) sayIfAppInstanceIDWasLost(proposed);
    if (decided) {
        if (decided != stored) persistedConfig_->setAppInstanceID(*decided);
        // The advertising identifier's hash went with the ID the settings
        // held: kept, it would have this process replace the newer ID once
        // more for the identifier the other process found.
        if (decided != stored && stored && !stored->empty()) persistedConfig_->setHashedResettableDeviceID(std::nullopt);
    } else {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMAppInstanceIDNotDecidedCode,
                                          "Unable to read or record the app instance ID in the database. Error",
                                          error ? error->asContext() : platform::Value());
    }
}

// A new ID where the database lost the folder's to damage and the settings
// hold none: nothing else knows the old one, so a new one is taken, but not
// in silence.
void APMMeasurement::sayIfAppInstanceIDWasLost(const std::string& made) {
    if (database_->appMetadataLostToDamage(nullptr).value_or(false)) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMAppInstanceIDLostToDamageCode,
                                          "The app instance ID was lost with a damaged database and the settings hold "
                                          "none: a new one is taken. New ID",
                                          platform::Value(made));
    }
}

void APMMeasurement::makeDeepLinks() {
    APMDeepLinkInputs inputs;
    inputs.host = std::make_shared<EngineDeepLinkHost>(weak_from_this(), scheduler_->workerQueue(), network_);
    inputs.persistedConfig = persistedConfig_;
    inputs.consent = consentState_;
    inputs.identity = identity();
    deepLinks_ = std::make_shared<APMDeepLinks>(std::move(inputs));
}

// ---- Links the application hands over ----------------------------------------

void APMMeasurement::handleNonFirstOpenEventURL(const std::string& url, double eventTimestamp) {
    if (scheduler_->workerQueue()->isCurrent()) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelSilentError, kAPMNonFirstOpenOnWorkerQueueCode,
                                          "Do not call handleNonFirstOpenOpenURL on the measurement worker queue");
        return;
    }
    handleOpenURL(url, std::nullopt, eventTimestamp);
}

void APMMeasurement::handleOpenURL(const std::string& url, std::optional<std::int64_t> clickTimestampMillis,
                                   double eventTimestamp) {
    if (url.empty()) return;
    handleDebugModeWithURL(url);
    handleDeepLink(url, clickTimestampMillis, eventTimestamp);
}

void APMMeasurement::handleDebugModeWithURL(const std::string& /*url*/) {}

// After the operations accepted before it, like them held until the engine
// has started: a link opened meanwhile is not lost.
void APMMeasurement::handleDeepLink(const std::string& url, std::optional<std::int64_t> clickTimestampMillis,
                                    double eventTimestamp) {
    std::weak_ptr<APMMeasurement> weak = weak_from_this();
    APMAnalytics::performAfterQueuedOperations("APMMeasurement:446", [weak, url, clickTimestampMillis, eventTimestamp] {
        auto engine = weak.lock();
        if (engine && engine->deepLinks_) {
            engine->deepLinks_->handleOpenURLOnWorkerQueue(url, clickTimestampMillis, eventTimestamp, {});
        }
    });
}

void APMMeasurement::handleAppDidFinishLaunching(const platform::Notification& notification) {
    if (notification.userInfo.empty()) return;
    handleStoredURLAfterAppLaunchWithNotification(notification.userInfo);
}

void APMMeasurement::reportStoredCampaignEventOnWorkerQueue(std::optional<std::int64_t> clickTimestampMillis) {
    auto preferences = APMUserDefaults::sharedUserDefaults();
    const auto link = preferences.stringForKey(kAPMStoredDeepLinkKey);
    if (!link || link->empty()) return;
    const double storedSeconds = preferences.doubleForKey(kAPMStoredDeepLinkTimestampKey);
    std::string url = *link;
    platform::Value::Dictionary extras;
    if (isStoredDeepLinkExpired(preferences, config()->attributionCacheTTLInterval())) {
        url = "(not set)";
        extras = {{"utm_source", "(not set)"}, {"utm_medium", "(not set)"}, {"_cc", 1}};
    } else {
        const auto hour = previousHourStartMillis(APMMillisecondsFromSeconds(storedSeconds));
        extras = {{"_cc", static_cast<long long>(hour)}};
    }
    clearStoredDeepLink(preferences);
    if (deepLinks_) deepLinks_->handleOpenURLOnWorkerQueue(url, clickTimestampMillis, storedSeconds, extras);
}

}  // namespace measurement
