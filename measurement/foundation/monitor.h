#pragma once

// APMMonitor: the engine's one diagnostic log.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace measurement {

// Levels of the diagnostic log: 0 to 2 errors, 3 to 5 warnings, 6 notices,
// 7 and 8 debug messages. Levels 2 and 5 (and anything outside 0 to 8) are
// silent: never printed, but sampled into the health-monitor record like 1
// and 4.
enum APMMonitorLevel : int {
    kAPMMonitorLevelError = 1,
    kAPMMonitorLevelSilentError = 2,
    kAPMMonitorLevelWarning = 3,
    kAPMMonitorLevelSampledWarning = 4,
    kAPMMonitorLevelSilentWarning = 5,
    kAPMMonitorLevelNotice = 6,
    kAPMMonitorLevelDebug = 7,
    kAPMMonitorLevelVerbose = 8,
};

// The console tag of every printed line.
inline constexpr const char* kAPMMonitorConsoleTag = "<DozUrerizarori>";
inline constexpr const char* kAPMDebugEnabledArgument = "-VEZArurerudoDebugEnabled";
inline constexpr const char* kAPMDebugDisabledArgument = "-VEZArurerudoDebugDisabled";
inline constexpr const char* kAPMVerboseLoggingEnabledArgument = "-VEZArurerudoVerboseLoggingEnabled";
inline constexpr const char* kAPMVerboseLoggingDisabledArgument = "-VEZArurerudoVerboseLoggingDisabled";

// One diagnostic: level, numeric message code, message and context objects
// (a missing context is a null value).
struct APMMonitorEntry {
    int level = 0;
    long messageCode = 0;
    std::string message;
    std::vector<platform::Value> contexts;
    // Wall-clock seconds since 1970 when it was logged.
    double timestamp = 0;
};

// Receives every entry, on the thread that logged it, one at a time. A sink
// must not log through the monitor that calls it.
class APMMonitorSink {
public:
    virtual ~APMMonitorSink() = default;
    virtual void receive(const APMMonitorEntry& entry) = 0;
};

// The one diagnostic log of the measurement engine. Safe to call from any
// queue: entries are handled under the monitor's own lock, in the order the
// calls arrive.
class APMMonitor {
public:
    // Reads the debug and verbose switches from the process's launch
    // arguments.
    APMMonitor();
    ~APMMonitor();
    APMMonitor(const APMMonitor&) = delete;
    APMMonitor& operator=(const APMMonitor&) = delete;

    // The engine's monitor, created on first use and kept for the process.
    static APMMonitor& shared();

    void logWithLevel(int level, long messageCode, const std::string& message);
    void logWithLevel(int level, long messageCode, const std::string& message, const platform::Value& context);
    void logWithLevel(int level, long messageCode, const std::string& message, const platform::Value& context1,
                      const platform::Value& context2);
    void logWithLevel(int level, long messageCode, const std::string& message, const platform::Value& context1,
                      const platform::Value& context2, const platform::Value& context3);
    void logWithLevel(int level, long messageCode, const std::string& message,
                      std::vector<platform::Value> contexts);

    bool isDebugModeEnabled() const;
    bool isVerboseLoggingEnabled() const;
    // Seams for tools and tests; the launch arguments set the initial state.
    void setDebugModeEnabled(bool enabled);
    void setVerboseLoggingEnabled(bool enabled);
    // Reads the switches from the launch arguments again.
    void reloadLaunchArguments();

    // The health-monitor sample to put into a bundle: empty unless sampled
    // entries were collected and at least `samplePeriodSeconds` (more than 0)
    // have passed since `lastSampledTimestamp` (either way, as for a clock
    // set back). The entries stay collected until the bundle that carries
    // them is stored: monitoringDataDispatched() then takes out what the
    // last sample covered; a bundle that is not stored leaves them for the
    // next sample.
    std::string monitoringDataForDispatchWithSamplePeriod(double samplePeriodSeconds, double lastSampledTimestamp);
    void monitoringDataDispatched();
    void clearMonitoringData();

    void addSink(std::shared_ptr<APMMonitorSink> sink);
    void removeSink(const std::shared_ptr<APMMonitorSink>& sink);

    // Where printed lines go (standard error by default); nullptr restores it.
    using ConsoleWriter = std::function<void(int level, const std::string& line)>;
    void setConsoleWriter(ConsoleWriter writer);
    // While muted (as often as muted, until unmuted as often) nothing is
    // printed; entries still reach the sinks and the health record.
    void muteConsole();
    void unmuteConsole();

    // Whether an entry of this level goes into the health record / is never
    // printed.
    static bool isSampledLevel(int level);
    static bool isSilentLevel(int level);
    // "ERROR", "WARNING", "NOTICE" or "DEBUG".
    static const char* levelName(int level);
    // The printed line: "<DozUrerizarori>[I-ACS002001] [DEBUG] message: context, ...".
    static std::string consoleLine(const APMMonitorEntry& entry);
    // A context as it is printed.
    static std::string describeContext(const platform::Value& context);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Collects every entry of a monitor while it lives, for assertions in tests.
// By default it attaches to the shared monitor and keeps its console quiet.
class APMMonitorCapture {
public:
    APMMonitorCapture();
    explicit APMMonitorCapture(APMMonitor& monitor, bool muteConsole = true);
    ~APMMonitorCapture();
    APMMonitorCapture(const APMMonitorCapture&) = delete;
    APMMonitorCapture& operator=(const APMMonitorCapture&) = delete;

    std::vector<APMMonitorEntry> entries() const;
    std::vector<APMMonitorEntry> entriesWithCode(long messageCode) const;
    bool hasCode(long messageCode) const;
    std::size_t count(long messageCode) const;
    // The codes in the order they were logged.
    std::vector<long> codes() const;
    void clear();

private:
    struct Link;
    APMMonitor& monitor_;
    bool muted_;
    std::shared_ptr<Link> link_;
};

}  // namespace measurement
