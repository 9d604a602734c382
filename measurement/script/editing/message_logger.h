#pragma once

// The module "internal.logger": programs write diagnostics into the
// engine's monitor under code 24005, through logger.log, logger.silent.log
// and logger.unmonitored.log.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "measurement/foundation/monitor.h"
#include "measurement/script/object_values.h"

namespace measurement {

// The sink the logger's functions write to: one monitor entry per call.
class APMPixieLogger {
public:
    static constexpr long kMessageCode = 24005;

    explicit APMPixieLogger(APMMonitor& monitor = APMMonitor::shared()) : monitor_(monitor) {}
    void logWithLevel(std::int64_t level, const std::string& message, const std::vector<std::string>& context,
                      bool silent, bool monitored);
    // The monitor level of a script level: 2 debug (8), 3 debug (7), 5 a
    // warning and 6 an error, each silent, sampled or printed by the flags;
    // anything else a notice (6).
    static int monitorLevelFor(std::int64_t scriptLevel, bool silent, bool monitored);

private:
    APMMonitor& monitor_;
};

// log(message) writes a level 4 message; log(level, message, context...)
// writes the level with up to three context strings.
class APMPFunctionLog final : public APMPNativeFunctionValue {
public:
    APMPFunctionLog(std::shared_ptr<APMPixieLogger> logger, bool silent, bool monitored)
        : APMPNativeFunctionValue(u"log"), _logger(std::move(logger)), _silent(silent), _monitored(monitored) {}
    APMPValueRef invokeWithArguments(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) override;

private:
    std::shared_ptr<APMPixieLogger> _logger;
    bool _silent;
    bool _monitored;
};

// logger.silent: its "log" writes silently.
class APMPFunctionLogSilent final : public APMPNativeFunctionValue {
public:
    explicit APMPFunctionLogSilent(const std::shared_ptr<APMPixieLogger>& logger);
    APMPValueRef invokeWithArguments(const APMPValueList&, APMPScope&, ScriptError&) override {
        return APMPUndefined();
    }
};

// logger.unmonitored: its "log" writes without sampling.
class APMPFunctionLogUnmonitored final : public APMPNativeFunctionValue {
public:
    explicit APMPFunctionLogUnmonitored(const std::shared_ptr<APMPixieLogger>& logger);
    APMPValueRef invokeWithArguments(const APMPValueList&, APMPScope&, ScriptError&) override {
        return APMPUndefined();
    }
};

class APMPMessageLogger final : public APMPNativeFunctionValue {
public:
    explicit APMPMessageLogger(std::shared_ptr<APMPixieLogger> logger);
    APMPValueRef invokeWithArguments(const APMPValueList&, APMPScope&, ScriptError&) override {
        return APMPUndefined();
    }
};

}  // namespace measurement
