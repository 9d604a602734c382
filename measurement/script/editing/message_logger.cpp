// Script log calls into the engine's monitor.
#include "measurement/script/editing/message_logger.h"

#include "measurement/foundation/parameter_value.h"
#include "measurement/script/runtime_helpers.h"
#include "measurement/script/script_string.h"

namespace measurement {

namespace {

// The script level given by the program when it names one.
constexpr std::int64_t kDefaultScriptLevel = 4;
constexpr std::size_t kMaxContexts = 3;

}  // namespace

int APMPixieLogger::monitorLevelFor(std::int64_t scriptLevel, bool silent, bool monitored) {
    switch (scriptLevel) {
        case 2:
            return kAPMMonitorLevelVerbose;
        case 3:
            return kAPMMonitorLevelDebug;
        case 5:
            if (silent) return kAPMMonitorLevelSilentWarning;
            return monitored ? kAPMMonitorLevelSampledWarning : kAPMMonitorLevelWarning;
        case 6:
            if (silent) return kAPMMonitorLevelSilentError;
            return monitored ? kAPMMonitorLevelError : 0;
        default:
            return kAPMMonitorLevelNotice;
    }
}

void APMPixieLogger::logWithLevel(std::int64_t level, const std::string& message,
                                  const std::vector<std::string>& context, bool silent, bool monitored) {
    std::vector<platform::Value> contexts(context.begin(), context.end());
    monitor_.logWithLevel(monitorLevelFor(level, silent, monitored), kMessageCode, message, std::move(contexts));
}

APMPValueRef APMPFunctionLog::invokeWithArguments(const APMPValueList& arguments, APMPScope& scope,
                                                  ScriptError& error) {
    if (!APMPCheckMinimumArgumentCount(arguments, 1, error)) return APMPUndefined();
    const auto values = APMPEvaluateArguments(arguments, scope, error);
    if (error) return APMPUndefined();
    std::int64_t level = kDefaultScriptLevel;
    std::size_t messageIndex = 0;
    if (values.size() > 1) {
        level = APMSaturatingInt64(values[0]->doubleValueOrError(error));
        messageIndex = 1;
    }
    const auto message = values[messageIndex]->stringValueOrError(error);
    std::vector<std::string> context;
    for (std::size_t i = messageIndex + 1; i < values.size() && context.size() < kMaxContexts && !error; ++i) {
        context.push_back(utf8FromUTF16(values[i]->stringValueOrError(error)));
    }
    if (error) return APMPUndefined();
    if (_logger) _logger->logWithLevel(level, utf8FromUTF16(message), context, _silent, _monitored);
    return APMPUndefined();
}

APMPFunctionLogSilent::APMPFunctionLogSilent(const std::shared_ptr<APMPixieLogger>& logger)
    : APMPNativeFunctionValue(u"silent") {
    setValue(makeRef<APMPFunctionLog>(logger, true, true), u"log");
}

APMPFunctionLogUnmonitored::APMPFunctionLogUnmonitored(const std::shared_ptr<APMPixieLogger>& logger)
    : APMPNativeFunctionValue(u"unmonitored") {
    setValue(makeRef<APMPFunctionLog>(logger, false, false), u"log");
}

APMPMessageLogger::APMPMessageLogger(std::shared_ptr<APMPixieLogger> logger)
    : APMPNativeFunctionValue(u"internal.logger") {
    setValue(makeRef<APMPFunctionLog>(logger, false, true), u"log");
    setValue(makeRef<APMPFunctionLogSilent>(logger), u"silent");
    setValue(makeRef<APMPFunctionLogUnmonitored>(logger), u"unmonitored");
}

}  // namespace measurement
