#pragma once

// The internal facade between the public interface and the engine.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/audience/screen_view_reporter.h"
#include "measurement/foundation/event.h"
#include "measurement/upload/consent/consent_settings_util.h"
#include "measurement/upload/consent/tcf_client.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/value.h"
#include "platform/frameworks/payment_queue/payment_queue.h"

namespace measurement {

// Keys of the persisted consent settings (in the engine's preference
// suite); the sources are the consent state's.
inline constexpr const char* kAPMAnalyticsSuiteName = "APMAnalyticsSuiteName";
inline constexpr const char* kAPMConsentSourceKey = "consent_source";
inline constexpr const char* kAPMConsentSettingsKey = "consent_settings";
inline constexpr const char* kAPMConsentSettings3PKey = "consent_settings_3p";
inline constexpr const char* kAPMConsentSettingsOnStartKey = "consent_settings_on_start";
inline constexpr const char* kAPMDeferredConsentResetKey = "deferred_consent_reset";

// The facade between the public interface and the engine. Events are
// stamped one at a time in the caller's thread (the timestamp queue's
// order, kept by a lock), pass the
// single-operation queue — held until the engine has started, so nothing
// logged before is lost — and the serial analytics queue, and reach the
// engine's worker queue in the order they were logged. Every operation may
// be called from any thread unless it says otherwise.
class APMAnalytics {
public:
    using Parameters = platform::Value::Dictionary;

    // The queues, made on first use through platform::dispatch.
    static std::shared_ptr<platform::dispatch::Queue> timestampQueue();
    static std::shared_ptr<platform::dispatch::Queue> operationQueue();
    static std::shared_ptr<platform::dispatch::Queue> serialQueue();
    // The wall time; stamps are taken one at a time, without a hop.
    static double currentTimestamp();
    // Lets the held operations go on; the engine calls it once started.
    static void startOperationQueue();
    static bool isOperationQueueStarted();
    // Runs the block on the engine's worker queue after every operation
    // queued before it (held, like them, until the engine has started), once
    // the events they wrote are committed.
    static void performAfterQueuedOperations(const std::string& blockID, std::function<void()> block);

    // Events.
    static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                           const Parameters& parameters);
    static void logInternalEventWithOrigin(const std::string& origin, const std::string& name, double timestamp,
                                           const Parameters& parameters);
    static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                   const Parameters& parameters);

    // Screens. setScreenName only from the main thread.
    static void setScreenName(const std::optional<std::string>& screenName,
                              const std::optional<std::string>& screenClass);

    // User properties: no value removes the property.
    static void setInternalUserProperty(const std::optional<platform::Value>& value, const std::string& name,
                                        const std::string& origin);

    static void setSessionTimeoutInterval(double seconds);
    static void setAnalyticsCollectionEnabled(bool enabled);

    // Consent.
    static void setConsent(const Parameters& consent, const std::string& key);
    static void setConsent(const Parameters& consent) { setConsent(consent, kAPMConsentSettingsKey); }
    static void loadPersistedConsentSettings();
    // Stores the settings under the source's key. With `changedTypes`, only
    // those types changed: another process's change to the others, written
    // meanwhile, stays.
    static void persistConsentSettings(const Parameters& settings, int source,
                                       const std::vector<std::string>& changedTypes = {});
    static void clearConsent();
    // The TCF values no longer apply: the consent they wrote stops holding
    // the state, which goes back to nothing loaded.
    static void clearTCFConsent();

    // On-device conversion user data.
    static void setUserDataOnSerialQueue(const Parameters& userData);

    // Links.
    static void handleOpenURL(const std::string& url);
    static void handleUserActivity(const Parameters& userActivity);

    // Purchases.
    // The payment queue's observer (registered at engine start): the
    // purchased transactions that are not duplicates go to the purchase
    // reporter, while collection is on.
    static void paymentQueueUpdatedTransactions(const std::vector<platform::PaymentTransaction>& transactions);
    // A newer transaction record, reported by the purchase reporter.
    static void logTransaction(const platform::StoreTransaction& transaction);

    // Listeners of every event the engine handles (called on the worker
    // queue).
    using EventListener = std::function<void(const APMEvent& event)>;
    static std::uint64_t addEventListener(EventListener listener);
    static void removeEventListener(std::uint64_t identifier);
    static void notifyEventListeners(const APMEvent& event);
    // Listeners of every event write (called on the worker queue): the
    // event, and why it was not stored, none when it was
    // (kAPMEventNotWrittenDisabledReason when analytics is disabled).
    using EventWriteListener = std::function<void(const APMEvent& event, const std::optional<std::string>& failure)>;
    static std::uint64_t addEventWriteListener(EventWriteListener listener);
    static void removeEventWriteListener(std::uint64_t identifier);
    static void notifyEventWriteListeners(const APMEvent& event, const std::optional<std::string>& failure);

private:
    static void logEvent(const std::string& origin, bool isPublicEvent, const std::string& name,
                         std::optional<double> timestamp, const Parameters& parameters);
    static void enqueue(std::function<void()> operation);
};

// Whether the application is active, as the screen-view reporter sees it;
// false without an engine.
bool APMIsAppActive();

// The engine's screen-view reporter, for other components.
class ZUDOScreenViewReporter {
public:
    static std::shared_ptr<APMScreenViewReporter> sharedInstance();
};

}  // namespace measurement
