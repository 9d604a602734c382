// A long history in the preferences: `velmora app` launched, launched for
// one calculation, and relaunched after it, on data folders whose history
// holds 2, 1,000, 10,000 and 50,000 entries, each step a process of its own.
// Per size: the wall time of each step (medians), what the calculation adds
// to a launch, the peak memory, the context switches, and each figure as a
// ratio to the same figure at 2 entries in this run; beside them the longest
// wall time and the largest peak of each step. The sizes take turns in
// every round, so that a change of load falls on all of them alike. The load
// average at the start and the end, and this process's own peak memory and
// context switches, close the run.
//
// The histories are written by this program run again as a child of its
// own, so that the memory they take is not counted in the peaks: a child
// forked from a large process carries the parent's peak as its own.
//
//   bench_history [ROUNDS] [SIZE...]   rounds of every step (default 3)
//   VELMORA_TOOL=path                  another build of the velmora command
//                                      (set VELMORA_RESOURCES for its bundle)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bench_process.h"
#include "platform/foundation/plist_codec.h"
#include "platform/foundation/value.h"
#include "testsupport/sample_history.h"

#ifndef VELMORA_TOOL_PATH
#define VELMORA_TOOL_PATH "velmora"
#endif

namespace {

namespace fs = std::filesystem;
using platform::Value;

using bench::runProcess;
using Run = bench::ProcessRun;
using bench::median;

void writeText(const fs::path& file, const std::string& text) { std::ofstream(file, std::ios::binary) << text; }

std::optional<std::string> readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A calculation as the calculator page stores it.
Value entry(std::size_t i) { return testsupport::sampleHistoryEntry(i); }

// The preferences file of a data folder after its first launch: the one
// that holds the history.
std::optional<fs::path> historyFile(const fs::path& data) {
    std::error_code error;
    for (const auto& item : fs::directory_iterator(data / "Preferences", error)) {
        auto bytes = readText(item.path());
        auto root = bytes ? platform::parsePropertyList(*bytes) : std::nullopt;
        if (root && root->isDictionary() && root->find("Calculations")) return item.path();
    }
    return std::nullopt;
}

// The first-launch folder with `count` entries in its history and the
// rating prompt already answered, so that no step meets the prompt.
bool prepare(const fs::path& firstLaunch, const fs::path& folder, std::size_t count) {
    fs::copy(firstLaunch, folder, fs::copy_options::recursive);
    const auto file = historyFile(folder);
    if (!file) return false;
    auto root = platform::parsePropertyList(*readText(*file));
    Value::Array history;
    history.reserve(count);
    for (std::size_t i = 0; i < count; ++i) history.push_back(entry(i));
    root->asDictionary()["Calculations"] = Value(std::move(history));
    root->asDictionary()["isRatingAlreadyDone"] = Value(true);
    writeText(*file, platform::writePropertyListBinary(*root));
    return true;
}

enum Step { launch, calculation, relaunch, stepCount };
const char* const kStepNames[stepCount] = {"launch", "launch + calculation", "relaunch"};

struct Figures {
    std::vector<double> wall[stepCount], peak[stepCount], switches[stepCount];
    std::vector<double> adds;  // launch + calculation minus launch, round by round
    std::uintmax_t fileBytes = 0;
    int failures = 0;
};

void record(Figures& figures, Step step, const Run& run) {
    figures.wall[step].push_back(run.wallSeconds);
    figures.peak[step].push_back(run.peakMegabytes);
    figures.switches[step].push_back(static_cast<double>(run.switches));
    figures.failures += run.status != 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--write-history") {
        return prepare(argv[2], argv[3], static_cast<std::size_t>(std::atoll(argv[4]))) ? 0 : 1;
    }
    const bench::RunReport report;
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    std::vector<std::size_t> sizes;
    for (int i = 2; i < argc; ++i) sizes.push_back(static_cast<std::size_t>(std::atoll(argv[i])));
    if (sizes.empty()) sizes = {2, 1000, 10000, 50000};
    const char* tool = std::getenv("VELMORA_TOOL");
    const std::string velmora = tool && *tool ? tool : VELMORA_TOOL_PATH;
    // As the runner's tests run it: nothing leaves the machine, English.
    for (const char* name : {"VELMORA_MEASUREMENT_SERVICE_URL", "VELMORA_REMOTE_CONFIG_SOURCE", "VELMORA_DATA"}) {
        ::unsetenv(name);
    }
    ::setenv("VELMORA_CONNECTION_PROBE_URL", "http://127.0.0.1:9/", 1);
    ::setenv("LC_ALL", "en_US", 1);

