// One event per process: `velmora analytics log` on an existing data
// folder against the sqlite3 command inserting one row per process into a
// write-ahead-log database (synchronous=NORMAL, as the engine's), the two in
// turn in the same run, with the ratio pair by pair; `velmora --help` beside
// them as what merely starting the program costs. Given a second build, its
// `analytics log` on a data folder of its own runs in turn with the first,
// and the ratio of their CPU is printed pair by pair. Each command's median,
// longest, peak memory and context switches, with the load average at the
// start and the end. And the syncs to disk (fsync, fdatasync and their kin)
// each process makes, counted with strace when it is installed
// (./scripts/install-deps strace).
//
//   bench_event_per_process [RUNS]   runs of each command (default 20)
//   VELMORA_TOOL=path                another build of the velmora command
//   VELMORA_BASE_TOOL=path           the build to compare it with, run in turn
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "bench_process.h"

#ifndef VELMORA_TOOL_PATH
#define VELMORA_TOOL_PATH "velmora"
#endif

namespace {

using Command = std::vector<std::string>;

using bench::runProcess;
using Run = bench::ProcessRun;
using bench::longest;
using bench::median;

bool onPath(const std::string& program) {
    return runProcess({"sh", "-c", "command -v " + program}).status == 0;
}

// The syncs to disk the command makes, every thread of it, or none when
// strace is not there.
std::optional<int> syncsOf(const Command& command, const std::filesystem::path& scratch) {
    const auto log = scratch / "strace.txt";
    Command traced = {"strace", "-f", "-qq", "-o", log.string(), "-e",
                      "trace=fsync,fdatasync,syncfs,sync,sync_file_range,msync"};
    traced.insert(traced.end(), command.begin(), command.end());
    if (runProcess(traced).status != 0) return std::nullopt;
    std::ifstream lines(log);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) count += line.find("sync") != std::string::npos && line.find("= 0") != std::string::npos;
    return count;
}

struct Figures {
    std::vector<double> wall, cpu, switches;
    double peakMegabytes = 0;
    int failures = 0;
    void add(const Run& run) {
        wall.push_back(run.wallSeconds);
        cpu.push_back(run.cpuSeconds);
        switches.push_back(static_cast<double>(run.switches));
        peakMegabytes = std::max(peakMegabytes, run.peakMegabytes);
        failures += run.status != 0;
    }
};

void print(const char* name, const Figures& figures) {
    std::printf("%-34s wall %6.1f ms (min %6.1f, longest %6.1f), cpu %6.1f ms (longest %6.1f), peak %5.1f MB, "
                "context switches %4.0f (most %4.0f)%s\n",
                name, median(figures.wall) * 1000, bench::shortest(figures.wall) * 1000,
                longest(figures.wall) * 1000, median(figures.cpu) * 1000, longest(figures.cpu) * 1000,
                figures.peakMegabytes, median(figures.switches), longest(figures.switches),
                figures.failures ? " (SOME RUNS FAILED)" : "");
}

void printLoad(const char* when) {
    std::printf("load average %s %s\n", when, bench::LoadAverage::now().text().c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const char* tool = std::getenv("VELMORA_TOOL");
    const std::string velmora = tool && *tool ? tool : VELMORA_TOOL_PATH;
    const char* baseTool = std::getenv("VELMORA_BASE_TOOL");
    const std::string base = baseTool ? baseTool : "";
    if (!onPath("sqlite3")) {
        std::printf("bench_event_per_process: the sqlite3 command is not installed\n");
        return 0;
    }
    const auto scratch =
        std::filesystem::temp_directory_path() / ("velmora-bench-per-process-" + std::to_string(::getpid()));
    std::filesystem::create_directories(scratch);
    const auto data = (scratch / "data").string();
    const auto baseData = (scratch / "base-data").string();
    const auto raw = (scratch / "raw.sql").string();

    const Command logEvent = {velmora, "analytics", "log", "bench_event", "index=7", "--data", data};
    const Command insertRow = {"sqlite3", raw,
                               "PRAGMA synchronous=NORMAL; INSERT INTO raw_events (metadata_fingerprint, name, "
                               "timestamp, data) VALUES (42, 'bench_event', 1.7e9, zeroblob(60))"};
    const Command baseLogEvent = {base, "analytics", "log", "bench_event", "index=7", "--data", baseData};
    const Command start = {velmora, "--help"};
    // Existing files: the data folder after its first event, the table in WAL.
    const bool ready =
        runProcess(logEvent).status == 0 && (base.empty() || runProcess(baseLogEvent).status == 0) &&
        runProcess({"sqlite3", raw,
                 "PRAGMA journal_mode=WAL; CREATE TABLE raw_events (metadata_fingerprint INTEGER NOT NULL, name TEXT "
                 "NOT NULL, timestamp REAL NOT NULL, data BLOB NOT NULL, is_realtime INTEGER NOT NULL DEFAULT 0)"})
                .status == 0 &&
        runProcess(insertRow).status == 0;
    if (!ready) {
        std::printf("bench_event_per_process: could not prepare the files (velmora at %s)\n", velmora.c_str());
        std::filesystem::remove_all(scratch);
        return 1;
    }

    std::printf("bench_event_per_process: one event per process on existing files, %d runs of each in turn, "
                "medians\n",
                runs);
    printLoad("at the start");
    Figures logged, baseLogged, inserted, started;
    std::vector<double> ratios, startRatios, baseRatios;
    for (int i = 0; i < runs; ++i) {
        const auto a = runProcess(logEvent);
        if (!base.empty()) {
            const auto other = runProcess(baseLogEvent);
            baseLogged.add(other);
            if (other.cpuSeconds > 0) baseRatios.push_back(a.cpuSeconds / other.cpuSeconds);
        }
        const auto b = runProcess(insertRow);
        const auto c = runProcess(start);
        logged.add(a);
        inserted.add(b);
        started.add(c);
        ratios.push_back(a.wallSeconds / b.wallSeconds);
        startRatios.push_back(c.wallSeconds / b.wallSeconds);
    }
    printLoad("at the end");
    print("velmora analytics log", logged);
    if (!base.empty()) print("the base build's analytics log", baseLogged);
    print("sqlite3 one-row insert (WAL)", inserted);
    print("velmora --help (starting only)", started);
    std::printf("ratio log/insert %.2f, --help/insert %.2f (medians of the pairs)\n", median(ratios),
                median(startRatios));
    if (!baseRatios.empty()) {
        std::printf("cpu of analytics log against the base build's: %.3f (median of the pairs), %.3f (of the medians)\n",
                    median(baseRatios), median(logged.cpu) / median(baseLogged.cpu));
    }

    if (onPath("strace")) {
        const auto logSyncs = syncsOf(logEvent, scratch);
        const auto insertSyncs = syncsOf(insertRow, scratch);
        std::printf("syncs to disk per process: velmora analytics log %s (engine start, the event and close together), "
                    "sqlite3 insert %s\n",
                    logSyncs ? std::to_string(*logSyncs).c_str() : "?",
                    insertSyncs ? std::to_string(*insertSyncs).c_str() : "?");
    } else {
        std::printf("syncs to disk not counted: strace is not installed (./scripts/install-deps strace)\n");
    }
    std::filesystem::remove_all(scratch);
    return 0;
}
