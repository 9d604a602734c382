// What the manager does with the task manager's news: stored snapshots at start, fetched snapshots and errors, due fetches.
#include "measurement/experiments/experiments_codes.h"
#include "measurement/experiments/experiments_manager.h"

namespace measurement {

namespace {

using platform::Value;

void log(int level, long code, const std::string& message, const Value& context = Value()) {
    APMEMonitor::shared().logWithLevel(level, code, message, context);
}

// The stored snapshots as memory keeps them: by SDK name, with their stored
// time (which the status of an activated snapshot is measured from) and a
// clear mark.
void keepByName(std::map<std::string, APMESnapshot>& map, const std::vector<APMESnapshot>& snapshots) {
    for (const auto& snapshot : snapshots) {
        auto kept = snapshot.copy();
        kept.setTimestamp(snapshot.timestamp());
        map.insert_or_assign(kept.SDKName(), std::move(kept));
    }
}

}  // namespace

bool APMEManager::taskManagerShouldFetchExperiments(APMETaskManager& /*taskManager*/) {
    std::vector<std::shared_ptr<APMEClient>> clients;
    {
        std::lock_guard lock(mapsMutex_);
        for (const auto& [name, client] : registeredClientsBySDKName_) clients.push_back(client);
    }
    for (const auto& client : clients) {
        auto delegate = client->delegate();
        if (!delegate || !delegate->respondsToShouldFetchExperimentsForClient()) return true;
        if (delegate->shouldFetchExperimentsForClient(client)) return true;
    }
    return false;
}

void APMEManager::taskManager(APMETaskManager& /*taskManager*/, std::vector<APMESnapshot> activatedSnapshots,
                              std::vector<APMESnapshot> pendingSnapshots, std::vector<APMESnapshot> launchedSnapshots) {
    std::weak_ptr<APMEManager> weak = weak_from_this();
    dispatchAsyncOnSerialQueue([weak, activated = std::move(activatedSnapshots), pending = std::move(pendingSnapshots),
                                launched = std::move(launchedSnapshots)] {
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard lock(self->mapsMutex_);
            keepByName(self->activatedSnapshotsBySDKName_, activated);
            keepByName(self->pendingSnapshotsBySDKName_, pending);
            keepByName(self->launchedSnapshotsBySDKName_, launched);
        }
        // A snapshot fetched in an earlier run and not yet activated by its
        // SDK is announced now, or it would wait for the next fetch.
        for (const auto& snapshot : pending) {
            const auto client = self->registeredClient(snapshot.SDKName());
            const auto delegate = client ? client->delegate() : nullptr;
            if (delegate && delegate->respondsToClientDidReceiveNewSnapshot()) self->notifyNewSnapshot(snapshot.SDKName());
        }
    });
}

void APMEManager::taskManager(APMETaskManager& /*taskManager*/, std::vector<APMESnapshot> fetchedSnapshots,
                              APMEFetchErrors errors) {
    if (fetchedSnapshots.empty() && errors.empty()) {
        log(kAPMMonitorLevelWarning, kAPMENoSnapshotsToNotifyCode, "No pending snapshots to notify the clients");
        return;
    }
    std::weak_ptr<APMEManager> weak = weak_from_this();
    dispatchAsyncOnSerialQueue([weak, snapshots = std::move(fetchedSnapshots), errors = std::move(errors)] {
        auto self = weak.lock();
        if (!self) return;
        std::vector<APMESnapshot> marked;
        for (const auto& snapshot : snapshots) {
            auto copy = snapshot.copy();
            const auto client = self->registeredClient(copy.SDKName());
            const auto delegate = client ? client->delegate() : nullptr;
            if (delegate && delegate->respondsToClientDidReceiveNewSnapshot()) {
                copy.setManuallyActivated(true);
                marked.push_back(copy);
            }
            std::lock_guard lock(self->mapsMutex_);
            self->pendingSnapshotsBySDKName_.insert_or_assign(copy.SDKName(), std::move(copy));
        }
        for (const auto& [sdkName, error] : errors) {
            const auto client = self->registeredClient(sdkName);
            const auto delegate = client ? client->delegate() : nullptr;
            if (delegate && delegate->respondsToClientDidReceiveFetchError()) delegate->client(client, error);
        }
        if (!marked.empty()) self->taskManager_->upsertPendingSnapshots(std::move(marked));
    });
}

void APMEManager::taskManager(APMETaskManager& /*taskManager*/, const std::vector<APMESnapshot>& upsertedSnapshots) {
    for (const auto& snapshot : upsertedSnapshots) {
        if (!notifyNewSnapshot(snapshot.SDKName())) {
            log(kAPMELevelCritical, kAPMECannotNotifySnapshotCode,
                "Cannot notify new snapshot for SDK because the delegate does not implement -clientDidReceiveNewSnapshot:",
                Value(snapshot.SDKName()));
        }
    }
}

bool APMEManager::notifyNewSnapshot(const std::string& sdkName) {
    const auto client = registeredClient(sdkName);
    const auto delegate = client ? client->delegate() : nullptr;
    if (!delegate || !delegate->respondsToClientDidReceiveNewSnapshot()) return false;
    auto queue = delegate->queue();
    if (!queue) queue = platform::dispatch::mainQueuePointer();
    std::weak_ptr<APMEExperimentObserverDelegate> weakDelegate = delegate;
    queue->async([weakDelegate, client] {
        if (auto listener = weakDelegate.lock()) listener->clientDidReceiveNewSnapshot(client);
    });
    return true;
}

}  // namespace measurement
