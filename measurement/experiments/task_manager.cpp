// The task manager's start, its database work for the manager and its worker-queue dispatch.
#include "measurement/experiments/task_manager.h"

#include <exception>

#include "measurement/experiments/experiments_codes.h"
#include "measurement/experiments/experiments_monitor.h"
#include "measurement/foundation/scheduler.h"
#include "measurement/store/files.h"
#include "platform/dispatch/clock.h"

namespace measurement {

namespace {

using platform::Value;

void log(int level, long code, const std::string& message, const Value& context = Value(),
         const Value& context2 = Value()) {
    APMEMonitor::shared().logWithLevel(level, code, message, context, context2);
}

std::string exceptionText(const std::exception_ptr& exception) {
    try {
        std::rethrow_exception(exception);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

}  // namespace

std::shared_ptr<APMETaskManager> APMETaskManager::make() {
    auto queue = platform::dispatch::makeSerialQueue("APMExperimentWorkerQueue");
    auto alarm = std::make_unique<APMAlarm>(queue, "APMExperimentAlarm");
    return std::make_shared<APMETaskManager>(queue, std::move(alarm), APMEMakeExperimentsNetwork(),
                                             APMUserDefaults(kAPMEExperimentSuiteName),
                                             APMApplicationSupportPath(kAPMEDatabaseFileName),
                                             platform::dispatch::currentClock()->now(),
                                             APMEExperimentRequestBuilder::sharedInstance());
}

APMETaskManager::APMETaskManager(std::shared_ptr<platform::dispatch::Queue> workerQueue,
                                 std::unique_ptr<APMAlarm> alarm, std::shared_ptr<APMEExperimentsNetwork> network,
                                 APMUserDefaults persistedStorage, std::string databasePath, double initTimestamp,
                                 std::shared_ptr<APMEExperimentRequestBuilder> requestBuilder)
    : alarm_(std::move(alarm)),
      network_(std::move(network)),
      persistedStorage_(std::move(persistedStorage)),
      workerQueue_(std::move(workerQueue)),
      databasePath_(std::move(databasePath)),
      requestBuilder_(std::move(requestBuilder)),
      initializationTimestamp_(initTimestamp) {
    APMScheduler::registerBackgroundQueue(workerQueue_);
}

APMETaskManager::~APMETaskManager() {
    if (alarm_) alarm_->cancel();
}

// ---- accessors ----

std::shared_ptr<APMETaskManagerDelegate> APMETaskManager::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}
void APMETaskManager::setDelegate(const std::shared_ptr<APMETaskManagerDelegate>& delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
}
void APMETaskManager::setFetchEndObserver(FetchEndObserver observer) {
    std::lock_guard lock(mutex_);
    fetchEndObserver_ = std::move(observer);
}
void APMETaskManager::tellFetchEnded(const std::optional<std::string>& failure) const {
    FetchEndObserver observer;
    {
        std::lock_guard lock(mutex_);
        observer = fetchEndObserver_;
    }
    if (observer) observer(failure);
}
bool APMETaskManager::hasMadeInitialFetch() const {
    std::lock_guard lock(mutex_);
    return hasMadeInitialFetch_;
}
void APMETaskManager::setHasMadeInitialFetch(bool made) {
    std::lock_guard lock(mutex_);
    hasMadeInitialFetch_ = made;
}
double APMETaskManager::initializationTimestamp() const {
    std::lock_guard lock(mutex_);
    return initializationTimestamp_;
}
void APMETaskManager::setInitializationTimestamp(double timestamp) {
    std::lock_guard lock(mutex_);
    initializationTimestamp_ = timestamp;
}
std::optional<double> APMETaskManager::scheduledFetchTimestamp() const { return alarm_->scheduledTimestamp(); }

// ---- start ----

void APMETaskManager::startTaskManager() {
    std::weak_ptr<APMETaskManager> weak = weak_from_this();
    dispatchAsyncOnWorkerQueue([weak] {
        if (auto self = weak.lock()) self->startTaskManagerOnWorkerQueue();
    });
}

void APMETaskManager::startTaskManagerOnWorkerQueue() {
    APMScheduler::checkOnBackgroundThreadWithMethodName("startTaskManagerOnWorkerQueue");
    auto database = APMEDatabase::initWithPath(databasePath_);
    if (!database) return;
    database_ = std::move(database);
    fetchAllSnapshotsOnWorkerQueue();
    scheduleFetchingExperimentsOnWorkerQueue();
}

void APMETaskManager::fetchAllSnapshotsOnWorkerQueue() {
    APMScheduler::checkOnBackgroundThreadWithMethodName("fetchAllSnapshotsOnWorkerQueue");
    if (!database_) return;
    const bool started = database_->performTransaction([this] {
        std::optional<APMError> error;
        if (!database_->deleteStaleActivatedSnapshots(&error)) {
            if (error) log(kAPMMonitorLevelError, kAPMEDeleteStaleFailedCode,
                           "Cannot delete stale activated snapshots. Error", error->asContext());
            return false;
        }
        if (!database_->activatePendingSnapshotsAutomatically(&error)) {
            if (error) log(kAPMMonitorLevelError, kAPMEAutoActivateFailedCode,
                           "Cannot activate pending snapshots automatically. Error", error->asContext());
            return false;
        }
        return true;
    });
    if (!started) {
        log(kAPMMonitorLevelSilentError, kAPMEStartFailedCode, "Failed to start the task manager");
        return;
    }
    log(kAPMMonitorLevelVerbose, kAPMEStartedCode, "Successfully start the task manager");
    auto delegate = this->delegate();
    if (!delegate) return;
    std::optional<APMError> activatedError, pendingError, launchedError;
    auto activated = database_->fetchAllActivatedSnapshots(&activatedError);
    auto pending = database_->fetchAllPendingSnapshots(&pendingError);
    auto launched = database_->fetchAllLaunchedSnapshots(&launchedError);
    if (!activated) logStoredSnapshotReadFailure(kAPMEReadActivatedFailedCode, "Error in fetching all activated snapshots. Error", activatedError);
    if (!pending) logStoredSnapshotReadFailure(kAPMEReadPendingFailedCode, "Error in fetching all pending snapshots. Error", pendingError);
    if (!launched) logStoredSnapshotReadFailure(kAPMEReadLaunchedFailedCode, "Error in fetching all launched snapshots. Error", launchedError);
    delegate->taskManager(*this, activated.value_or(std::vector<APMESnapshot>{}),
                          pending.value_or(std::vector<APMESnapshot>{}), launched.value_or(std::vector<APMESnapshot>{}));
}

void APMETaskManager::logStoredSnapshotReadFailure(long code, const std::string& message,
                                                   const std::optional<APMError>& error) {
    if (error) log(kAPMMonitorLevelSilentError, code, message, error->asContext());
}

// ---- database work for the manager ----

void APMETaskManager::activatePendingSnapshot(const std::optional<APMESnapshot>& snapshot, double timestamp) {
    std::weak_ptr<APMETaskManager> weak = weak_from_this();
    dispatchAsyncOnWorkerQueue([weak, snapshot, timestamp] {
        auto self = weak.lock();
        if (!self) return;
        if (!snapshot) {
            log(kAPMELevelCritical, kAPMEActivateEmptySnapshotCode, "Cannot activate an empty snapshot");
            return;
        }
        if (!self->database_) return;
        std::optional<APMError> error;
        self->database_->performTransaction([&] { return self->database_->activateSnapshot(&*snapshot, timestamp, &error); });
        if (error) {
            log(kAPMMonitorLevelError, kAPMEActivateInDatabaseFailedCode, "Cannot activate snapshot for SDK Name. Error",
                Value(snapshot->SDKName()), error->asContext());
        }
    });
}

void APMETaskManager::resetToDefaultsForSDKName(const std::string& sdkName) {
    std::weak_ptr<APMETaskManager> weak = weak_from_this();
    dispatchAsyncOnWorkerQueue([weak, sdkName] {
        auto self = weak.lock();
        if (!self) return;
        if (sdkName.empty()) {
            log(kAPMMonitorLevelError, kAPMEResetEmptyNameInDatabaseCode, "Cannot reset to defaults for empty SDK name");
            return;
        }
        std::optional<APMError> error;
        if (self->database_ && !self->database_->deleteActivatedExperimentsOfSDKName(sdkName, &error) && error) {
            log(kAPMMonitorLevelError, kAPMEResetInDatabaseFailedCode,
                "Cannot reset to defaults in the database. SDK Name, error", Value(sdkName), error->asContext());
        }
    });
}

void APMETaskManager::upsertPendingSnapshots(std::vector<APMESnapshot> snapshots) {
    std::weak_ptr<APMETaskManager> weak = weak_from_this();
    dispatchAsyncOnWorkerQueue([weak, snapshots = std::move(snapshots)] {
        auto self = weak.lock();
        if (!self) return;
        if (snapshots.empty()) {
            log(kAPMMonitorLevelSilentError, kAPMEUpsertEmptyListCode, "Cannot upsert empty pending snapshot list");
            return;
        }
        std::optional<APMError> error;
        if (!self->database_ || !self->database_->upsertPendingExperimentSnapshots(snapshots, &error)) {
            log(kAPMMonitorLevelError, kAPMEUpsertInDatabaseFailedCode,
                "Cannot upsert pending snapshots into the database. Error", errorContext(error));
            return;
        }
        if (auto delegate = self->delegate()) delegate->taskManager(*self, snapshots);
    });
}

void APMETaskManager::removeFetchTimestamps() {
    persistedStorage_.removeObjectForKey(kAPMEFetchBackoffTimestampKey);
    persistedStorage_.removeObjectForKey(kAPMEFetchFailureTimestampKey);
    persistedStorage_.removeObjectForKey(kAPMEFetchSuccessTimestampKey);
}

void APMETaskManager::reset() {
    std::weak_ptr<APMETaskManager> weak = weak_from_this();
    dispatchAsyncOnWorkerQueue([weak] {
        auto self = weak.lock();
        if (!self) return;
        if (self->database_) {
            self->database_->reset();
        } else {
            // The start could not open the file: a new one is made in its
            // place.
            APMSqliteStore::deleteDatabaseAtPath(self->databasePath_);
            self->database_ = APMEDatabase::initWithPath(self->databasePath_);
        }
        self->removeFetchTimestamps();
        self->cleared_ = false;
        self->scheduleFetchingExperimentsOnWorkerQueue();
    });
}

void APMETaskManager::clearAndDelete() {
    std::weak_ptr<APMETaskManager> weak = weak_from_this();
    dispatchAsyncOnWorkerQueue([weak] {
        auto self = weak.lock();
        if (!self) return;
        if (self->database_) {
            self->database_->closeAndDelete();
        } else {
            APMSqliteStore::deleteDatabaseAtPath(self->databasePath_);
        }
        self->removeFetchTimestamps();
        // An armed fetch, or the reply of one under way, would bring
        // snapshots back into memory after the deletion and keep fetching:
        // the client stays quiet until the next start or a reset.
        self->alarm_->cancel();
        self->heldForNetwork_.reset();
        self->cleared_ = true;
    });
}

// ---- dispatch ----

void APMETaskManager::dispatchAsyncOnWorkerQueue(std::function<void()> block) {
    workerQueue_->async([block = std::move(block)] {
        try {
            if (block) block();
        } catch (...) {
            log(kAPMMonitorLevelError, kAPMEWorkerAsyncExceptionCode, "Exception on async worker queue",
                Value(exceptionText(std::current_exception())));
        }
    });
}

void APMETaskManager::dispatchSyncOnWorkerQueue(const std::function<void()>& block) {
    std::exception_ptr thrown;
    auto run = [&] {
        try {
            if (block) block();
        } catch (...) {
            thrown = std::current_exception();
            log(kAPMMonitorLevelError, kAPMEWorkerSyncExceptionCode, "Exception on sync worker queue",
                Value(exceptionText(thrown)));
        }
    };
    if (workerQueue_->isCurrent()) {
        run();
    } else {
        workerQueue_->sync(run);
    }
    if (thrown) std::rethrow_exception(thrown);
}

}  // namespace measurement
