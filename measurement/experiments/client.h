// The handle of one registered SDK, and what the SDK hears through it.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/experiments/sdk_property.h"
#include "measurement/foundation/measurement_error.h"
#include "measurement/foundation/messages.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/value.h"

namespace measurement {

class APMEClient;
class APMEManager;

// Implemented by a registering SDK. Every operation is optional: the
// respondsTo... answers say which ones the SDK implements.
class APMEExperimentObserverDelegate {
public:
    virtual ~APMEExperimentObserverDelegate() = default;

    // A new snapshot waits; the SDK activates it itself. On the queue() the
    // delegate names, else on the main queue.
    virtual bool respondsToClientDidReceiveNewSnapshot() const { return false; }
    virtual void clientDidReceiveNewSnapshot(const std::shared_ptr<APMEClient>& /*client*/) {}
    // A fetch failed for the SDK (client:didReceiveFetchError:); on the
    // manager's serial queue.
    virtual bool respondsToClientDidReceiveFetchError() const { return false; }
    virtual void client(const std::shared_ptr<APMEClient>& /*client*/, const APMError& /*error*/) {}
    // Whether a due fetch may go out; on the task manager's worker queue.
    virtual bool respondsToShouldFetchExperimentsForClient() const { return false; }
    virtual bool shouldFetchExperimentsForClient(const std::shared_ptr<APMEClient>& /*client*/) { return true; }
    // Where new-snapshot notifications go; none: the main queue.
    virtual std::shared_ptr<platform::dispatch::Queue> queue() const { return nullptr; }
};

// Flag lookups, activation, status and reset go to the manager under the
// client's SDK name; once the manager has gone they answer nothing. Safe
// from any thread but the manager's serial queue.
class APMEClient : public std::enable_shared_from_this<APMEClient> {
public:
    // None (logged at level 0) without a property (830000) or a flag list
    // (830001).
    static std::shared_ptr<APMEClient> initWithSDKProperty(std::shared_ptr<APMESDKProperty> property,
                                                           std::optional<std::vector<APMPBFlag>> defaultFlags,
                                                           std::weak_ptr<APMEManager> manager);

    // None for no name or an empty one (830002).
    std::optional<platform::Value> valueForFlag(const std::optional<std::string>& flagName);
    // The subscript by flag name: none for a key that is no string (830003).
    std::optional<platform::Value> objectForKeyedSubscript(const platform::Value& key);
    bool activateLatestSnapshot(APMErrorOut error);
    // The activated snapshot is older than three days.
    bool hasStaleSnapshot();
    void resetToDefaults();

    std::string SDKName() const { return property_->name(); }
    std::vector<APMPBFlag> defaultFlags() const { return defaultFlags_; }
    const std::shared_ptr<APMESDKProperty>& SDKProperty() const { return property_; }
    // Held weakly.
    std::shared_ptr<APMEExperimentObserverDelegate> delegate() const;
    void setDelegate(const std::shared_ptr<APMEExperimentObserverDelegate>& delegate);

    APMEClient(std::shared_ptr<APMESDKProperty> property, std::vector<APMPBFlag> defaultFlags,
               std::weak_ptr<APMEManager> manager);

private:
    const std::shared_ptr<APMESDKProperty> property_;
    const std::vector<APMPBFlag> defaultFlags_;
    const std::weak_ptr<APMEManager> manager_;
    mutable std::mutex mutex_;  // delegate_
    std::weak_ptr<APMEExperimentObserverDelegate> delegate_;
};

}  // namespace measurement
