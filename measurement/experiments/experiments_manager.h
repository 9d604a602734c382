// The experiments manager: the registered SDKs, their snapshots in memory, flag values, activation and the experiment IDs of the bundles.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/experiments/client.h"
#include "measurement/experiments/experiments_monitor.h"
#include "measurement/experiments/snapshot.h"
#include "measurement/experiments/task_manager.h"
#include "measurement/store/remote_config_seams.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/value.h"

namespace measurement {

// activatedSnapshotStatusOfSDKName.
enum : int {
    kAPMESnapshotStatusFresh = 0,
    kAPMESnapshotStatusStale = 1,
    kAPMESnapshotStatusNoClient = -1,
    kAPMESnapshotStatusNoSnapshot = -2,
};

// One shared instance for the process. The snapshot and registration maps
// are written on the serial queue "APMEExperimentSerialQueue" and may be
// read from any thread. The synchronous operations run on that queue too;
// called from a block of that queue, they run at once.
//
// As the server configuration's experiments manager it registers that SDK
// with no default flags and tells it of new snapshots, failed fetches and
// due fetches through the delegate it gives.
class APMEManager : public APMExperimentsManagerInterface,
                    public APMETaskManagerDelegate,
                    public std::enable_shared_from_this<APMEManager> {
public:
    // Made once; its task manager starts at once.
    static std::shared_ptr<APMEManager> sharedInstance();
    // Waits for the shared manager's queues and lets it go, as the engine
    // shuts down; a later sharedInstance() starts a new one.
    static void shutdownSharedInstance();
    static APMEMonitor& monitor() { return APMEMonitor::shared(); }
    // The library version number, 10000.
    static std::int64_t version();

    // A manager over a task manager of the default kind (not started).
    static std::shared_ptr<APMEManager> make();
    // The manager becomes the task manager's delegate.
    static std::shared_ptr<APMEManager> initWithTaskManager(std::shared_ptr<APMETaskManager> taskManager);
    ~APMEManager() override;
    APMEManager(const APMEManager&) = delete;
    APMEManager& operator=(const APMEManager&) = delete;

    // The client of a new registration, at once; the registration itself is
    // queued. None for no property (800000), an empty name (800001), a
    // default that is neither a number nor a string (800002) or a client
    // that cannot be made (800004).
    std::shared_ptr<APMEClient> registerSDKProperty(const std::shared_ptr<APMESDKProperty>& property,
                                                    const platform::Value::Dictionary& defaultFlags);
    // None for a name that is no string (800006), an empty one (800007) or
    // one nobody registered.
    std::shared_ptr<APMEClient> clientForSDKName(const platform::Value& sdkName);
    // The IDs of the activated experiments of the SDKs without a diversion
    // key of their own, ascending (duplicates kept).
    std::vector<std::int64_t> experimentIDs() override;
    // The flag's value in the activated snapshot, else in the launched one,
    // else the SDK's default; none when none has it.
    std::optional<platform::Value> flagValueForFlagName(const platform::Value& flagName,
                                                        const platform::Value& sdkName);
    // Puts the SDK's pending snapshot in force (its experiment 0 as the
    // launched snapshot) and records that in the database. False without a
    // name (error code 1) or without a pending snapshot (no error).
    bool activateSnapshotOfSDK(const std::optional<std::string>& sdkName, APMErrorOut error);
    // kAPMESnapshotStatus...
    int activatedSnapshotStatusOfSDKName(const std::string& sdkName);
    // Drops the SDK's activated snapshot, in memory and in the database.
    void resetToDefaultsOfSDKName(const std::string& sdkName);
    // Queued: the database emptied and the fetch started again / the
    // database deleted; then every snapshot dropped from memory.
    void reset() override;
    void clearAndDelete();

    // Exceptions are logged (800017, 800018) and stopped.
    void dispatchAsyncOnSerialQueue(std::function<void()> block);
    void dispatchSyncOnSerialQueue(const std::function<void()>& block);

    // Returns once the task manager's start has handed the stored snapshots
    // over (or has found it cannot), so that an SDK registering next can
    // activate what an earlier run fetched.
    void waitUntilStarted();
    // Where SDKs without a diversion key of their own get one.
    void setIdentityDiversionKeyProvider(std::function<std::optional<std::string>()> provider);
    const std::shared_ptr<APMETaskManager>& taskManager() const { return taskManager_; }

    // The server configuration's registration: the SDK with its version and
    // no default flags; its delegate is told of new snapshots (on the main
    // queue) and failed fetches and decides on due fetches.
    std::shared_ptr<APMExperimentsClient> registerSDKProperty(
        const std::string& sdkName, std::int64_t sdkVersion,
        std::weak_ptr<APMExperimentsClientDelegate> delegate) override;

    // Task-manager delegate.
    bool taskManagerShouldFetchExperiments(APMETaskManager& taskManager) override;
    void taskManager(APMETaskManager& taskManager, std::vector<APMESnapshot> activatedSnapshots,
                     std::vector<APMESnapshot> pendingSnapshots, std::vector<APMESnapshot> launchedSnapshots) override;
    void taskManager(APMETaskManager& taskManager, std::vector<APMESnapshot> fetchedSnapshots,
                     APMEFetchErrors errors) override;
    void taskManager(APMETaskManager& taskManager, const std::vector<APMESnapshot>& upsertedSnapshots) override;

private:
    struct Token {};

public:
    APMEManager(Token, std::shared_ptr<APMETaskManager> taskManager);

private:
    using SnapshotMap = std::map<std::string, APMESnapshot>;

    std::optional<platform::Value> flagValueOnSerialQueue(const std::string& flagName, const std::string& sdkName);
    bool activateOnSerialQueue(const std::string& sdkName);
    // Tells the SDK's delegate of its new snapshot on the delegate's queue;
    // false when the delegate does not listen.
    bool notifyNewSnapshot(const std::string& sdkName);
    std::shared_ptr<APMEClient> registeredClient(const std::string& sdkName) const;
    void forgetSnapshots();

    std::shared_ptr<APMETaskManager> taskManager_;
    std::shared_ptr<platform::dispatch::Queue> queue_;
    mutable std::mutex mapsMutex_;  // the five maps
    SnapshotMap activatedSnapshotsBySDKName_;
    SnapshotMap pendingSnapshotsBySDKName_;
    SnapshotMap launchedSnapshotsBySDKName_;
    std::map<std::string, std::shared_ptr<APMEClient>> registeredClientsBySDKName_;
    std::map<std::string, std::map<std::string, APMPBFlag>> defaultFlagsBySDKName_;
};

}  // namespace measurement