    const fs::path scratch = fs::temp_directory_path() / ("velmora-bench-history-" + std::to_string(::getpid()));
    fs::create_directories(scratch);
    writeText(scratch / "first.script",
              "alert Accept\ntap Next\ntap Next\ntap Next\ntap Next\ntap Let's start\nquit\n");
    writeText(scratch / "launch.script", "quit\n");
    writeText(scratch / "calculation.script",
              "focus k\nkey del del del\nkey 3\nfocus n\nkey del del del\nkey 8\nfocus p\nkey del del del del\n"
              "key 0.5\nkey calc\nquit\n");
    auto app = [&](const fs::path& data, const char* script) {
        return runProcess({velmora, "app", "--data", data.string(), "--script", (scratch / script).string()});
    };
    const fs::path firstLaunch = scratch / "first";
    if (app(firstLaunch, "first.script").status != 0 || !historyFile(firstLaunch)) {
        std::printf("bench_history: the first launch failed (velmora at %s)\n", velmora.c_str());
        fs::remove_all(scratch);
        return 1;
    }
    std::map<std::size_t, Figures> figures;
    for (const auto size : sizes) {
        const auto folder = scratch / ("history-" + std::to_string(size));
        const auto written = runProcess({fs::read_symlink("/proc/self/exe").string(), "--write-history",
                                      firstLaunch.string(), folder.string(), std::to_string(size)});
        if (written.status != 0) {
            std::printf("bench_history: could not write a history of %zu entries\n", size);
            fs::remove_all(scratch);
            return 1;
        }
        // Found by its size, not read: this process stays small.
        for (const auto& item : fs::directory_iterator(folder / "Preferences")) {
            figures[size].fileBytes = std::max(figures[size].fileBytes, fs::file_size(item.path()));
        }
    }

    std::printf("bench_history: velmora app on a history of each size, %d rounds, medians; load average at the start "
                "%s\n",
                rounds, bench::LoadAverage::now().text().c_str());
    for (int round = 0; round < rounds; ++round) {
        for (const auto size : sizes) {
            const auto folder = scratch / ("history-" + std::to_string(size));
            const auto work = scratch / "work";
            Figures& f = figures[size];
            fs::remove_all(work);
            fs::copy(folder, work, fs::copy_options::recursive);
            const Run launched = app(work, "launch.script");
            record(f, launch, launched);
            fs::remove_all(work);
            fs::copy(folder, work, fs::copy_options::recursive);
            const Run calculated = app(work, "calculation.script");
            record(f, calculation, calculated);
            f.adds.push_back(calculated.wallSeconds - launched.wallSeconds);
            record(f, relaunch, app(work, "launch.script"));
        }
    }

    const Figures& reference = figures.begin()->second;
    // What a calculation adds at the smallest size may be lost in the noise
    // of starting a process: no ratio is drawn from less than a millisecond.
    const double referenceAdds = median(reference.adds);
    const double referencePeak = median(reference.peak[calculation]);
    std::printf("%8s %9s | %-22s %9s %6s %8s %9s | %-12s %9s %6s | %10s %8s\n", "entries", "file KB", "step", "wall ms",
                "ratio", "peak MB", "switches", "calc adds", "ms", "ratio", "longest ms", "peak max");
    for (const auto& [size, f] : figures) {
        for (int step = 0; step < stepCount; ++step) {
            const double wall = median(f.wall[step]);
            const double ratio = wall / median(reference.wall[step]);
            std::printf("%8zu %9.1f | %-22s %9.1f %6.2f %8.1f %9.0f |", size, static_cast<double>(f.fileBytes) / 1024.0,
                        kStepNames[step], wall * 1000, ratio, median(f.peak[step]), median(f.switches[step]));
            if (step == calculation) {
                std::printf(" %-12s %9.1f", "", median(f.adds) * 1000);
                if (referenceAdds >= 1e-3) {
                    std::printf(" %6.2f", median(f.adds) / referenceAdds);
                } else {
                    std::printf(" %6s", "-");
                }
            } else {
                std::printf(" %-12s %9s %6s", "", "", "");
            }
            std::printf(" | %10.1f %8.1f", bench::longest(f.wall[step]) * 1000, bench::longest(f.peak[step]));
            std::printf("%s\n", f.failures ? " (SOME RUNS FAILED)" : "");
        }
        std::printf("%8s %9s   peak memory %.2fx of %zu entries\n", "", "", median(f.peak[calculation]) / referencePeak,
                    figures.begin()->first);
    }
    std::printf("load average at the end %s\n", bench::LoadAverage::now().text().c_str());
    fs::remove_all(scratch);
    report.printEnd("bench_history itself");
    return 0;
}
