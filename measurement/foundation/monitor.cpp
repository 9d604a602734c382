// The monitor: console lines, levels and the health-monitor sample.
#include "measurement/foundation/monitor.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>
#include <utility>

#include "measurement/foundation/parameter_value.h"
#include "measurement/foundation/printable_text.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/process_info.h"

namespace measurement {

namespace {

// How many distinct (level, code) pairs one collection keeps; later ones are
// counted in the overflow entry so that the record stays small.
constexpr std::size_t kMaxSampledKinds = 100;
constexpr long kOverflowCode = -1;

struct LaunchSwitches {
    bool debug = false;
    bool verbose = false;
};

// A "...Disabled" argument wins over its "...Enabled" counterpart.
LaunchSwitches readLaunchSwitches() {
    using platform::ProcessInfo;
    LaunchSwitches s;
    s.debug = ProcessInfo::hasArgument(kAPMDebugEnabledArgument) && !ProcessInfo::hasArgument(kAPMDebugDisabledArgument);
    s.verbose = ProcessInfo::hasArgument(kAPMVerboseLoggingEnabledArgument) &&
                !ProcessInfo::hasArgument(kAPMVerboseLoggingDisabledArgument);
    return s;
}

void writeToStandardError(int, const std::string& line) { std::cerr << line << '\n'; }

}  // namespace

struct APMMonitor::State {
    mutable std::mutex mutex;
    bool debug = false;
    bool verbose = false;
    int muted = 0;
    ConsoleWriter writer = writeToStandardError;
    std::vector<std::shared_ptr<APMMonitorSink>> sinks;
    // Sampled entries not yet in a stored bundle: (code, level) -> count.
    std::map<std::pair<long, int>, std::uint64_t> sampled;
    // What the last sample handed out covered.
    std::map<std::pair<long, int>, std::uint64_t> dispatching;
};

APMMonitor::APMMonitor() : state_(std::make_unique<State>()) { reloadLaunchArguments(); }

APMMonitor::~APMMonitor() = default;

APMMonitor& APMMonitor::shared() {
    // Lives for the whole process: queues may still log while it exits.
    static auto* monitor = new APMMonitor();
    return *monitor;
}

void APMMonitor::logWithLevel(int level, long messageCode, const std::string& message) {
    logWithLevel(level, messageCode, message, std::vector<platform::Value>{});
}

void APMMonitor::logWithLevel(int level, long messageCode, const std::string& message,
                              const platform::Value& context) {
    logWithLevel(level, messageCode, message, std::vector<platform::Value>{context});
}

void APMMonitor::logWithLevel(int level, long messageCode, const std::string& message,
                              const platform::Value& context1, const platform::Value& context2) {
    logWithLevel(level, messageCode, message, std::vector<platform::Value>{context1, context2});
}

void APMMonitor::logWithLevel(int level, long messageCode, const std::string& message,
                              const platform::Value& context1, const platform::Value& context2,
                              const platform::Value& context3) {
    logWithLevel(level, messageCode, message, std::vector<platform::Value>{context1, context2, context3});
}

void APMMonitor::logWithLevel(int level, long messageCode, const std::string& message,
                              std::vector<platform::Value> contexts) {
    APMMonitorEntry entry{level, messageCode, message, std::move(contexts),
                          platform::dispatch::currentClock()->now()};
    std::lock_guard lock(state_->mutex);
    if (isSampledLevel(level)) {
        auto key = std::make_pair(messageCode, level);
        if (!state_->sampled.count(key) && state_->sampled.size() >= kMaxSampledKinds) {
            key = std::make_pair(kOverflowCode, level);
        }
        ++state_->sampled[key];
    }
    bool print = state_->muted == 0 && !isSilentLevel(level) &&
                 (level <= kAPMMonitorLevelNotice || state_->debug || state_->verbose);
    if (print && state_->writer) state_->writer(level, consoleLine(entry));
    for (const auto& sink : state_->sinks) sink->receive(entry);
}

bool APMMonitor::isDebugModeEnabled() const {
    std::lock_guard lock(state_->mutex);
    return state_->debug;
}

bool APMMonitor::isVerboseLoggingEnabled() const {
    std::lock_guard lock(state_->mutex);
    return state_->verbose;
}

void APMMonitor::setDebugModeEnabled(bool enabled) {
    std::lock_guard lock(state_->mutex);
    state_->debug = enabled;
}

void APMMonitor::setVerboseLoggingEnabled(bool enabled) {
    std::lock_guard lock(state_->mutex);
    state_->verbose = enabled;
}

void APMMonitor::reloadLaunchArguments() {
    LaunchSwitches switches = readLaunchSwitches();
    std::lock_guard lock(state_->mutex);
    state_->debug = switches.debug;
    state_->verbose = switches.verbose;
}

std::string APMMonitor::monitoringDataForDispatchWithSamplePeriod(double samplePeriodSeconds,
                                                                  double lastSampledTimestamp) {
    const double now = platform::dispatch::currentClock()->now();
    std::lock_guard lock(state_->mutex);
    if (!(samplePeriodSeconds > 0) || state_->sampled.empty()) return {};
    if (std::fabs(now - lastSampledTimestamp) < samplePeriodSeconds) return {};
    // "code:level:count" per kind, in code order, joined by ",".
    std::ostringstream out;
    bool first = true;
    for (const auto& [key, count] : state_->sampled) {
        if (!first) out << ',';
        first = false;
        out << key.first << ':' << key.second << ':' << count;
    }
    state_->dispatching = state_->sampled;
    return out.str();
}

void APMMonitor::monitoringDataDispatched() {
    std::lock_guard lock(state_->mutex);
    for (const auto& [key, count] : state_->dispatching) {
        auto found = state_->sampled.find(key);
        if (found == state_->sampled.end()) continue;
        if (found->second <= count) {
            state_->sampled.erase(found);
        } else {
            found->second -= count;
        }
    }
    state_->dispatching.clear();
}

void APMMonitor::clearMonitoringData() {
    std::lock_guard lock(state_->mutex);
    state_->sampled.clear();
    state_->dispatching.clear();
}

void APMMonitor::addSink(std::shared_ptr<APMMonitorSink> sink) {
    if (!sink) return;
    std::lock_guard lock(state_->mutex);
    state_->sinks.push_back(std::move(sink));
}

void APMMonitor::removeSink(const std::shared_ptr<APMMonitorSink>& sink) {
    std::lock_guard lock(state_->mutex);
    std::erase(state_->sinks, sink);
}

void APMMonitor::setConsoleWriter(ConsoleWriter writer) {
    std::lock_guard lock(state_->mutex);
    state_->writer = writer ? std::move(writer) : ConsoleWriter(writeToStandardError);
}

void APMMonitor::muteConsole() {
    std::lock_guard lock(state_->mutex);
    ++state_->muted;
}

void APMMonitor::unmuteConsole() {
    std::lock_guard lock(state_->mutex);
    if (state_->muted > 0) --state_->muted;
}

bool APMMonitor::isSilentLevel(int level) {
    return level == kAPMMonitorLevelSilentError || level == kAPMMonitorLevelSilentWarning || level < 0 ||
           level > kAPMMonitorLevelVerbose;
}

bool APMMonitor::isSampledLevel(int level) {
    return level == kAPMMonitorLevelError || level == kAPMMonitorLevelSampledWarning || isSilentLevel(level);
}

const char* APMMonitor::levelName(int level) {
    if (level >= 0 && level <= 2) return "ERROR";
    if (level >= 3 && level <= 5) return "WARNING";
    if (level == 6) return "NOTICE";
    return "DEBUG";
}

std::string APMMonitor::describeContext(const platform::Value& context) {
    using Kind = platform::Value::Kind;
    switch (context.kind()) {
        case Kind::Null: return "(null)";
        case Kind::Bool: return context.boolValue() ? "YES" : "NO";
        case Kind::Int: return std::to_string(context.intValue());
        case Kind::Real: return APMShortestDoubleText(context.realValue());
        case Kind::String: return context.asString();
        case Kind::Data: return "<" + std::to_string(context.asData().bytes.size()) + " bytes>";
        case Kind::Date: return APMShortestDoubleText(context.asDate().secondsSince1970);
        case Kind::Array: {
            std::string out = "(";
            for (std::size_t i = 0; i < context.asArray().size(); ++i) {
                if (i) out += ", ";
                out += describeContext(context.asArray()[i]);
            }
            return out + ")";
        }
        case Kind::Dictionary: {
            std::string out = "{";
            bool first = true;
            for (const auto& [key, value] : context.asDictionary()) {
                if (!first) out += ", ";
                first = false;
                out += key + " = " + describeContext(value);
            }
            return out + "}";
        }
    }
    return {};
}

std::string APMMonitor::consoleLine(const APMMonitorEntry& entry) {
    char code[32];
    std::snprintf(code, sizeof code, "I-ACS%06ld", entry.messageCode);
    // What the contexts hold may come from outside (a name read from a
    // damaged file): each is one line, in text a terminal only shows.
    std::string line = std::string(kAPMMonitorConsoleTag) + "[" + code + "] [" + levelName(entry.level) + "] " +
                       printableBlock(entry.message);
    for (std::size_t i = 0; i < entry.contexts.size(); ++i) {
        line += i == 0 ? ": " : ", ";
        line += printable(describeContext(entry.contexts[i]));
    }
    return line;
}

// ---- APMMonitorCapture ----

struct APMMonitorCapture::Link : APMMonitorSink {
    mutable std::mutex mutex;
    std::vector<APMMonitorEntry> entries;

