// Events per second through VEZArurerudo::logEventWithName until they are
// durably stored, as the application runs the engine (upload schedule on:
// every stored event updates it), against raw SQLite one-row transactions
// of the same size in the same run; the engine's start on a database of
// 400,000 stored events against an empty one; and the resident memory held
// per 10,000 accepted events. Real queues and threads, a fresh data folder
// per run, all files on the same disk.
//
//   bench_core_events [EVENTS ...]   backlog sizes (default 2000 10000 100000)
//
// A stored event counts once the engine has committed it: the resignation's
// background task ends only then. Beside each rate: the context switches
// (voluntary + involuntary) and the CPU microseconds (user + system) of the
// whole process per stored event, engine and raw loop alike, the median of
// the runs; the median rate of the runs and the longest run beside the best;
// and the process's peak memory, its context switches and the load average
// at the start and the end of the benchmark.
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "measurement/core/arurerudo.h"
#include "measurement/core/facade.h"
#include "measurement/core/measurement.h"
#include "measurement/foundation/event.h"
#include "measurement/foundation/monitor.h"
#include "measurement/store/database.h"
#include "measurement/store/files.h"
#include "platform/foundation/launch_options.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/user_defaults.h"
#include "platform/frameworks/app_core/app.h"
#include "platform/frameworks/app_core/application_state.h"
#include "platform/frameworks/app_core/background_task.h"
#include "testsupport/test_hooks.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStartRuns = 5;

// Runs of each figure: enough for short runs to see a quiet moment of the
// machine; the best is kept, as the one least disturbed by the rest of it.
int runsFor(int events) { return std::clamp(200000 / std::max(events, 1), 3, 25); }

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// What the process as a whole (every thread) has used so far.
struct Usage {
    long switches = 0;    // voluntary and involuntary context switches
    long involuntary = 0;
    double cpuSeconds = 0;

    static Usage now() {
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
        return {usage.ru_nvcsw + usage.ru_nivcsw, usage.ru_nivcsw, seconds(usage.ru_utime) + seconds(usage.ru_stime)};
    }
};

// Context switches and CPU per stored item over a stretch of the process.
struct PerItem {
    double switches = 0;
    double involuntary = 0;
    double cpuMicroseconds = 0;

    static PerItem between(const Usage& before, const Usage& after, int items) {
        const double n = std::max(items, 1);
        return {(after.switches - before.switches) / n, (after.involuntary - before.involuntary) / n,
                (after.cpuSeconds - before.cpuSeconds) * 1e6 / n};
    }
};

PerItem median(std::vector<PerItem> runs) {
    auto middle = [&](double PerItem::*field) {
        std::vector<double> values;
        for (const auto& run : runs) values.push_back(run.*field);
        return bench::median(values);
    };
    return {middle(&PerItem::switches), middle(&PerItem::involuntary), middle(&PerItem::cpuMicroseconds)};
}

// Resident set size in kilobytes, from /proc.
long residentKilobytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

platform::Value::Dictionary parametersOf(int count) {
    platform::Value::Dictionary parameters;
    for (int i = 0; i < count; ++i) {
        const std::string name = "param_" + std::to_string(i);
        if (i % 2 == 0) {
            parameters[name] = "value number " + std::to_string(i);
        } else {
            parameters[name] = i * 1000;
        }
    }
    return parameters;
}

// The bytes the engine stores for one such event.
std::size_t encodedSize(int parameterCount) {
    measurement::APMParameters parameters;
    for (const auto& [name, value] : parametersOf(parameterCount)) {
        parameters.emplace(name, value.isString() ? measurement::APMValue(value.asString())
                                                  : measurement::APMValue(value.intValue()));
    }
    measurement::APMEvent event("app", true, "bench_event", 1.7e9, 0, parameters);
    return event.protoEvent().protoBuffer().size();
}

