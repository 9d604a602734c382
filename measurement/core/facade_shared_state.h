#pragma once

// The facade's queues and listeners, one set per process: kept by
// APMAnalytics, and made anew between cases by the test hooks
// (testsupport/test_hooks.h).

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "measurement/core/facade.h"
#include "platform/dispatch/queue.h"

namespace measurement::detail {

struct FacadeState {
    std::mutex mutex;
    std::shared_ptr<platform::dispatch::Queue> timestampQueue;
    std::shared_ptr<platform::dispatch::Queue> operationQueue;
    std::shared_ptr<platform::dispatch::Queue> serialQueue;
    bool operationQueueStarted = false;
    std::map<std::uint64_t, APMAnalytics::EventListener> listeners;
    std::map<std::uint64_t, APMAnalytics::EventWriteListener> writeListeners;
    std::uint64_t nextListener = 1;
};

FacadeState& facadeState();

}  // namespace measurement::detail
