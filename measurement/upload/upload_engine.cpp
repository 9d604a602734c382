#include "measurement/upload/upload_engine.h"

namespace measurement {

APMUploadEngine::APMUploadEngine(std::shared_ptr<platform::Reachability> reachability)
    : scheduler_(std::make_unique<APMScheduler>()) {
    network_ = std::make_unique<platform::RULNetwork>("measurement", nullptr, std::move(reachability),
                                                      scheduler_->workerQueue());
    alarm_ = std::make_unique<APMAlarm>(scheduler_->workerQueue(), "Measurement timer");
}

APMUploadEngine::~APMUploadEngine() {
    if (alarm_) alarm_->cancel();
}

std::shared_ptr<const void> APMUploadEngine::retainParts() { return shared_from_this(); }

const std::shared_ptr<platform::dispatch::Queue>& APMUploadEngine::workerQueue() const {
    return scheduler_->workerQueue();
}

void APMUploadEngine::scheduleOnWorkerQueue(const std::string& blockID, std::function<void()> block) {
    scheduler_->scheduleOnWorkerQueueBlockID(blockID, std::move(block));
}

platform::RULNetwork& APMUploadEngine::network() { return *network_; }

APMAlarm& APMUploadEngine::uploadAlarm() { return *alarm_; }

bool APMUploadEngine::isNetworkRequestPending() const { return pending_.load(); }

void APMUploadEngine::setIsNetworkRequestPending(bool pending) { pending_.store(pending); }

}  // namespace measurement