// One data folder for the engine and the reference, removed afterwards.
class Folder {
public:
    explicit Folder(const std::string& name)
        : path_(std::filesystem::temp_directory_path() / ("velmora-bench-core-" + name + "-" + std::to_string(::getpid()))) {
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~Folder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

void resetEngine() {
    test_hooks::resetMeasurement();
    platform::BackgroundTasks::shared().reset();
}

// Configures the application over the folder, which starts the engine, and
// waits until the engine has started.
void startEngine(const Folder& folder) {
    platform::ProcessInfo::setApplicationSupportDirectory(folder.path() / "Application Support");
    platform::UserDefaults::setDataDirectory(folder.path() / "Preferences");
    resetEngine();
    platform::VEZApp::configure();
    measurement::APMMeasurement::sharedInstance()->scheduler().workerQueue()->sync([] {});
}

// As the application does when it resigns active: the engine stores what it
// accepted and then ends its background task.
bool waitUntilStored() {
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillResignActiveNotification);
    return platform::BackgroundTasks::shared().waitUntilNoActiveTask(3600);
}

struct EngineFigures {
    double storedPerSecond = 0;
    double acceptedPerSecond = 0;
    double kilobytesPer10000 = 0;
    bool stored = false;
    PerItem perEvent;
};

struct RawFigures {
    double rowsPerSecond = 0;
    PerItem perRow;
};

EngineFigures engineRun(int parameterCount, int events) {
    Folder folder("engine");
    startEngine(folder);
    const auto parameters = parametersOf(parameterCount);
    const long before = residentKilobytes();
    long peak = before;
    const auto usageBefore = Usage::now();
    const auto start = Clock::now();
    for (int i = 0; i < events; ++i) {
        measurement::VEZArurerudo::logEventWithName("bench_event", parameters);
        if (i % 256 == 0) peak = std::max(peak, residentKilobytes());
    }
    const double acceptSeconds = secondsSince(start);
    peak = std::max(peak, residentKilobytes());
    EngineFigures figures;
    figures.stored = waitUntilStored();
    const double storeSeconds = secondsSince(start);
    figures.perEvent = PerItem::between(usageBefore, Usage::now(), events);
    resetEngine();
    figures.storedPerSecond = events / storeSeconds;
    figures.acceptedPerSecond = events / acceptSeconds;
    figures.kilobytesPer10000 = static_cast<double>(peak - before) * 10000.0 / events;
    return figures;
}

bool exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

// Raw SQLite: one row of the engine's raw-event size per transaction, WAL
// journal, synchronous=NORMAL, one prepared statement.
RawFigures rawSqliteRun(int parameterCount, int rows) {
    Folder folder("raw");
    const std::string path = (folder.path() / "raw.sql").string();
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return {};
    exec(db, "PRAGMA journal_mode=WAL");
    exec(db, "PRAGMA synchronous=NORMAL");
    exec(db, "CREATE TABLE raw_events (metadata_fingerprint INTEGER NOT NULL, name TEXT NOT NULL, "
             "timestamp REAL NOT NULL, data BLOB NOT NULL, is_realtime INTEGER NOT NULL DEFAULT 0)");
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO raw_events (metadata_fingerprint, name, timestamp, data) VALUES (?, ?, ?, ?)", -1,
                       &insert, nullptr);
    const std::vector<unsigned char> blob(encodedSize(parameterCount), 0x5a);
    const auto usageBefore = Usage::now();
    const auto start = Clock::now();
    for (int i = 0; i < rows; ++i) {
        exec(db, "BEGIN");
        sqlite3_bind_int64(insert, 1, 42);
        sqlite3_bind_text(insert, 2, "bench_event", -1, SQLITE_STATIC);
        sqlite3_bind_double(insert, 3, 1.7e9 + i);
        sqlite3_bind_blob(insert, 4, blob.data(), static_cast<int>(blob.size()), SQLITE_STATIC);
        sqlite3_step(insert);
        sqlite3_reset(insert);
        exec(db, "COMMIT");
    }
    const double seconds = secondsSince(start);
    RawFigures figures{rows / seconds, PerItem::between(usageBefore, Usage::now(), rows)};
    sqlite3_finalize(insert);
    sqlite3_close(db);
    return figures;
}

// Leaves the engine's database of the folder holding `events` copies of one
// event the engine stored itself (with its header).
void fillDatabase(const Folder& folder, int events) {
    startEngine(folder);
    measurement::VEZArurerudo::logEventWithName("bench_event", parametersOf(10));
    waitUntilStored();
    resetEngine();
    const auto path = (folder.path() / "Application Support/Rozeda/Measurement" / measurement::kAPMDatabaseFileName).string();
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    exec(db, "BEGIN");
    exec(db, "DELETE FROM raw_events WHERE rowid NOT IN (SELECT MAX(rowid) FROM raw_events)");
    const std::string copy =
        "INSERT INTO raw_events (metadata_fingerprint, name, timestamp, data, is_realtime) "
        "SELECT metadata_fingerprint, name, timestamp, data, is_realtime FROM raw_events LIMIT ?";
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, copy.c_str(), -1, &statement, nullptr);
    for (int stored = 1; stored < events;) {
        const int more = std::min(stored, events - stored);
        sqlite3_bind_int(statement, 1, more);
        sqlite3_step(statement);
        sqlite3_reset(statement);
        stored += more;
    }
    sqlite3_finalize(statement);
    if (events == 0) exec(db, "DELETE FROM raw_events");
    exec(db, "COMMIT");
    sqlite3_close(db);
}

// The times from configuring the application until its engine has started
// over the folder's data.
bench::Spread startSeconds(const Folder& folder) {
    std::vector<double> times;
    for (int i = 0; i < kStartRuns; ++i) {
        const auto start = Clock::now();
        startEngine(folder);
        times.push_back(secondsSince(start));
        resetEngine();
    }
    return bench::spreadOf(times);
}

