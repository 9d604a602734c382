// The facade: its queues, event and user-property checks, consent and the hand-over to the engine.
#include "measurement/core/facade.h"

#include <map>
#include <mutex>

#include "measurement/core/codes.h"
#include "measurement/core/facade_shared_state.h"
#include "measurement/core/measurement.h"
#include "measurement/foundation/event_parameters.h"
#include "measurement/foundation/first_use_queue.h"
#include "measurement/foundation/names.h"
#include "measurement/foundation/data_type_validator.h"
#include "measurement/upload/attribution/stored_deep_link.h"
#include "measurement/upload/conversion/on_device_conversion.h"
#include "platform/dispatch/clock.h"

namespace measurement {

detail::FacadeState& detail::facadeState() {
    static FacadeState state;
    return state;
}

namespace {

using detail::FacadeState;

FacadeState& facade() { return detail::facadeState(); }

// Makes the queues on first use; the operation queue starts held.
void makeQueuesLocked(FacadeState& state) {
    if (state.timestampQueue) return;
    // Stamps are taken under a lock (currentTimestamp): the queue is only
    // made should a caller ask for it.
    state.timestampQueue = APMMakeSerialQueueOnFirstUse("com.rozeda.analytics.timestamp");
    state.operationQueue = platform::dispatch::makeSerialQueue("com.rozeda.analytics.operation");
    state.serialQueue = platform::dispatch::makeSerialQueue("com.rozeda.analytics.serial");
    state.operationQueue->suspend();
    state.operationQueueStarted = false;
    for (const auto& queue : {state.timestampQueue, state.operationQueue, state.serialQueue}) {
        APMScheduler::registerBackgroundQueue(queue);
    }
}

std::shared_ptr<platform::dispatch::Queue> queue(std::shared_ptr<platform::dispatch::Queue> FacadeState::*member) {
    auto& state = facade();
    std::lock_guard lock(state.mutex);
    makeQueuesLocked(state);
    return state.*member;
}

void logWarning(long code, const std::string& message, const platform::Value& context) {
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelWarning, code, message, context);
}

}  // namespace

std::shared_ptr<platform::dispatch::Queue> APMAnalytics::timestampQueue() { return queue(&FacadeState::timestampQueue); }
std::shared_ptr<platform::dispatch::Queue> APMAnalytics::operationQueue() { return queue(&FacadeState::operationQueue); }
std::shared_ptr<platform::dispatch::Queue> APMAnalytics::serialQueue() { return queue(&FacadeState::serialQueue); }

// Stamps are taken one at a time, in the order their callers reach them, as
// they would be on the timestamp queue, but under a lock: a hop to that
// queue's thread and back would cost two thread switches per event.
double APMAnalytics::currentTimestamp() {
    static std::mutex stamping;
    std::lock_guard lock(stamping);
    return platform::dispatch::currentClock()->now();
}

void APMAnalytics::startOperationQueue() {
    auto& state = facade();
    std::lock_guard lock(state.mutex);
    makeQueuesLocked(state);
    if (state.operationQueueStarted) return;
    state.operationQueueStarted = true;
    state.operationQueue->resume();
}

bool APMAnalytics::isOperationQueueStarted() {
    auto& state = facade();
    std::lock_guard lock(state.mutex);
    return state.operationQueueStarted;
}

void APMAnalytics::enqueue(std::function<void()> operation) {
    auto serial = serialQueue();
    operationQueue()->async([serial, operation = std::move(operation)]() mutable {
        serial->async(std::move(operation));
    });
}

void APMAnalytics::performAfterQueuedOperations(const std::string& blockID, std::function<void()> block) {
    enqueue([blockID, block = std::move(block)]() mutable {
        // After the operations means after their events are committed.
        auto engine = APMMeasurement::sharedInstance();
        std::weak_ptr<APMMeasurement> weak = engine;
        engine->scheduleOnWorkerQueue(blockID, [weak, block = std::move(block)] {
            if (auto running = weak.lock()) running->closeEventGroup();
            block();
        });
    });
}

void APMAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const Parameters& parameters) {
    logEvent(origin, false, name, std::nullopt, parameters);
}

void APMAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name, double timestamp,
                                              const Parameters& parameters) {
    logEvent(origin, false, name, timestamp, parameters);
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const Parameters& parameters) {
    logEvent(origin, isPublicEvent, name, std::nullopt, parameters);
}

void APMAnalytics::logEvent(const std::string& origin, bool isPublicEvent, const std::string& name,
                            std::optional<double> timestamp, const Parameters& parameters) {
    const auto screens = APMMeasurement::sharedInstance()->screenViewReporter();
    if (name == "screen_view") {
        screens->trackScreenWithParameters(parameters, timestamp.value_or(currentTimestamp()));
        return;
    }
    Parameters withScreen = parameters;
    if (!APMHasScreenParameters(parameters)) {
        for (const auto& [key, value] : screens->screenParameters()) withScreen.emplace(key, value);
    }
    const double eventTime = timestamp.value_or(currentTimestamp());
    enqueue([origin, isPublicEvent, name, eventTime, withScreen = std::move(withScreen)] {
        APMMeasurement::sharedInstance()->logEvent(origin, isPublicEvent, name, eventTime, withScreen);
    });
}

void APMAnalytics::setScreenName(const std::optional<std::string>& screenName,
                                 const std::optional<std::string>& screenClass) {
    if (!APMScheduler::isOnMainThread()) {
        logWarning(kAPMScreenNameNotOnMainThreadCode,
                   "setScreenName:screenClass: must be called from the main thread to ensure that events are "
                   "associated with the intended screen.",
                   platform::Value(screenName.value_or("")));
        return;
    }
    APMMeasurement::sharedInstance()->screenViewReporter()->setScreenName(screenName, screenClass);
}

void APMAnalytics::setInternalUserProperty(const std::optional<platform::Value>& value, const std::string& name,
                                           const std::string& origin) {
    if (!APMIsValidInternalName(origin, 32)) {
        logWarning(kAPMInvalidOriginCode, "Invalid user property origin. Origin", platform::Value(origin));
        return;
    }
    std::optional<APMValue> typed;
    if (value && !value->isNull()) {
        typed = APMValue::valueFromObject(*value);
        int failure = 0;
        if (!typed || typed->isList() || !APMDataTypeValidator::isValidInternalUserAttributeValue(*typed, name, &failure)) {
            logWarning(kAPMInvalidUserPropertyCode, "Invalid user property value. Name", platform::Value(name));
            return;
        }
    }
    const double setTime = platform::dispatch::currentClock()->now();
    enqueue([typed, name, origin, setTime] {
        APMMeasurement::sharedInstance()->scheduleOnWorkerQueue("APMAnalytics:userProperty", [=] {
            auto engine = APMMeasurement::sharedInstance();
            if (typed) {
                engine->setUserAttributeOnWorkerQueue(APMUserAttribute(origin, name, *typed, setTime));
            } else {
                engine->removeUserAttributeOnWorkerQueue(name);
            }
        });
    });
}

void APMAnalytics::setSessionTimeoutInterval(double seconds) {
    enqueue([seconds] { APMMeasurement::sharedInstance()->setSessionTimeoutInterval(seconds); });
}

void APMAnalytics::setAnalyticsCollectionEnabled(bool enabled) {
    enqueue([enabled] { APMMeasurement::sharedInstance()->setEnabled(enabled); });
}

void APMAnalytics::setUserDataOnSerialQueue(const Parameters& userData) {
    serialQueue()->async([userData] {
        if (!APMMeasurement::hasSharedInstance()) return;
        if (!APMMeasurement::sharedInstance()->isEnabled()) {
            APMMonitor::shared().logWithLevel(kAPMMonitorLevelSampledWarning, kAPMUserDataNotSetDisabledCode,
                                              "Analytics is disabled. User data not set.");
            return;
        }
        if (const auto& conversions = APMMeasurement::sharedInstance()->onDeviceConversion()) {
            conversions->setUserData(userData);
        }
    });
}

