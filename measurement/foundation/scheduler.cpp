#include "measurement/foundation/scheduler.h"

#include <exception>
#include <mutex>
#include <vector>

#include "measurement/foundation/monitor.h"

namespace measurement {

namespace {

std::mutex gBackgroundMutex;
std::vector<std::weak_ptr<platform::dispatch::Queue>> gBackgroundQueues;

bool runsOnBackgroundQueue() {
    std::lock_guard lock(gBackgroundMutex);
    std::erase_if(gBackgroundQueues, [](const auto& weak) { return weak.expired(); });
    for (const auto& weak : gBackgroundQueues) {
        if (auto queue = weak.lock(); queue && queue->isCurrent()) return true;
    }
    return false;
}

std::string describeCurrentException() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

}  // namespace

APMScheduler::APMScheduler() : workerQueue_(platform::dispatch::makeSerialQueue("com.rozeda.measurement.worker")) {
    registerBackgroundQueue(workerQueue_);
}

APMScheduler::~APMScheduler() = default;

void APMScheduler::scheduleOnWorkerQueueBlockID(const std::string& blockID, std::function<void()> block) {
    workerQueue_->async([blockID, block = std::move(block)] {
        try {
            if (block) block();
        } catch (...) {
            APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMSchedulerBlockExceptionCode,
                                              "Exception caught in worker queue block. Block ID, exception",
                                              platform::Value(blockID), platform::Value(describeCurrentException()));
        }
    });
}

bool APMScheduler::isOnMainThread() {
    if (platform::dispatch::mainQueue().isCurrent()) return true;
    return platform::dispatch::isMainThread() && !runsOnBackgroundQueue();
}

void APMScheduler::registerBackgroundQueue(const std::shared_ptr<platform::dispatch::Queue>& queue) {
    if (!queue) return;
    std::lock_guard lock(gBackgroundMutex);
    gBackgroundQueues.push_back(queue);
}

bool APMScheduler::checkOnBackgroundThreadWithMethodName(const std::string& methodName) {
    if (!isOnMainThread()) return true;
    const std::string name = methodName.empty() ? "<empty method name>" : methodName;
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMSchedulerNotOnBackgroundThreadCode,
                                      "Method " + name + " should execute on background thread");
    return false;
}

}  // namespace measurement
