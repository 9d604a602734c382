#pragma once

// APMScheduler: the measurement worker queue.

#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch/queue.h"

namespace measurement {

// Monitor codes of the scheduler.
enum : long {
    kAPMSchedulerNotOnBackgroundThreadCode = 30001,
    kAPMSchedulerBlockExceptionCode = 30002,
};

// The measurement worker queue, on which all engine state lives, and the
// blocks posted to it under an identifier ("APMMeasurement:429").
class APMScheduler {
public:
    // Makes the worker queue through platform::dispatch (a manual queue under
    // ManualTime).
    APMScheduler();
    ~APMScheduler();
    APMScheduler(const APMScheduler&) = delete;
    APMScheduler& operator=(const APMScheduler&) = delete;

    const std::shared_ptr<platform::dispatch::Queue>& workerQueue() const { return workerQueue_; }

    // Runs the block asynchronously on the worker queue; an exception it
    // throws is caught and logged under the identifier.
    void scheduleOnWorkerQueueBlockID(const std::string& blockID, std::function<void()> block);

    // On the main thread: logs level 1, code 30001 and answers false;
    // elsewhere true. Callers carry on either way.
    static bool checkOnBackgroundThreadWithMethodName(const std::string& methodName);
    // The caller runs on the main queue, or on the main thread outside the
    // blocks of the engine's background queues (which tests drain on the main
    // thread).
    static bool isOnMainThread();
    // Marks a queue of the engine as a background queue for isOnMainThread.
    static void registerBackgroundQueue(const std::shared_ptr<platform::dispatch::Queue>& queue);

private:
    std::shared_ptr<platform::dispatch::Queue> workerQueue_;
};

}  // namespace measurement
