// `velmora collector`: the local collector on 127.0.0.1, for people to see
// what the engine uploads.
#include <pthread.h>
#include <signal.h>

#include <cstdint>
#include <iostream>
#include <limits>
#include <memory>
#include <stdexcept>
#include <thread>

#include "tools/collector/collector_service.h"
#include "tools/command_registry.h"
#include "tools/option_values.h"
#include "tools/path_options.h"
#include "tools/command_summaries.h"

namespace {

using tools::collector::CollectorOptions;
using tools::collector::CollectorService;

sigset_t stopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

// Serves until SIGINT, SIGTERM or the batch limit. The signals are blocked
// before any thread starts, so that every thread inherits the mask and only
// the waiting thread takes them. Options the service refuses (an address
// other than loopback, a file it cannot serve) end the command as the
// command line's errors do, with status 2; a port it cannot have, with 1.
int runCollector(const CollectorOptions& options) {
    const sigset_t signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::unique_ptr<CollectorService> service;
    try {
        service = std::make_unique<CollectorService>(options, std::cout);
    } catch (const std::invalid_argument& refused) {
        tools::sayError("velmora collector", refused.what());
        return 2;
    }
    try {
        service->start();
        std::thread signalWaiter([&service, signals] {
            int signal = 0;
            sigwait(&signals, &signal);
            service->stop();
        });
        service->waitUntilFinished();
        service->stop();
        // Wakes the waiter when the batch limit, not a signal, ended the run.
        pthread_kill(signalWaiter.native_handle(), SIGTERM);
        signalWaiter.join();
        // Said as it happened: the batches after it are in no log.
        return service->logFailure() ? 1 : 0;
    } catch (const std::exception& failure) {
        tools::sayError("velmora collector", failure.what());
        return 1;
    }
}

// What the collector refuses before it starts, help asked for or not: a
// preferences folder that cannot serve, a file to serve that cannot be
// read, a log that is no regular file, and options or files the service
// will not take (CollectorService::refusedOptions). Only checks: the log is
// neither made nor opened.
std::optional<std::string> refusedCollectorOptions(const CollectorOptions& options,
                                                   const platform::LaunchOptions& launch) {
    tools::requirePreferencesFolder("velmora collector", launch);
    for (const auto& [option, path] : {std::pair{"--config", options.configPath},
                                       {"--remote-values", options.remoteValuesPath},
                                       {"--search-ad-reply", options.searchAdReplyPath},
                                       {"--skan-reply", options.skanReplyPath},
                                       {"--experiments", options.experimentsPath},
                                       {"--log", options.logPath}}) {
        if (path) tools::requireName("velmora collector", option, *path);
    }
    // What it serves is read as it starts: a file that cannot be read, or
    // no file to append the log to, is refused here, with why.
    for (const auto& [option, path] : {std::pair{"--config", options.configPath},
                                       {"--remote-values", options.remoteValuesPath},
                                       {"--search-ad-reply", options.searchAdReplyPath},
                                       {"--skan-reply", options.skanReplyPath},
                                       {"--experiments", options.experimentsPath}}) {
        std::string why;
        if (path && !tools::readWholeFile(*path, &why)) tools::refuse("velmora collector", option + (" " + why));
    }
    if (const auto why = options.logPath ? tools::unusableFile(*options.logPath) : std::nullopt) {
        tools::refuse("velmora collector", "--log " + *why + ": " + options.logPath->string());
    }
    return CollectorService::refusedOptions(options);
}

tools::CommandRegistration registration([](CLI::App& app, int& status, const platform::LaunchOptions& launch) {
    auto options = std::make_shared<CollectorOptions>();
    auto* command = app.add_subcommand("collector", tools::summaries::kCollector);
    const auto served = tools::pathGiven("a file (or leave the option out to serve none)");
    command->add_option("--port", options->port, "port to listen on; 0 picks a free one")
        ->transform(tools::wholeNumber(0, 65535))
        ->required();
    command->add_option("--host", options->address, "address to listen on: 127.0.0.1 only")
        ->default_str("127.0.0.1");
    command->add_option("--config", options->configPath,
                        "measurement configuration to serve: JSON form, or encoded when named *.pb")
        ->check(served);
    command->add_option("--remote-values", options->remoteValuesPath,
                        "remote-configuration document to serve at /remote-values: {\"entries\": {...}}")
        ->check(served);
    command->add_option("--search-ad-reply", options->searchAdReplyPath,
                        "JSON reply to attribution tokens posted to /api/v1/: {\"attribution\": true, ...}")
        ->check(served);
    command->add_option("--skan-reply", options->skanReplyPath,
                        "JSON description of the reply to conversion-value requests posted to /skan: "
                        "{\"status\": 1, \"fine_value\": 5, \"coarse_value\": 2, \"result_valid_seconds\": 86400, "
                        "\"event_time_from_request\": true, ...}")
        ->check(served);
    command->add_option("--experiments", options->experimentsPath,
                        "experiments reply to serve, gzipped, at /sdk-exp: JSON form, or encoded when named *.pb")
        ->check(served);
    command->add_option("--app-id", options->appId, "serve the configuration to this app identifier only");
    command->add_option("--status-a", options->batchStatus, "answer to a batch: 204, or 429, 500, 503 ...")
        ->transform(tools::wholeNumber(200, 599))
        ->default_str("204");
    command->add_option("--log", options->logPath, "append one JSON object per received batch to this file")
        ->check(tools::pathGiven("a file (or leave the option out for no log)"));
    command->add_option("--once", options->stopAfterBatches, "stop after this many batches")
        ->transform(tools::wholeNumber(0, std::numeric_limits<std::int64_t>::max()));
    // Help refuses what the command refuses: everything but the port and
    // the log's opening is checked before it starts.
    tools::runCheckedWords(
        *command, [options, &launch] { return refusedCollectorOptions(*options, launch); },
        [options, &status] {
            status = runCollector(*options);
        });
});

}  // namespace