    void receive(const APMMonitorEntry& entry) override {
        std::lock_guard lock(mutex);
        entries.push_back(entry);
    }
};

APMMonitorCapture::APMMonitorCapture() : APMMonitorCapture(APMMonitor::shared()) {}

APMMonitorCapture::APMMonitorCapture(APMMonitor& monitor, bool muteConsole)
    : monitor_(monitor), muted_(muteConsole), link_(std::make_shared<Link>()) {
    if (muted_) monitor_.muteConsole();
    monitor_.addSink(link_);
}

APMMonitorCapture::~APMMonitorCapture() {
    monitor_.removeSink(link_);
    if (muted_) monitor_.unmuteConsole();
}

std::vector<APMMonitorEntry> APMMonitorCapture::entries() const {
    std::lock_guard lock(link_->mutex);
    return link_->entries;
}

std::vector<APMMonitorEntry> APMMonitorCapture::entriesWithCode(long messageCode) const {
    std::vector<APMMonitorEntry> found;
    std::lock_guard lock(link_->mutex);
    for (const auto& entry : link_->entries) {
        if (entry.messageCode == messageCode) found.push_back(entry);
    }
    return found;
}

bool APMMonitorCapture::hasCode(long messageCode) const { return count(messageCode) > 0; }

std::size_t APMMonitorCapture::count(long messageCode) const {
    std::lock_guard lock(link_->mutex);
    return static_cast<std::size_t>(std::count_if(link_->entries.begin(), link_->entries.end(),
                                                  [&](const auto& e) { return e.messageCode == messageCode; }));
}

std::vector<long> APMMonitorCapture::codes() const {
    std::vector<long> result;
    std::lock_guard lock(link_->mutex);
    for (const auto& entry : link_->entries) result.push_back(entry.messageCode);
    return result;
}

void APMMonitorCapture::clear() {
    std::lock_guard lock(link_->mutex);
    link_->entries.clear();
}

}  // namespace measurement
