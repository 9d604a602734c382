// The experiments client's slow work on its worker queue: the database, the fetch schedule and the exchange with the service.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/experiments/experiments_database.h"
#include "measurement/experiments/experiments_network.h"
#include "measurement/experiments/request_builder.h"
#include "measurement/experiments/snapshot.h"
#include "measurement/foundation/alarm.h"
#include "measurement/foundation/measurement_error.h"
#include "measurement/store/preferences_suite.h"
#include "platform/dispatch/queue.h"
#include "platform/frameworks/utilities/network.h"

namespace measurement {

class APMETaskManager;

// The per-SDK fetch errors of one response, by SDK name.
using APMEFetchErrors = std::map<std::string, APMError>;

// What the task manager tells its owner, the experiments manager. Every call
// comes on the worker queue.
class APMETaskManagerDelegate {
public:
    virtual ~APMETaskManagerDelegate() = default;
    // Asked when a fetch is due; false postpones it. A delegate that leaves
    // this alone lets every fetch go out.
    virtual bool taskManagerShouldFetchExperiments(APMETaskManager& /*taskManager*/) { return true; }
    // After the start: the stored activated, pending and launched snapshots.
    virtual void taskManager(APMETaskManager& taskManager, std::vector<APMESnapshot> activatedSnapshots,
                             std::vector<APMESnapshot> pendingSnapshots,
                             std::vector<APMESnapshot> launchedSnapshots) = 0;
    // After each successful fetch: the snapshots and per-SDK errors it
    // brought (both possibly empty).
    virtual void taskManager(APMETaskManager& taskManager, std::vector<APMESnapshot> fetchedSnapshots,
                             APMEFetchErrors errors) = 0;
    // After upsertPendingSnapshots has stored its rows.
    virtual void taskManager(APMETaskManager& taskManager, const std::vector<APMESnapshot>& upsertedSnapshots) = 0;
};

// The keys of the persisted fetch timestamps (seconds since 1970) in the
// experiments preference suite.
inline constexpr const char* kAPMEExperimentSuiteName = "APMExperimentSuiteName";
inline constexpr const char* kAPMEFetchSuccessTimestampKey = "APMExperimentFetchSuccessTimestamp";
inline constexpr const char* kAPMEFetchFailureTimestampKey = "APMExperimentFetchFailureTimestamp";
inline constexpr const char* kAPMEFetchBackoffTimestampKey = "APMExperimentFetchBackoffTimestamp";

// The rhythm of the fetches.
inline constexpr double kAPMEFetchInterval = 14400;
inline constexpr double kAPMEFirstFetchDelay = 10;
inline constexpr double kAPMERetryStep = 1800;
inline constexpr int kAPMERetrySteps = 6;
inline constexpr double kAPMEBackoffInterval = 43200;
inline constexpr double kAPMEImmediateDelay = 0.001;

class APMETaskManager : public std::enable_shared_from_this<APMETaskManager> {
public:
    // The worker queue "APMExperimentWorkerQueue", the alarm
    // "APMExperimentAlarm" on it, the network to the experiments service,
    // the experiments suite, the database file in the engine's folder, the
    // shared request builder and the current time.
    static std::shared_ptr<APMETaskManager> make();
    APMETaskManager(std::shared_ptr<platform::dispatch::Queue> workerQueue, std::unique_ptr<APMAlarm> alarm,
                    std::shared_ptr<APMEExperimentsNetwork> network, APMUserDefaults persistedStorage,
                    std::string databasePath, double initTimestamp,
                    std::shared_ptr<APMEExperimentRequestBuilder> requestBuilder);
    ~APMETaskManager();
    APMETaskManager(const APMETaskManager&) = delete;
    APMETaskManager& operator=(const APMETaskManager&) = delete;

    // Posts the start to the worker queue.
    void startTaskManager();
    // Opens the database (nothing more when it cannot be opened), hands the
    // stored snapshots over and schedules the fetch.
    void startTaskManagerOnWorkerQueue();
    // In one transaction: stale activated snapshots deleted, unmarked
    // pending ones activated; then the three tables go to the delegate.
    void fetchAllSnapshotsOnWorkerQueue();

    // The next fetch time from the last success and failure; 0 when the
    // retries after a failure are used up. The first call of the process
    // answers 10 s from now unless the success interval ends later.
    double fetchTimeFromLastSuccessfulTimestamp(double lastSuccessfulTimestamp, double lastFailedTimestamp);
    // Arms the alarm for the next fetch (keeps an armed one that is due no
    // later), pushed past a back-off.
    void scheduleFetchingExperimentsOnWorkerQueue();
    // A fetch the delegate declined counts as a success.
    void postponeFetchExperiments();
    // Posts the request to the service; the reply is handled on the worker
    // queue.
    void fetchExperiments();
    // No response: status 0. `data` is the inflated body (none when none
    // came or it could not be inflated).
    void handleFetchingExperimentsResponse(const platform::HTTPURLResponse* response,
                                           const std::optional<NANOBytes>& data,
                                           const std::optional<platform::RULError>& error);

