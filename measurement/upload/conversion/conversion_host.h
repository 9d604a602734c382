#pragma once

// What on-device conversion measurement and the conversion-value exchange
// reach of the engine that owns them, and of its identity. The engine hands
// its adapters over at construction; tests hand stand-ins.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "measurement/foundation/event.h"
#include "measurement/foundation/user_attribute.h"
#include "measurement/store/database.h"
#include "measurement/store/persisted_config.h"
#include "measurement/store/remote_config.h"
#include "platform/dispatch/queue.h"
#include "platform/frameworks/utilities/network.h"

namespace measurement {

// The engine around the two components. Every call comes from the
// measurement worker queue. An adapter holds the engine weakly: once the
// engine has gone its calls do nothing (and answer "not ready").
class APMConversionHost {
public:
    virtual ~APMConversionHost() = default;
    virtual std::shared_ptr<platform::dispatch::Queue> workerQueue() const = 0;
    virtual void scheduleOnWorkerQueue(const std::string& blockID, std::function<void()> block) = 0;
    // The server configuration at the time of the call.
    virtual std::shared_ptr<APMRemoteConfig> remoteConfig() const = 0;
    virtual platform::RULNetwork& network() = 0;
    // No request of the engine is pending and no upload is on the wire.
    virtual bool isNetworkReadyForRequest() = 0;
    virtual void setIsNetworkRequestPending(bool pending) = 0;
    virtual bool shouldUseBackgroundSession() const = 0;
    virtual void updateSchedule() = 0;
    // When the engine was made (seconds since 1970).
    virtual double initTimestamp() const = 0;
    // The engine's user-property and event writes, and its entry for
    // internal events (which also tells the event listeners).
    virtual void setUserAttributeOnWorkerQueue(const APMUserAttribute& attribute) = 0;
    virtual void writeEventOnWorkerQueue(const APMEvent& event) = 0;
    virtual void handleInternalEventOnWorkerQueue(const APMEvent& event) = 0;
};

// What the two components read of the identity.
class APMConversionIdentity {
public:
    virtual ~APMConversionIdentity() = default;
    // The application's bundle identifier.
    virtual std::string appID() const = 0;
    // None while analytics storage is denied or before one was made.
    virtual std::optional<std::string> appInstanceID() const = 0;
    virtual std::int64_t libraryVersion() const = 0;
};

struct APMConversionInputs {
    std::shared_ptr<APMConversionHost> host;
    std::shared_ptr<APMConversionIdentity> identity;
    std::shared_ptr<APMPersistedConfig> persistedConfig;
    // Where the stored match value and counts are read (and expired ones
    // removed).
    std::shared_ptr<APMDatabase> database;
};

}  // namespace measurement
