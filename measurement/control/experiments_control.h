#pragma once

// The engine's experiments client as a program that runs the engine sees it:
// whether it has a service, its fetch, the snapshot put in force, and what
// it holds, as plain values.

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace measurement::control {

// The address experiment requests go to; empty without a service.
std::string experimentsFetchURL();
// Whether the running engine has an experiments client.
bool hasExperimentsClient();
// What came of the fetch waited for.
struct ExperimentsFetch {
    // A fetch ended within the time.
    bool ended = false;
    // Why it brought nothing, in words; none when it brought an answer.
    std::optional<std::string> failure;
};
// Waits, running the main queue as the application's loop would, until a
// fetch ended after `since` (wall time), answered or failed, then lets the
// client pass on what it brought; not ended when none did within the
// timeout.
ExperimentsFetch waitForExperimentsFetch(double since, double timeoutSeconds);
// What the engine does once it has nothing left to upload: a snapshot the
// client was told of goes in force.
void activateFetchedSnapshot();
// The snapshot tables, in the order they are shown: activated, pending,
// launched.
const std::vector<std::string>& snapshotTables();
// "service", "experiment_ids", "regional_defaults_enabled", "last_success",
// "last_failure", "tables" (each table's snapshots) and "error": why the
// experiments database could not be read, null when it was.
platform::Value experimentsState();

}  // namespace measurement::control
