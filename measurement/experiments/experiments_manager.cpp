// The manager's own operations: registration, flag lookup, activation, status, experiment IDs and resets.
#include "measurement/experiments/experiments_manager.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include "measurement/experiments/experiments_codes.h"
#include "measurement/experiments/flag_values.h"
#include "measurement/experiments/library_version.h"
#include "measurement/foundation/scheduler.h"
#include "platform/dispatch/clock.h"

namespace measurement {

namespace {

using platform::Value;

std::mutex gSharedMutex;
std::shared_ptr<APMEManager> gShared;

void log(int level, long code, const std::string& message, const Value& context = Value(),
         const Value& context2 = Value(), const Value& context3 = Value()) {
    APMEMonitor::shared().logWithLevel(level, code, message, context, context2, context3);
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

// Runs the block, logging what it throws instead of passing it on.
void runGuarded(const std::function<void()>& block, long code, const char* message) {
    try {
        if (block) block();
    } catch (...) {
        log(kAPMMonitorLevelError, code, message, Value(exceptionText(std::current_exception())));
    }
}

}  // namespace

// ---- making ----

std::shared_ptr<APMEManager> APMEManager::sharedInstance() {
    std::lock_guard lock(gSharedMutex);
    if (!gShared) {
        gShared = make();
        gShared->taskManager_->startTaskManager();
    }
    return gShared;
}

void APMEManager::shutdownSharedInstance() {
    std::shared_ptr<APMEManager> manager;
    {
        std::lock_guard lock(gSharedMutex);
        manager.swap(gShared);
    }
    if (!manager) return;
    // What the start and a fetch left on the two queues runs first.
    manager->taskManager_->dispatchSyncOnWorkerQueue([] {});
    manager->dispatchSyncOnSerialQueue([] {});
    manager->taskManager_->dispatchSyncOnWorkerQueue([] {});
}

std::int64_t APMEManager::version() { return APMELibraryVersion(); }

std::shared_ptr<APMEManager> APMEManager::make() { return initWithTaskManager(APMETaskManager::make()); }

std::shared_ptr<APMEManager> APMEManager::initWithTaskManager(std::shared_ptr<APMETaskManager> taskManager) {
    auto manager = std::make_shared<APMEManager>(Token{}, std::move(taskManager));
    if (manager->taskManager_) manager->taskManager_->setDelegate(manager);
    return manager;
}

APMEManager::APMEManager(Token, std::shared_ptr<APMETaskManager> taskManager)
    : taskManager_(std::move(taskManager)), queue_(platform::dispatch::makeSerialQueue("APMEExperimentSerialQueue")) {
    APMScheduler::registerBackgroundQueue(queue_);
}

APMEManager::~APMEManager() = default;

void APMEManager::setIdentityDiversionKeyProvider(std::function<std::optional<std::string>()> provider) {
    taskManager_->requestBuilder()->setIdentityDiversionKeyProvider(std::move(provider));
}

void APMEManager::waitUntilStarted() {
    // The start runs first on the worker queue and hands over through the
    // serial queue.
    taskManager_->dispatchSyncOnWorkerQueue([] {});
    dispatchSyncOnSerialQueue([] {});
}

// ---- dispatch ----

void APMEManager::dispatchAsyncOnSerialQueue(std::function<void()> block) {
    queue_->async([block = std::move(block)] {
        runGuarded(block, kAPMESerialAsyncExceptionCode, "Exception on async Experimentation serial queue");
    });
}

void APMEManager::dispatchSyncOnSerialQueue(const std::function<void()>& block) {
    auto run = [&] { runGuarded(block, kAPMESerialSyncExceptionCode, "Exception on sync Experimentation serial queue"); };
    // A call made from the queue itself would wait for itself for ever.
    if (queue_->isCurrent()) {
        run();
    } else {
        queue_->sync(run);
    }
}

std::shared_ptr<APMEClient> APMEManager::registeredClient(const std::string& sdkName) const {
    std::lock_guard lock(mapsMutex_);
    const auto found = registeredClientsBySDKName_.find(sdkName);
    return found == registeredClientsBySDKName_.end() ? nullptr : found->second;
}

// ---- registration ----

std::shared_ptr<APMEClient> APMEManager::registerSDKProperty(const std::shared_ptr<APMESDKProperty>& property,
                                                            const Value::Dictionary& defaultFlags) {
    if (!property) {
        log(kAPMELevelCritical, kAPMERegisterNilPropertyCode, "Cannot register client with a nil SDK property");
        return nullptr;
    }
    const std::string sdkName = property->name();
    if (sdkName.empty()) {
        log(kAPMELevelCritical, kAPMERegisterNoSDKNameCode, "Cannot register experiment client with no SDK name");
        return nullptr;
    }
    std::map<std::string, APMPBFlag> flagsByName;
    std::vector<APMPBFlag> flags;
    for (const auto& [name, value] : defaultFlags) {
        auto flag = flagMessageWithNameValue(Value(name), value);
        if (!flag) {
            log(kAPMELevelCritical, kAPMERegisterInvalidFlagCode,
                "Cannot register experiment client invalid flags. Flag name, value", Value(name), value);
            return nullptr;
        }
        flagsByName.emplace(name, *flag);
        flags.push_back(std::move(*flag));
    }
    auto client = APMEClient::initWithSDKProperty(property, std::move(flags), weak_from_this());
    if (!client) {
        log(kAPMMonitorLevelError, kAPMERegisterClientFailedCode, "Cannot register client. SDK name", Value(sdkName));
        return nullptr;
    }
    std::weak_ptr<APMEManager> weak = weak_from_this();
    dispatchAsyncOnSerialQueue([weak, client, property, sdkName, flagsByName = std::move(flagsByName)] {
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard lock(self->mapsMutex_);
            if (self->registeredClientsBySDKName_.count(sdkName)) {
                log(kAPMMonitorLevelWarning, kAPMERegisterAgainCode,
                    "Registered an SDK that has already registered. Default flags will be overwritten. SDK name",
                    Value(sdkName));
            }
            self->registeredClientsBySDKName_.insert_or_assign(sdkName, client);
            self->defaultFlagsBySDKName_.insert_or_assign(sdkName, flagsByName);
        }
        self->taskManager_->requestBuilder()->addSDKProperty(property);
        log(kAPMMonitorLevelVerbose, kAPMERegisteredClientCode, "Registered client", Value(sdkName));
    });
    return client;
}

std::shared_ptr<APMEClient> APMEManager::clientForSDKName(const Value& sdkName) {
    if (!sdkName.isString()) {
        log(kAPMELevelCritical, kAPMEClientInvalidSDKNameCode, "Cannot find the client for invalid SDK name", sdkName);
        return nullptr;
    }
    if (sdkName.asString().empty()) {
        log(kAPMELevelCritical, kAPMEClientEmptySDKNameCode, "Cannot find the client for empty SDK Name");
        return nullptr;
    }
    std::shared_ptr<APMEClient> client;
    dispatchSyncOnSerialQueue([&] { client = registeredClient(sdkName.asString()); });
    return client;
}

// ---- flags ----

std::optional<Value> APMEManager::flagValueForFlagName(const Value& flagName, const Value& sdkName) {
    if (!sdkName.isString()) {
        log(kAPMELevelCritical, kAPMEFlagInvalidSDKNameCode, "Cannot get flag value for an invalid SDK name", sdkName);
        return std::nullopt;
    }
    if (!flagName.isString()) {
        log(kAPMELevelCritical, kAPMEFlagInvalidFlagNameCode,
            "Cannot get flag value for invalid flag name. SDK name, flag name", sdkName, flagName);
        return std::nullopt;
    }
    if (sdkName.asString().empty()) {
        log(kAPMELevelCritical, kAPMEFlagEmptySDKNameCode, "Cannot retrieve flag value for empty SDK name");
        return std::nullopt;
    }
    if (flagName.asString().empty()) {
        log(kAPMELevelCritical, kAPMEFlagEmptyFlagNameCode, "Cannot retrieve flag value for empty flag name");
        return std::nullopt;
    }
    std::optional<Value> value;
    dispatchSyncOnSerialQueue([&] { value = flagValueOnSerialQueue(flagName.asString(), sdkName.asString()); });
    return value;
}

std::optional<Value> APMEManager::flagValueOnSerialQueue(const std::string& flagName, const std::string& sdkName) {
    std::lock_guard lock(mapsMutex_);
    const Value sdk(sdkName), flag(flagName);
    if (!registeredClientsBySDKName_.count(sdkName)) {
        log(kAPMMonitorLevelWarning, kAPMEFlagUnregisteredSDKCode, "SDK is not registered yet", sdk);
        return std::nullopt;
    }
    const auto defaults = defaultFlagsBySDKName_.find(sdkName);
    if (defaults == defaultFlagsBySDKName_.end()) {
        log(kAPMMonitorLevelWarning, kAPMEFlagNoDefaultsCode,
            "Cannot get flag for unregistered SDK. SDK name, flag name", sdk, flag);
        return std::nullopt;
    }
    // Activated, then launched: a flag there without a value counts as
    // absent.
    const auto activated = activatedSnapshotsBySDKName_.find(sdkName);
    const APMESnapshot* activatedSnapshot = activated == activatedSnapshotsBySDKName_.end() ? nullptr : &activated->second;
    log(kAPMMonitorLevelVerbose, kAPMEFlagLookingActivatedCode,
        "Looking for activated flag. SDK name, flag name, activated snapshot", sdk, flag,
        APMESnapshotContext(activatedSnapshot));
    if (activatedSnapshot) {
        if (auto value = flagValueFromMessage(activatedSnapshot->flagByName(flagName))) return value;
    }
    const auto launched = launchedSnapshotsBySDKName_.find(sdkName);
    const APMESnapshot* launchedSnapshot = launched == launchedSnapshotsBySDKName_.end() ? nullptr : &launched->second;
    log(kAPMMonitorLevelVerbose, kAPMEFlagLookingLaunchedCode,
        "Cannot find activated flag. Looking for launched flag. SDK name, flag name, launched flag", sdk, flag,
        APMESnapshotContext(launchedSnapshot));
    if (launchedSnapshot) {
        if (auto value = flagValueFromMessage(launchedSnapshot->flagByName(flagName))) return value;
    }
    const auto fallback = defaults->second.find(flagName);
    if (fallback == defaults->second.end()) {
        log(kAPMMonitorLevelVerbose, kAPMEFlagNoDefaultValueCode, "No default flag value. SDK name, flag name", sdk, flag);
        return std::nullopt;
    }
    auto value = flagValueFromMessage(fallback->second);
    log(kAPMMonitorLevelVerbose, kAPMEFlagDefaultValueCode,
        "Cannot find launched flag. Returned the default flag value. SDK name, flag name, default flag", sdk, flag,
        value.value_or(Value()));
    return value;
}

// ---- activation ----

bool APMEManager::activateSnapshotOfSDK(const std::optional<std::string>& sdkName, APMErrorOut error) {
    if (!sdkName) {
        APMSetError(error, kAPMEInvalidArgumentErrorCode, "SDK name cannot be nil");
        log(kAPMMonitorLevelWarning, kAPMEActivateNilSDKNameCode, "Cannot activate a pending snapshot for a nil SDK name");
        return false;
    }
    if (sdkName->empty()) {
        APMSetError(error, kAPMEInvalidArgumentErrorCode, "SDK name cannot be empty");
        log(kAPMMonitorLevelWarning, kAPMEActivateEmptySDKNameCode,
            "Cannot activate a pending snapshot for an empty SDK name");
        return false;
    }
    bool activated = false;
    dispatchSyncOnSerialQueue([&] { activated = activateOnSerialQueue(*sdkName); });
    if (activated) {
        log(kAPMMonitorLevelVerbose, kAPMEActivatedSnapshotCode, "Successfully activated a snapshot of SDK",
            Value(*sdkName));
    }
    return activated;
}

bool APMEManager::activateOnSerialQueue(const std::string& sdkName) {
    std::optional<APMESnapshot> pending;
    const double now = platform::dispatch::currentClock()->now();
    {
        std::lock_guard lock(mapsMutex_);
        const auto found = pendingSnapshotsBySDKName_.find(sdkName);
        if (found == pendingSnapshotsBySDKName_.end()) {
            log(kAPMMonitorLevelWarning, kAPMENoPendingSnapshotCode, "No pending snapshot to activate. SDK name",
                Value(sdkName));
            return false;
        }
        pending = found->second;
        // Every experiment but 0 goes into force whole, those without flags
        // too, as the database keeps them: the IDs in the bundles must not
        // change with a restart.
        std::vector<APMEExperiment> inForce;
        for (const auto& experiment : pending->experiments()) {
            if (experiment.experimentID() != 0) {
                inForce.push_back(experiment);
            } else if (auto launched = APMESnapshot::initWithSDKName(Value(sdkName), std::vector{experiment})) {
                launchedSnapshotsBySDKName_.insert_or_assign(sdkName, std::move(*launched));
            }
        }
        auto activated = APMESnapshot::initWithSDKName(Value(sdkName), inForce);
        if (!activated) return false;
        activated->setTimestamp(now);
        activatedSnapshotsBySDKName_.insert_or_assign(sdkName, std::move(*activated));
        pendingSnapshotsBySDKName_.erase(found);
    }
    taskManager_->activatePendingSnapshot(pending, now);
    return true;
}

int APMEManager::activatedSnapshotStatusOfSDKName(const std::string& sdkName) {
    if (sdkName.empty()) {
        log(kAPMELevelCritical, kAPMEStatusEmptySDKNameCode, "Cannot check activated snapshot for empty SDK Name");
        return kAPMESnapshotStatusNoClient;
    }
    int status = kAPMESnapshotStatusNoClient;
    dispatchSyncOnSerialQueue([&] {
        std::lock_guard lock(mapsMutex_);
        if (!registeredClientsBySDKName_.count(sdkName)) return;
        const auto found = activatedSnapshotsBySDKName_.find(sdkName);
        if (found == activatedSnapshotsBySDKName_.end() || found->second.timestamp() <= kAPMEDoubleEpsilon) {
            status = kAPMESnapshotStatusNoSnapshot;
            return;
        }
        const double age = std::fabs(found->second.timestamp() - platform::dispatch::currentClock()->now());
        status = age > kAPMEStaleSnapshotAge ? kAPMESnapshotStatusStale : kAPMESnapshotStatusFresh;
    });
    return status;
}

std::vector<std::int64_t> APMEManager::experimentIDs() {
    std::vector<std::int64_t> ids;
    dispatchSyncOnSerialQueue([&] {
        std::lock_guard lock(mapsMutex_);
        for (const auto& [sdkName, client] : registeredClientsBySDKName_) {
            // SDKs with a diversion key of their own report their experiments
            // themselves.
            if (client->SDKProperty()->diversionKey()) continue;
            const auto activated = activatedSnapshotsBySDKName_.find(sdkName);
            if (activated == activatedSnapshotsBySDKName_.end()) continue;
            for (const auto& experiment : activated->second.experiments()) ids.push_back(experiment.experimentID());
        }
    });
    std::sort(ids.begin(), ids.end());
    return ids;
}

// ---- resets ----

void APMEManager::resetToDefaultsOfSDKName(const std::string& sdkName) {
    if (sdkName.empty()) {
        log(kAPMELevelCritical, kAPMEResetEmptySDKNameCode, "Cannot reset to defaults for empty SDK Name");
        return;
    }
    dispatchSyncOnSerialQueue([&] {
        bool removed = false;
        {
            std::lock_guard lock(mapsMutex_);
            removed = activatedSnapshotsBySDKName_.erase(sdkName) > 0;
        }
        if (!removed) {
            log(kAPMELevelCritical, kAPMEResetNoActivatedSnapshotCode, "Cannot reset to defaults for unregistered SDK name",
                Value(sdkName));
            return;
        }
        taskManager_->resetToDefaultsForSDKName(sdkName);
        log(kAPMMonitorLevelVerbose, kAPMEResetToDefaultsCode, "Reset all experiments to default. SDK name",
            Value(sdkName));
    });
}

void APMEManager::forgetSnapshots() {
    std::lock_guard lock(mapsMutex_);
    activatedSnapshotsBySDKName_.clear();
    pendingSnapshotsBySDKName_.clear();
    launchedSnapshotsBySDKName_.clear();
}

void APMEManager::reset() {
    std::weak_ptr<APMEManager> weak = weak_from_this();
    dispatchAsyncOnSerialQueue([weak] {
        auto self = weak.lock();
        if (!self) return;
        self->taskManager_->reset();
        self->forgetSnapshots();
    });
}

void APMEManager::clearAndDelete() {
    std::weak_ptr<APMEManager> weak = weak_from_this();
    dispatchAsyncOnSerialQueue([weak] {
        auto self = weak.lock();
        if (!self) return;
        self->taskManager_->clearAndDelete();
        self->forgetSnapshots();
    });
}

}  // namespace measurement