// The median of the runs' rates and the longest run's milliseconds.
std::string rateSpread(const std::vector<double>& perSecond, int items) {
    char text[96];
    std::snprintf(text, sizeof text, "median %7.0f/s, longest run %8.1f ms", bench::median(perSecond),
                  1000.0 * items / std::max(bench::shortest(perSecond), 1e-9));
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    platform::LaunchOptions::install(platform::LaunchOptions::fromVariables(std::getenv));
    measurement::APMMonitor::shared().muteConsole();
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty()) sizes = {2000, 10000, 100000};

    const bench::RunReport report;
    const bench::LoadAverage load = report.loadAtStart();
    std::printf("bench_core_events: logEventWithName until durably stored, upload schedule on;\n"
                "raw = SQLite one-row transactions of the same size, WAL, synchronous=NORMAL, same disk;\n"
                "each rate the best of several runs (25 at 2,000 events, 3 at 100,000); per stored event the\n"
                "median of those runs: context switches of the whole process (voluntary+involuntary, of which\n"
                "involuntary) and its CPU microseconds (user+system); load average at the start %.2f %.2f %.2f\n",
                load.one, load.five, load.fifteen);
    engineRun(1, 500);  // the process's first engine loads what every later one finds loaded
    for (const int parameterCount : {1, 10}) {
        double firstRate = 0;
        for (const int events : sizes) {
            EngineFigures engine;
            RawFigures raw;
            std::vector<PerItem> engineRuns, rawRuns;
            std::vector<double> storedRates, rawRates;
            for (int run = 0; run < runsFor(events); ++run) {
                const auto figures = engineRun(parameterCount, events);
                storedRates.push_back(figures.storedPerSecond);
                engine.stored = engine.stored || figures.stored;
                engine.storedPerSecond = std::max(engine.storedPerSecond, figures.storedPerSecond);
                engine.acceptedPerSecond = std::max(engine.acceptedPerSecond, figures.acceptedPerSecond);
                engine.kilobytesPer10000 = std::max(engine.kilobytesPer10000, figures.kilobytesPer10000);
                engineRuns.push_back(figures.perEvent);
                const auto rawRun = rawSqliteRun(parameterCount, events);
                rawRates.push_back(rawRun.rowsPerSecond);
                raw.rowsPerSecond = std::max(raw.rowsPerSecond, rawRun.rowsPerSecond);
                rawRuns.push_back(rawRun.perRow);
            }
            engine.perEvent = median(engineRuns);
            raw.perRow = median(rawRuns);
            if (firstRate == 0) firstRate = engine.storedPerSecond;
            std::printf("%2d parameters, %6d events: stored %7.0f/s%s, raw %7.0f/s, ratio %.3f; %.2f of the rate at "
                        "%d; accepted %8.0f/s; memory %+6.0f kB per 10,000 accepted\n",
                        parameterCount, events, engine.storedPerSecond, engine.stored ? "" : " (TIMED OUT)",
                        raw.rowsPerSecond, engine.storedPerSecond / raw.rowsPerSecond,
                        engine.storedPerSecond / firstRate, sizes.front(), engine.acceptedPerSecond,
                        engine.kilobytesPer10000);
            std::printf("    per stored event: engine %.2f switches (%.2f involuntary), %.1f us CPU; raw %.2f switches "
                        "(%.2f involuntary), %.1f us CPU; CPU ratio %.2f\n",
                        engine.perEvent.switches, engine.perEvent.involuntary, engine.perEvent.cpuMicroseconds,
                        raw.perRow.switches, raw.perRow.involuntary, raw.perRow.cpuMicroseconds,
                        engine.perEvent.cpuMicroseconds / std::max(raw.perRow.cpuMicroseconds, 1e-9));
            std::printf("    over the %zu runs: stored %s; raw %s\n", storedRates.size(),
                        rateSpread(storedRates, events).c_str(), rateSpread(rawRates, events).c_str());
        }
    }

    Folder empty("open-empty");
    Folder full("open-full");
    fillDatabase(empty, 0);
    fillDatabase(full, 400000);
    const bench::Spread emptyStarts = startSeconds(empty);
    const bench::Spread fullStarts = startSeconds(full);
    const double emptySeconds = emptyStarts.median;
    const double fullSeconds = fullStarts.median;
    std::printf("engine start: empty database %.1f ms, 400,000 stored events %.1f ms, ratio %.2f\n",
                emptySeconds * 1000, fullSeconds * 1000, fullSeconds / emptySeconds);
    std::printf("engine start, medians of %d with the longest: empty database %.1f ms (longest %.1f), 400,000 stored "
                "events %.1f ms (longest %.1f)\n",
                kStartRuns, emptySeconds * 1000, emptyStarts.longest * 1000, fullSeconds * 1000,
                fullStarts.longest * 1000);
    report.printEnd("bench_core_events");
    return 0;
}
