// The experiments client's log, passed on unchanged to the measurement monitor.
#include "measurement/experiments/experiments_monitor.h"

namespace measurement {

APMEMonitor& APMEMonitor::shared() {
    static APMEMonitor monitor(APMMonitor::shared());
    return monitor;
}

void APMEMonitor::logWithLevel(int level, long messageCode, const std::string& message) {
    monitor_.logWithLevel(level, messageCode, message);
}

void APMEMonitor::logWithLevel(int level, long messageCode, const std::string& message,
                               const platform::Value& context) {
    monitor_.logWithLevel(level, messageCode, message, context);
}

void APMEMonitor::logWithLevel(int level, long messageCode, const std::string& message,
                               const platform::Value& context1, const platform::Value& context2) {
    monitor_.logWithLevel(level, messageCode, message, context1, context2);
}

void APMEMonitor::logWithLevel(int level, long messageCode, const std::string& message,
                               const platform::Value& context1, const platform::Value& context2,
                               const platform::Value& context3) {
    monitor_.logWithLevel(level, messageCode, message, context1, context2, context3);
}

void APMEMonitor::clearMonitoringData() { monitor_.clearMonitoringData(); }

}  // namespace measurement
