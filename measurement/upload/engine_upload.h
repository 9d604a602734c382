#pragma once

namespace measurement {

// Plugs the batch upload, its timer and the configuration fetch into the
// engine core's seams. The parts are assembled for each engine on its first
// call from the worker queue, over that engine's database, network, alarm
// and background task. Call before the default application is configured;
// calling again changes nothing.
void APMInstallUploadComponents();

}  // namespace measurement
