#pragma once

// A measurement engine on a temporary data folder for tests: manual time and
// queues (or real ones for the tests about threads), the monitor captured,
// every seam at its default, and the default application not configured.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/core/stored_data.h"
#include "measurement/foundation/daily_counts.h"
#include "measurement/foundation/messages.h"
#include "measurement/foundation/monitor.h"
#include "platform/dispatch/timer.h"
#include "platform/foundation/user_defaults.h"
#include "testsupport/temp_dir.h"

namespace measurement::testing {

class EngineFixture {
public:
    explicit EngineFixture(bool manualTime = true);
    ~EngineFixture();
    EngineFixture(const EngineFixture&) = delete;
    EngineFixture& operator=(const EngineFixture&) = delete;

    // Configures the default application, which starts the engine, and
    // settles.
    void configure();
    // Runs every queue until idle (manual time only).
    void settle();
    // Ends this engine as a process stop would, keeping the files; the next
    // configure() starts a new engine on them.
    void restart();

    // The engine's server configuration takes the configuration, as after a
    // fetch (the engine must have started).
    void takeConfiguration(const APMPBMeasurementConfig& config);

    // The engine's daily counts, read on its worker queue.
    APMDailyCounts dailyCounts();

    std::vector<APMRawEventData> rawEvents();
    std::vector<std::string> rawEventNames();
    std::vector<APMUserAttribute> userAttributes();
    APMPBMeasurementBundle metadataOf(const APMRawEventData& event);

    platform::dispatch::ManualTime& time() { return *time_; }
    APMMonitorCapture& monitor() { return capture_; }
    const std::filesystem::path& folder() const { return folder_.path(); }

    APMStoredData storedData();

private:
    testsupport::TempDir folder_;
    std::optional<platform::dispatch::ManualTime> time_;
    platform::ScopedDataDirectory preferences_;
    APMMonitorCapture capture_;
};

// The integer and string parameters of an event, for comparisons.
std::int64_t intParameter(const APMEvent& event, const std::string& name);
std::string stringParameter(const APMEvent& event, const std::string& name);

// With real queues: waits until everything the facade accepted so far has
// reached the engine.
void waitUntilHandled();
// With real queues, as the application resigning active: what was logged is
// stored and uploaded, and the background task ends with the upload.
void resignAndUpload();

}  // namespace measurement::testing
