// No subcommand of its own: plugs the measurement engine's batch upload, its
// timer and the configuration fetch into the engine of every command that
// runs the application (`velmora calc`, `velmora analytics log`), so that
// their events go to the measurement service named by the service property
// list or by $VELMORA_MEASUREMENT_SERVICE_URL. Launch arguments such as
// "-VEZArurerudoDebugEnabled" (debug mode: the shortest upload interval)
// reach the engine's monitor here.
#include "measurement/foundation/monitor.h"
#include "measurement/upload/engine_upload.h"
#include "tools/command_registry.h"

namespace {

const tools::CommandRegistration registration([](CLI::App&, int&) {
    measurement::APMInstallUploadComponents();
    measurement::APMMonitor::shared().reloadLaunchArguments();
});

}  // namespace
