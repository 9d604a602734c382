#pragma once

// What the engine builds event editing with: for each configuration that
// carries a program, a new host with the engine's modules
// ("internal.remoteConfig", "internal.appMetadata", "internal.logger"),
// into which the program is loaded.

#include <memory>

#include "measurement/foundation/monitor.h"
#include "measurement/script/object_manager.h"
#include "measurement/store/remote_config_seams.h"

namespace measurement {

class APMPEventEditingFactory final : public APMEventEditingFactory {
public:
    // Program logs go to the monitor; runs are bounded by the limits.
    explicit APMPEventEditingFactory(APMMonitor& monitor = APMMonitor::shared(), APMPRuntimeLimits limits = {})
        : monitor_(monitor), limits_(limits) {}

    // The loaded host; none with the error (of the script or the editing
    // error domain, carrying its code) when the program does not load.
    // The host runs on one queue at a time.
    std::shared_ptr<APMEventEditingHost> makeEventEditingWithProgram(const APMPBProgram& program,
                                                                     const APMEventEditingModules& modules,
                                                                     APMErrorOut error) override;

private:
    APMMonitor& monitor_;
    APMPRuntimeLimits limits_;
};

}  // namespace measurement