    // The snapshots of a response: those of its snapshot list or, when that
    // is empty, those of its SDK responses (named after them). None for no
    // message.
    static std::optional<std::vector<APMESnapshot>> experimentSnapshotsFromExperimentResponse(
        const APMPBExperimentResponse* message);
    // The SDK responses' non-zero statuses as errors (-2, -3, -4 for 1, 2, 3;
    // -1 above), by SDK name. None for no message.
    static std::optional<APMEFetchErrors> errorsFromExperimentResponse(const APMPBExperimentResponse* message);
    // None for empty data (820025) or bytes that do not decode (820015).
    static std::optional<std::vector<APMESnapshot>> experimentSnapshotsFromData(const NANOBytes& data);

    // The manager's database work, each posted to the worker queue.
    void activatePendingSnapshot(const std::optional<APMESnapshot>& snapshot, double timestamp);
    void resetToDefaultsForSDKName(const std::string& sdkName);
    void upsertPendingSnapshots(std::vector<APMESnapshot> snapshots);
    // Empties the database and the timestamps, then schedules a fetch.
    void reset();
    // Deletes the database file and the timestamps and stops fetching.
    void clearAndDelete();

    // Exceptions are logged (820026) and stopped.
    void dispatchAsyncOnWorkerQueue(std::function<void()> block);
    // Exceptions are logged (820027) and passed on. Called from the worker
    // queue itself, the block runs at once.
    void dispatchSyncOnWorkerQueue(const std::function<void()>& block);

    // Told on the worker queue of every fetch that ended, once its outcome
    // is recorded: why it failed, in words, or none when it brought an
    // answer. A program that waits for a fetch learns of a failure, which
    // nothing else it watches hears of, at once.
    using FetchEndObserver = std::function<void(const std::optional<std::string>& failure)>;
    void setFetchEndObserver(FetchEndObserver observer);

    // Held weakly.
    std::shared_ptr<APMETaskManagerDelegate> delegate() const;
    void setDelegate(const std::shared_ptr<APMETaskManagerDelegate>& delegate);
    bool hasMadeInitialFetch() const;
    void setHasMadeInitialFetch(bool made);
    double initializationTimestamp() const;
    void setInitializationTimestamp(double timestamp);

    const std::shared_ptr<platform::dispatch::Queue>& workerQueue() const { return workerQueue_; }
    const std::shared_ptr<APMEExperimentRequestBuilder>& requestBuilder() const { return requestBuilder_; }
    const std::string& databasePath() const { return databasePath_; }
    // When the alarm will fire; none when it is not armed.
    std::optional<double> scheduledFetchTimestamp() const;
    // The open database, none before the start; worker queue only.
    APMEDatabase* database() const { return database_.get(); }

private:
    void alarmFired();
    // A fetch due without a network waits, as uploads do, until the network
    // returns; no request fails meanwhile. Worker queue only.
    void holdForNetwork();
    void removeFetchTimestamps();
    void recordFetchSuccess(double now);
    void logStoredSnapshotReadFailure(long code, const std::string& message, const std::optional<APMError>& error);
    void handleReply(const platform::HTTPURLResponse& response, const std::vector<std::uint8_t>& body,
                     const std::optional<platform::RULError>& error);
    void tellFetchEnded(const std::optional<std::string>& failure) const;

    std::unique_ptr<APMAlarm> alarm_;
    std::shared_ptr<APMEExperimentsNetwork> network_;
    APMUserDefaults persistedStorage_;
    std::shared_ptr<platform::dispatch::Queue> workerQueue_;
    std::unique_ptr<APMEDatabase> database_;
    std::string databasePath_;
    std::shared_ptr<APMEExperimentRequestBuilder> requestBuilder_;
    // Set by clearAndDelete, cleared by reset; worker queue only. While set,
    // the reply of a fetch already under way is dropped.
    bool cleared_ = false;
    // Whether the missing service address was logged; worker queue only.
    bool missingAddressLogged_ = false;
    // While a due fetch waits for the network; worker queue only.
    std::unique_ptr<platform::Reachability::Observation> heldForNetwork_;
    mutable std::mutex mutex_;  // the fields below
    bool hasMadeInitialFetch_ = false;
    std::weak_ptr<APMETaskManagerDelegate> delegate_;
    FetchEndObserver fetchEndObserver_;
    double initializationTimestamp_ = 0;
};

}  // namespace measurement
