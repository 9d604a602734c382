// The engine's conditional user properties: set, clear and query requests from any thread, carried out on the worker queue, and the trigger, time-out and expiry of stored properties as events are written.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/event.h"
#include "measurement/store/conditional_user_property.h"
#include "measurement/store/database.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/value.h"

namespace measurement {

// Monitor codes of conditional user properties.
enum : long {
    kAPMCUPNilEventCode = 10000,
    kAPMCUPTimedOutFetchFailedCode = 10001,
    kAPMCUPTimedOutCode = 10002,
    kAPMCUPTimedOutDeleteFailedCode = 10003,
    kAPMCUPExpiredFetchFailedCode = 10004,
    kAPMCUPExpiredCode = 10005,
    kAPMCUPExpiredUserPropertyDeleteFailedCode = 10006,
    kAPMCUPExpiredDeleteFailedCode = 10007,
    kAPMCUPTriggeringFetchFailedCode = 10008,
    kAPMCUPTriggeredUserPropertyFailedCode = 10009,
    kAPMCUPTriggeredUserPropertyUpdatedCode = 10010,
    kAPMCUPTriggeredStoreFailedCode = 10011,
    kAPMCUPInvalidTriggerTimeoutCode = 11000,
    kAPMCUPInvalidTimeToLiveCode = 11001,
    kAPMCUPSetNilCode = 11002,
    kAPMCUPQueryPrefixNotStringCode = 11003,
    kAPMCUPQueryOriginNotStringCode = 11004,
    kAPMCUPQueryDisabledCode = 11005,
    kAPMCUPQueryFailedCode = 11006,
    kAPMCUPSetDisabledCode = 11007,
    kAPMCUPSetNilOnWorkerQueueCode = 11008,
    kAPMCUPSetLookupFailedCode = 11009,
    kAPMCUPDifferentOriginCode = 11010,
    kAPMCUPSetUserPropertyFailedCode = 11011,
    kAPMCUPSetUserPropertyUpdatedCode = 11012,
    kAPMCUPStoredCode = 11013,
    kAPMCUPStoreFailedCode = 11014,
    kAPMCUPRemoveDisabledCode = 11015,
    kAPMCUPRemoveNilCode = 11016,
    kAPMCUPRemoveLookupFailedCode = 11017,
    kAPMCUPRemoveNonexistentCode = 11018,
    kAPMCUPRemoveDeleteFailedCode = 11019,
    kAPMCUPRemoveUserPropertyFailedCode = 11020,
    // The validators' own refusals (origin, name, value).
    kAPMCUPInvalidOriginCode = 13007,
    kAPMCUPInvalidNameCode = 13008,
    kAPMCUPInvalidValueCode = 13009,
};

// The bounds of a trigger timeout and of a time to live (180 days).
inline constexpr double kAPMCUPMinInterval = 0.001;
inline constexpr double kAPMCUPMaxInterval = 15552000;

// What the controller needs of the engine that owns it. The database, the
// enabled flag and the writes are used on the worker queue only.
class APMConditionalUserPropertyHost {
public:
    virtual ~APMConditionalUserPropertyHost() = default;
    // From any thread; nothing runs once the engine has gone.
    virtual void scheduleOnWorkerQueue(const std::string& blockID, std::function<void()> block) = 0;
    virtual bool isOnWorkerQueue() const = 0;
    // None before the engine has opened its database.
    virtual APMDatabase* database() = 0;
    virtual bool isAnalyticsEnabled() const = 0;
    // The full write path, which processes conditional user properties for
    // the event in turn.
    virtual void writeEventOnWorkerQueue(const APMEvent& event) = 0;
    // The write without that processing.
    virtual void writeFilteredEventOnWorkerQueue(const APMEvent& event) = 0;
};

// Set, remove and event processing each run in one database transaction on
// the worker queue, so they never interleave; a transaction that rolls back
// leaves the table and the user properties as they were and writes no
// event. Events a property causes carry its origin and are written after
// their transaction has committed.
class APMConditionalUserPropertyController : public std::enable_shared_from_this<APMConditionalUserPropertyController> {
public:
    static constexpr double kQueryTimeoutSeconds = 30;

    explicit APMConditionalUserPropertyController(std::shared_ptr<APMConditionalUserPropertyHost> host);

    // ---- any thread ----

    // A copy named `name` and stamped with the current time goes to the
    // worker queue when it passes validation: with a value it is set,
    // without one the stored property of that name is removed. Whatever
    // the request says of `active` and the triggered time is dropped: only
    // a trigger (or the absence of a trigger event) activates a property.
    void setConditionalUserProperty(const std::optional<APMConditionalUserProperty>& property, const std::string& name);
    // Removes the named property; the clear event, when given, is written
    // as its expired event.
    void clearConditionalUserPropertyWithClearEvent(const std::optional<APMEvent>& clearEvent, const std::string& name);
    // The stored properties whose name begins with the prefix (a string or
    // null for all), of the origin when it is a string (null for any).
    // Waits up to 30 s for the worker queue; on the worker queue itself it
    // runs at once. None on failure or when the wait ran out.
    std::optional<std::vector<APMConditionalUserProperty>> conditionalUserPropertiesWithNamePrefix(
        const platform::Value& prefix, const platform::Value& origin);

    // ---- worker queue ----

    void setConditionalUserPropertyOnWorkerQueue(const std::optional<APMConditionalUserProperty>& property);
    void removeConditionalUserPropertyOnWorkerQueue(const std::optional<APMConditionalUserProperty>& property);
    // Times out and expires stored properties (their events are written
    // here, ahead of the event) and activates those waiting for the event's
    // name; answers the triggered events for the caller to write after the
    // event. None when the event could not be processed.
    std::optional<std::vector<APMEvent>> processEventOnWorkerQueue(const std::optional<APMEvent>& event);
    // Inside the caller's transaction: false asks it to roll back.
    bool removeTimedOutCUPWithTimedOutEvents(std::vector<APMEvent>* events);
    bool removeExpiredCUPWithExpiredEvents(std::vector<APMEvent>* events);
    std::optional<std::vector<APMEvent>> updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
        const std::string& eventName);

    // Origin, name, value (when present), trigger timeout and time to live;
    // each refusal logged.
    static bool validateConditionalUserProperty(const APMConditionalUserProperty& property);

private:
    bool setInTransaction(APMDatabase& database, APMConditionalUserProperty property,
                          std::optional<APMEvent>* triggeredEvent);
    bool removeInTransaction(APMDatabase& database, const APMConditionalUserProperty& request,
                             std::optional<APMEvent>* expiredEvent);
    std::optional<std::vector<APMConditionalUserProperty>> queryOnWorkerQueue(
        const std::optional<std::string>& prefix, const std::optional<std::string>& origin);
    std::optional<std::vector<APMEvent>> triggerWaiting(APMDatabase& database, const std::string& eventName);

    std::shared_ptr<APMConditionalUserPropertyHost> host_;
    // Where the end of a query's wait is called.
    std::shared_ptr<platform::dispatch::Queue> queryTimeoutQueue_;
};

}  // namespace measurement
