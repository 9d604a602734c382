// `velmora experiments [--fetch] [--json] [--data DIR]`: starts the measurement
// engine as the application does and prints what its experiments client
// holds: the experiment IDs that go into bundles, the server configuration's
// experiment flag, and the activated, pending and launched snapshots stored.
// With --fetch it first waits for the client's first fetch of the run (ten
// seconds after the start) from the experiments service named by
// $VELMORA_EXPERIMENTS_SERVICE_URL (or the service property list), lets the
// engine upload what it stored, puts the fetched snapshot in force as the
// engine does once nothing is left to upload, and then prints.
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>

#include "measurement/control/engine_control.h"
#include "measurement/control/experiments_control.h"
#include "platform/foundation/json_codec.h"
#include "tools/command_registry.h"
#include "tools/option_values.h"
#include "tools/data_folder.h"
#include "tools/fetch_network.h"
#include "tools/kept_preferences.h"
#include "tools/lock_waits.h"
#include "tools/path_options.h"
#include "velmora/analytics/measurement_analytics.h"

namespace {

using platform::Value;

constexpr double kWaitSeconds = 60;

struct ExperimentsOptions {
    std::string data;
    bool fetch = false;
    bool json = false;
};

// Waits until the engine has handled everything accepted so far (which
// first waits for its start).
bool waitUntilEngineStarted() {
    return measurement::control::waitUntilHandled(kWaitSeconds);
}

// As the application does when it resigns active: what is stored goes up
// (with no service to take it, it stays), and a batch sent is answered
// before the command goes on.
bool uploadStored(double* seconds) {
    const auto upload = measurement::control::uploadBeforeExit();
    *seconds = upload.seconds;
    return upload.ended;
}

void printState(const Value& state) {
    const std::string service = state["service"].stringValue();
    std::cout << "experiments service: " << (service.empty() ? "none" : service) << '\n';
    std::cout << "experiment IDs in bundles:";
    if (state["experiment_ids"].asArray().empty()) std::cout << " none";
    for (const auto& id : state["experiment_ids"].asArray()) std::cout << ' ' << id.intValue();
    std::cout << "\nregional defaults: " << (state["regional_defaults_enabled"].boolValue() ? "on" : "off") << '\n';
    for (const auto& table : measurement::control::snapshotTables()) {
        const auto& rows = state["tables"][table];
        std::cout << table << ':';
        if (!rows.isArray() || rows.asArray().empty()) std::cout << " none";
        std::cout << '\n';
        if (!rows.isArray()) continue;
        for (const auto& row : rows.asArray()) {
            std::cout << "  " << row["description"].stringValue()
                      << (row["manually_activated"].boolValue() ? " (activated by its SDK)" : "") << '\n';
        }
    }
}

int runExperiments(const ExperimentsOptions& options, const platform::LaunchOptions& launch) {
    tools::useDataFolder(tools::requireDataFolder("velmora experiments", options.data, launch));
    tools::requireBundle("velmora experiments", launch);
    if (options.fetch && tools::refuseFetchWithoutNetwork("velmora experiments")) return 1;
    // Without a service a fetch can only fail, a minute later: say so now.
    if (options.fetch && measurement::control::experimentsFetchURL().empty()) {
        std::cerr << "velmora experiments: --fetch needs an experiments service, and none is configured: set "
                     "$VELMORA_EXPERIMENTS_SERVICE_URL (the address of a running `velmora collector`, say)\n";
        return 1;
    }
    const double start = static_cast<double>(std::time(nullptr));
    if (!velmora::configureMeasurementAnalytics() || !waitUntilEngineStarted()) {
        std::cerr << "velmora experiments: the engine did not start\n";
        return 1;
    }
    if (!measurement::control::hasExperimentsClient()) {
        std::cerr << "velmora experiments: the engine has no experiments client\n";
        return 1;
    }
    // Without --fetch nothing is waited for.
    const auto fetch = options.fetch ? measurement::control::waitForExperimentsFetch(start, kWaitSeconds)
                                     : measurement::control::ExperimentsFetch{true, std::nullopt};
    if (!fetch.ended) {
        std::cerr << "velmora experiments: no fetch ended within " << kWaitSeconds << " s\n";
        return 1;
    }
    double uploadSeconds = 0;
    if (!uploadStored(&uploadSeconds)) {
        std::cerr << "velmora experiments: the engine's upload did not end within " << uploadSeconds << " s\n";
        return 1;
    }
    if (options.fetch) measurement::control::activateFetchedSnapshot();
    const auto state = measurement::control::experimentsState();
    // Tables that could not be read are not shown as empty.
    if (state["error"].isString()) {
        tools::sayError("velmora experiments", state["error"].stringValue());
        return 1;
    }
    if (options.json) {
        std::cout << platform::writeJSON(state, true) << '\n';
    } else {
        printState(state);
    }
    if (options.fetch && (fetch.failure || state["last_success"].realValue() < start)) {
        tools::sayError("velmora experiments", "the fetch failed" + (fetch.failure ? ": " + *fetch.failure : ""));
        return 1;
    }
    return 0;
}

const tools::CommandRegistration registration([](CLI::App& app, int& status, const platform::LaunchOptions& launch) {
    auto options = std::make_shared<ExperimentsOptions>();
    auto* command = app.add_subcommand(
        "experiments", "Start the measurement engine and print its experiments: IDs in bundles, flags, stored snapshots");
    command->add_flag("--fetch", options->fetch,
                      "Wait for the first fetch of the run (10 s after the start) and let the engine put it in force");
    command->add_flag("--json", options->json, "Print the state as JSON");
    command->add_option("--data,--data-dir", options->data,
                        "Data folder (default: $VELMORA_DATA, else velmora under the user's data home)")
        ->check(tools::pathGiven("a folder (or leave the option out for the default)"));
    tools::runCheckedWords(
        *command,
        [options, &launch]() -> std::optional<std::string> {
            tools::requireDataFolder("velmora experiments", options->data, launch);
            tools::requireBundle("velmora experiments", launch);
            return std::nullopt;
        },
        [options, &status, &launch] {
            const int outcome = runExperiments(*options, launch);
            // The engine goes before the process ends, a batch still out
            // answered first, and its settings are written.
            measurement::control::shutdown();
            // What it prints, and what --fetch puts in force, is the
            // experiments database's.
            status = tools::reportUnkeptPreferences(
                "velmora experiments", tools::reportGivenUpLockWaits("velmora experiments", outcome,
                                                                     {tools::SharedFile::experimentsDatabase}));
        });
});

}  // namespace
