// The test hooks of the measurement engine and its facade.
#include <limits>

#include "measurement/core/facade_shared_state.h"
#include "measurement/core/measurement.h"
#include "platform/frameworks/app_core/background_task.h"
#include "testsupport/test_hooks.h"

namespace test_hooks {

void resetAnalyticsFacade() {
    auto& state = measurement::detail::facadeState();
    std::shared_ptr<platform::dispatch::Queue> held;
    {
        std::lock_guard lock(state.mutex);
        if (state.operationQueue && !state.operationQueueStarted) held = state.operationQueue;
        state.timestampQueue.reset();
        state.operationQueue.reset();
        state.serialQueue.reset();
        state.operationQueueStarted = false;
        state.listeners.clear();
    }
    // A queue still held would keep its thread waiting for ever.
    if (held) held->resume();
}

void resetMeasurementEngine() {
    measurement::APMMeasurement::shutdown();
    // As a new process: no shared identity, no application identifiers
    // taken, no end in sight.
    resetProcessIdentifiers();
    platform::BackgroundTasks::shared().grantBackgroundTime(std::numeric_limits<double>::infinity());
}

void resetMeasurement() {
    resetMeasurementEngine();
    resetAnalyticsFacade();
    resetDefaultApp();
}

}  // namespace test_hooks
