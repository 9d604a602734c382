// The experiments client's log: every line goes to the measurement monitor.
#pragma once

#include <string>

#include "measurement/foundation/monitor.h"
#include "platform/foundation/value.h"

namespace measurement {

class APMEMonitor {
public:
    explicit APMEMonitor(APMMonitor& monitor) : monitor_(monitor) {}

    // The client's shared log, around the engine's monitor; made once.
    static APMEMonitor& shared();

    void logWithLevel(int level, long messageCode, const std::string& message);
    void logWithLevel(int level, long messageCode, const std::string& message, const platform::Value& context);
    void logWithLevel(int level, long messageCode, const std::string& message, const platform::Value& context1,
                      const platform::Value& context2);
    void logWithLevel(int level, long messageCode, const std::string& message, const platform::Value& context1,
                      const platform::Value& context2, const platform::Value& context3);
    void clearMonitoringData();

private:
    APMMonitor& monitor_;
};

}  // namespace measurement
