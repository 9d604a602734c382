#pragma once

// Runs the bundler over a database until nothing is left, on the given
// queue, for tests that drive the engine core. Kept apart from the core's
// headers: this file's unit sees only the bundler's.

#include <filesystem>

#include "measurement/store/database.h"
#include "platform/dispatch/queue.h"

namespace upload_test {

// The number of calls that consumed raw events. The server configuration is
// the built-in default; the bundler's settings live in settingsPath.
int bundleAllRawEvents(measurement::APMDatabase& database, platform::dispatch::Queue& workerQueue,
                       const std::filesystem::path& settingsPath);

}  // namespace upload_test
