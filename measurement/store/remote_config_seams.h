#pragma once

// What the server configuration calls on event editing and experiments.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/edit_event.h"
#include "measurement/foundation/measurement_error.h"
#include "measurement/foundation/messages.h"
#include "platform/foundation/value.h"

// What the server configuration calls on the script runtime's event-editing
// host and on the experiments client. Both are reached through these small
// interfaces, which the engine gives the configuration when it makes it; a
// configuration made without them loads no program and has no experiments.

namespace measurement {

// What a loaded program may read of the engine, for the host's module
// creators: "internal.remoteConfig" answers `remoteConfigValue` through its
// getValue (none: the script's default), "internal.appMetadata" yields
// `appMetadata`. The host also registers "internal.logger" over its own log
// sink.
struct APMEventEditingModules {
    // The configuration's cached setting of that name, as text.
    std::function<std::optional<std::string>(const std::string& key)> remoteConfigValue;
    // "platform", "package_name", "ruz_version" and, when known,
    // "app_version".
    std::function<platform::Value::Dictionary()> appMetadata;
};

// What an event-editing program made of one event.
struct APMEventEditingResult {
    // The edited event, when hasEdits.
    APMPEvent outputEvent;
    bool hasEdits = false;
    bool hasCreatedEvents = false;
    std::vector<APMPEvent> eventsToLog;
};

// The event-editing host built from one configuration; the engine core
// reaches the script runtime's host behind it for every event it writes,
// on its worker queue only.
class APMEventEditingHost {
public:
    virtual ~APMEventEditingHost() = default;
    // None and the error when the program failed.
    virtual std::optional<APMEventEditingResult> handleEvent(const APMPEvent& event, APMErrorOut error) = 0;
};

// Makes the event-editing host of a configuration: a new host with the
// module creators registered, into which the program is loaded.
class APMEventEditingFactory {
public:
    virtual ~APMEventEditingFactory() = default;
    // The loaded host; none with the error when the program does not load.
    virtual std::shared_ptr<APMEventEditingHost> makeEventEditingWithProgram(const APMPBProgram& program,
                                                                             const APMEventEditingModules& modules,
                                                                             APMErrorOut error) = 0;
};

// What the experiments client tells the SDK that registered (the server
// configuration): a new snapshot waits, a fetch failed, may it fetch.
class APMExperimentsClientDelegate {
public:
    virtual ~APMExperimentsClientDelegate() = default;
    virtual void clientDidReceiveNewSnapshot() = 0;
    virtual void clientDidReceiveFetchError(const APMError& error) = 0;
    virtual bool shouldFetchExperimentsForClient() = 0;
};

// The handle of one registered SDK.
class APMExperimentsClient {
public:
    virtual ~APMExperimentsClient() = default;
    // Activates the pending snapshot; false (with the error when there is
    // one) when nothing was activated.
    virtual bool activateLatestSnapshot(APMErrorOut error) = 0;
    // The flag's value (a number or a string); none when it has none.
    virtual std::optional<platform::Value> objectForKeyedSubscript(const std::string& flagName) = 0;
};

// The experiments manager as the server configuration uses it.
class APMExperimentsManagerInterface {
public:
    virtual ~APMExperimentsManagerInterface() = default;
    // Registers the SDK with no default flags and the delegate (held
    // weakly); none when it cannot be registered.
    virtual std::shared_ptr<APMExperimentsClient> registerSDKProperty(
        const std::string& sdkName, std::int64_t sdkVersion, std::weak_ptr<APMExperimentsClientDelegate> delegate) = 0;
    // The experiment IDs of the activated snapshots, ascending.
    virtual std::vector<std::int64_t> experimentIDs() = 0;
    virtual void reset() = 0;
};

}  // namespace measurement
