// A registered SDK's handle: its flags, activation and status through the manager.
#include "measurement/experiments/client.h"

#include "measurement/experiments/experiments_codes.h"
#include "measurement/experiments/experiments_manager.h"
#include "measurement/experiments/experiments_monitor.h"

namespace measurement {

std::shared_ptr<APMEClient> APMEClient::initWithSDKProperty(std::shared_ptr<APMESDKProperty> property,
                                                            std::optional<std::vector<APMPBFlag>> defaultFlags,
                                                            std::weak_ptr<APMEManager> manager) {
    if (!property) {
        APMEMonitor::shared().logWithLevel(kAPMELevelCritical, kAPMEClientNilPropertyCode,
                                           "Cannot initialize the client with nil property");
        return nullptr;
    }
    if (!defaultFlags) {
        APMEMonitor::shared().logWithLevel(kAPMELevelCritical, kAPMEClientNilFlagsCode,
                                           "Cannot initialize the client with nil default flags");
        return nullptr;
    }
    return std::make_shared<APMEClient>(std::move(property), std::move(*defaultFlags), std::move(manager));
}

APMEClient::APMEClient(std::shared_ptr<APMESDKProperty> property, std::vector<APMPBFlag> defaultFlags,
                       std::weak_ptr<APMEManager> manager)
    : property_(std::move(property)), defaultFlags_(std::move(defaultFlags)), manager_(std::move(manager)) {}

std::optional<platform::Value> APMEClient::valueForFlag(const std::optional<std::string>& flagName) {
    if (!flagName || flagName->empty()) {
        APMEMonitor::shared().logWithLevel(kAPMELevelCritical, kAPMEClientEmptyFlagNameCode,
                                           "Cannot get value for empty flag name");
        return std::nullopt;
    }
    auto manager = manager_.lock();
    return manager ? manager->flagValueForFlagName(*flagName, SDKName()) : std::nullopt;
}

std::optional<platform::Value> APMEClient::objectForKeyedSubscript(const platform::Value& key) {
    if (!key.isString()) {
        APMEMonitor::shared().logWithLevel(kAPMELevelCritical, kAPMEClientInvalidFlagNameCode,
                                           "Cannot get flag value of an invalid flag name", key);
        return std::nullopt;
    }
    auto manager = manager_.lock();
    return manager ? manager->flagValueForFlagName(key, SDKName()) : std::nullopt;
}

bool APMEClient::activateLatestSnapshot(APMErrorOut error) {
    auto manager = manager_.lock();
    return manager && manager->activateSnapshotOfSDK(SDKName(), error);
}

bool APMEClient::hasStaleSnapshot() {
    auto manager = manager_.lock();
    return manager && manager->activatedSnapshotStatusOfSDKName(SDKName()) == kAPMESnapshotStatusStale;
}

void APMEClient::resetToDefaults() {
    if (auto manager = manager_.lock()) manager->resetToDefaultsOfSDKName(SDKName());
}

std::shared_ptr<APMEExperimentObserverDelegate> APMEClient::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void APMEClient::setDelegate(const std::shared_ptr<APMEExperimentObserverDelegate>& delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
}

}  // namespace measurement
