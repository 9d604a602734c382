// Events per second through VEZArurerudo::logEventWithName until they are
// durably stored (the resignation's background task ends only once every
// accepted event is committed), and the resident memory the engine holds,
// for events of 1, 10 and 100 parameters. Real queues and threads, a fresh
// data folder per run.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <algorithm>

#include "measurement/core/facade.h"
#include "measurement/core/arurerudo.h"
#include "measurement/core/measurement.h"
#include "measurement/foundation/monitor.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/user_defaults.h"
#include "platform/frameworks/app_core/app.h"
#include "platform/frameworks/app_core/application_state.h"
#include "platform/frameworks/app_core/background_task.h"

namespace {

using Clock = std::chrono::steady_clock;

// Resident set size in kilobytes, from /proc.
long residentKilobytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

platform::Value::Dictionary parametersOf(int count) {
    platform::Value::Dictionary parameters;
    for (int i = 0; i < count; ++i) {
        const std::string name = "param_" + std::to_string(i);
        if (i % 2 == 0) {
            parameters[name] = "value number " + std::to_string(i);
        } else {
            parameters[name] = i * 1000;
        }
    }
    return parameters;
}

void resetEngine() {
    measurement::APMMeasurement::resetSharedInstanceForTesting();
    measurement::APMAnalytics::resetForTesting();
    platform::VEZApp::resetForTesting();
    platform::BackgroundTasks::shared().reset();
}

void run(int parameterCount, int events) {
    const auto folder = std::filesystem::temp_directory_path() /
                        ("velmora-bench-core-" + std::to_string(parameterCount) + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    platform::ProcessInfo::setApplicationSupportDirectory(folder / "Application Support");
    platform::UserDefaults::setDataDirectory(folder / "Preferences");
    resetEngine();
    platform::VEZApp::configure();

    const auto parameters = parametersOf(parameterCount);
    const long before = residentKilobytes();
    long peak = before;
    const auto start = Clock::now();
    for (int i = 0; i < events; ++i) {
        measurement::VEZArurerudo::logEventWithName("bench_event", parameters);
        if (i % 256 == 0) peak = std::max(peak, residentKilobytes());
    }
    const auto accepted = Clock::now();
    peak = std::max(peak, residentKilobytes());
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillResignActiveNotification);
    const bool stored = platform::BackgroundTasks::shared().waitUntilNoActiveTask(600);
    const auto done = Clock::now();
    const double acceptSeconds = std::chrono::duration<double>(accepted - start).count();
    const double storeSeconds = std::chrono::duration<double>(done - start).count();
    std::printf("%3d parameters: %6d events, accepted %9.0f/s, stored %7.0f/s%s, memory held %+6ld kB (peak over start)\n",
                parameterCount, events, events / acceptSeconds, events / storeSeconds, stored ? "" : " (TIMED OUT)",
                peak - before);
    resetEngine();
    std::filesystem::remove_all(folder);
}

}  // namespace

int main() {
    measurement::APMMonitor::shared().muteConsole();
    std::printf("bench_core_events: logEventWithName until durably stored (one transaction per event)\n");
    run(1, 2000);
    run(10, 2000);
    run(100, 1000);
    return 0;
}
