// The stand-alone upload host: a worker queue, network and alarm of its own.
#include "measurement/upload/upload_host.h"

#include "measurement/foundation/monitor.h"

namespace measurement {

bool APMIsNetworkReadyForRequest(bool requestPending, const platform::RULNetwork& network) {
    if (requestPending) {
        if (!network.hasUploadInProgress()) {
            APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMNetworkNotUploadingCode,
                                              "Analytics is uploading but network is not uploading");
        }
        return false;
    }
    return !network.hasUploadInProgress();
}

APMUploadHost::APMUploadHost(std::shared_ptr<platform::Reachability> reachability)
    : scheduler_(std::make_unique<APMScheduler>()) {
    network_ = std::make_unique<platform::RULNetwork>("measurement", nullptr, std::move(reachability),
                                                      scheduler_->workerQueue());
    alarm_ = std::make_unique<APMAlarm>(scheduler_->workerQueue(), "Measurement timer");
}

APMUploadHost::~APMUploadHost() {
    if (alarm_) alarm_->cancel();
}

std::shared_ptr<const void> APMUploadHost::retainParts() { return shared_from_this(); }

const std::shared_ptr<platform::dispatch::Queue>& APMUploadHost::workerQueue() const {
    return scheduler_->workerQueue();
}

void APMUploadHost::scheduleOnWorkerQueue(const std::string& blockID, std::function<void()> block) {
    scheduler_->scheduleOnWorkerQueueBlockID(blockID, std::move(block));
}

platform::RULNetwork& APMUploadHost::network() { return *network_; }

APMAlarm& APMUploadHost::uploadAlarm() { return *alarm_; }

bool APMUploadHost::isNetworkRequestPending() const { return pending_.load(); }

void APMUploadHost::setIsNetworkRequestPending(bool pending) { pending_.store(pending); }

}  // namespace measurement
