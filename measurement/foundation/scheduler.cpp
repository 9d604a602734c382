// The measurement worker queue and its identified blocks.
#include "measurement/foundation/scheduler.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <vector>

#include "measurement/foundation/monitor.h"

namespace measurement {

namespace {

struct BackgroundQueues {
    std::mutex mutex;
    std::vector<std::weak_ptr<platform::dispatch::Queue>> queues;
};

BackgroundQueues& backgroundQueues() {
    // Lives for the whole process: queue threads may still ask while it exits.
    static auto* registry = new BackgroundQueues();
    return *registry;
}

bool runsOnBackgroundQueue() {
    // The queues are asked, and let go of, outside the lock: letting go of
    // the last reference to a queue waits for its thread, which may itself be
    // waiting for the lock here.
    std::vector<std::shared_ptr<platform::dispatch::Queue>> live;
    {
        auto& registry = backgroundQueues();
        std::lock_guard lock(registry.mutex);
        std::erase_if(registry.queues, [](const auto& weak) { return weak.expired(); });
        for (const auto& weak : registry.queues) {
            if (auto queue = weak.lock()) live.push_back(std::move(queue));
        }
    }
    return std::any_of(live.begin(), live.end(), [](const auto& queue) { return queue->isCurrent(); });
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
    auto& registry = backgroundQueues();
    std::lock_guard lock(registry.mutex);
    registry.queues.push_back(queue);
}

bool APMScheduler::checkOnBackgroundThreadWithMethodName(const std::string& methodName) {
    if (!isOnMainThread()) return true;
    const std::string name = methodName.empty() ? "<empty method name>" : methodName;
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMSchedulerNotOnBackgroundThreadCode,
                                      "Method " + name + " should execute on background thread");
    return false;
}

}  // namespace measurement