void APMAnalytics::handleOpenURL(const std::string& url) {
    const double now = currentTimestamp();
    serialQueue()->async([url, now] { APMMeasurement::sharedInstance()->handleNonFirstOpenEventURL(url, now); });
}

void APMAnalytics::handleUserActivity(const Parameters& userActivity) {
    const double now = currentTimestamp();
    serialQueue()->async([userActivity, now] {
        const auto link = deepLinkFromUserActivity(platform::Value(userActivity));
        if (link && !link->empty()) APMMeasurement::sharedInstance()->handleNonFirstOpenEventURL(*link, now);
    });
}

void APMAnalytics::paymentQueueUpdatedTransactions(const std::vector<platform::PaymentTransaction>& transactions) {
    operationQueue()->async([transactions] {
        auto engine = APMMeasurement::sharedInstance();
        if (!engine->isEnabled()) return;
        std::weak_ptr<APMMeasurement> weak = engine;
        engine->filterPurchaseTransactions(transactions, [weak](std::vector<platform::PaymentTransaction> kept) {
            if (auto owner = weak.lock()) owner->purchaseReporter()->paymentQueueUpdatedFilteredTransactions(kept);
        });
    });
}

void APMAnalytics::logTransaction(const platform::StoreTransaction& transaction) {
    serialQueue()->async([transaction] {
        APMMeasurement::sharedInstance()->purchaseReporter()->reportTransaction(
            transaction.productID, transaction.id, transaction.originalID, transaction.webOrderLineItemID,
            APMMeasurement::productTypeCode(transaction.productType), transaction.isFreeTrial,
            transaction.isIntroductoryOffer, transaction.purchasedQuantity, transaction.purchaseDate,
            transaction.originalPurchaseDate, transaction.expirationDate, transaction.revocationDate);
    });
}

std::uint64_t APMAnalytics::addEventListener(EventListener listener) {
    auto& state = facade();
    std::lock_guard lock(state.mutex);
    const auto identifier = state.nextListener++;
    state.listeners.emplace(identifier, std::move(listener));
    return identifier;
}

void APMAnalytics::removeEventListener(std::uint64_t identifier) {
    auto& state = facade();
    std::lock_guard lock(state.mutex);
    state.listeners.erase(identifier);
}

void APMAnalytics::notifyEventListeners(const APMEvent& event) {
    std::vector<EventListener> listeners;
    {
        auto& state = facade();
        std::lock_guard lock(state.mutex);
        for (const auto& entry : state.listeners) listeners.push_back(entry.second);
    }
    for (const auto& listener : listeners) listener(event);
}

std::uint64_t APMAnalytics::addEventWriteListener(EventWriteListener listener) {
    auto& state = facade();
    std::lock_guard lock(state.mutex);
    const auto identifier = state.nextListener++;
    state.writeListeners.emplace(identifier, std::move(listener));
    return identifier;
}

void APMAnalytics::removeEventWriteListener(std::uint64_t identifier) {
    auto& state = facade();
    std::lock_guard lock(state.mutex);
    state.writeListeners.erase(identifier);
}

void APMAnalytics::notifyEventWriteListeners(const APMEvent& event, const std::optional<std::string>& failure) {
    std::vector<EventWriteListener> listeners;
    {
        auto& state = facade();
        std::lock_guard lock(state.mutex);
        for (const auto& entry : state.writeListeners) listeners.push_back(entry.second);
    }
    for (const auto& listener : listeners) listener(event, failure);
}

bool APMIsAppActive() {
    const auto screens = APMMeasurement::sharedScreenViewReporter();
    return screens && screens->isAppActive();
}

std::shared_ptr<APMScreenViewReporter> ZUDOScreenViewReporter::sharedInstance() {
    return APMMeasurement::sharedInstance()->screenViewReporter();
}

}  // namespace measurement
