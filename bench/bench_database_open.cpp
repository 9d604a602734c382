// What opening the measurement database costs with 30,000 stored events:
// the store's open and its check (the pages every reader starts from, and
// the small tables whole), the small tables' check alone, and beside them,
// measured in the same run, a bare SQLite open and SQLite's quick check of
// the whole file. Medians of many opens; the load average and the context
// switches of the run beside them.
//
//   bench_database_open [OPENS]   opens of each kind (default 50)
#include <sqlite3.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_fixture.h"
#include "bench/bench_process.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/scheduler.h"
#include "measurement/store/database.h"
#include "measurement/store/sqlite_store.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/launch_options.h"

using namespace measurement;

namespace {

constexpr int kEvents = 30000;
constexpr std::int64_t kFingerprint = 42;

// The median seconds of the action, run that many times.
double medianSeconds(int runs, const std::function<void()>& action) {
    std::vector<double> seconds;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        action();
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return bench::median(seconds);
}

void fill(const std::string& path) {
    APMScheduler scheduler;
    scheduler.workerQueue()->sync([&] {
        auto database = APMDatabase::makeWithPath(path, nullptr);
        if (!database) {
            std::fprintf(stderr, "cannot open the database\n");
            std::exit(1);
        }
        database->insertRawEventMetadata(APMPBMeasurementBundle(), kFingerprint, nullptr);
        const double start = platform::dispatch::currentClock()->now() - kEvents;
        database->performTransaction([&] {
            for (int i = 0; i < kEvents; ++i) {
                database->insertRawEvent(bench::calculatorSessionEvent(i, start), kFingerprint, nullptr);
            }
            return true;
        });
    });
}

// A bare open: the connection, and the schema read once.
void bareOpen(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

void wholeQuickCheck(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_exec(db, "PRAGMA quick_check", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

long contextSwitches() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

}  // namespace

int main(int argc, char** argv) {
    const int opens = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    platform::LaunchOptions::install(platform::LaunchOptions::fromVariables(std::getenv));
    APMMonitor::shared().muteConsole();
    bench::ScratchFolder dir("database-open");
    const std::string path = (dir / "measurement.sql").string();
    fill(path);
    std::printf("opening a measurement database of %d events (%lld KiB), median of %d opens each\n", kEvents,
                static_cast<long long>(std::ifstream(path, std::ios::ate | std::ios::binary).tellg() / 1024), opens);
    const long switchesBefore = contextSwitches();
    const double bare = medianSeconds(opens, [&] { bareOpen(path); });
    const double store = medianSeconds(opens, [&] { APMSqliteStore::makeWithDatabasePath(path, nullptr); });
    auto open = APMSqliteStore::makeWithDatabasePath(path, nullptr);
    const double small = medianSeconds(opens, [&] { open->damageInSmallTables(); });
    open.reset();
    const double whole = medianSeconds(opens, [&] { wholeQuickCheck(path); });
    std::printf("%-44s %8.3f ms\n", "bare SQLite open (reference)", bare * 1000);
    std::printf("%-44s %8.3f ms  %6.2f x bare\n", "store open with its check", store * 1000, store / bare);
    std::printf("%-44s %8.3f ms  %6.2f x bare, %4.1f%% of the open\n", "  of which the small tables checked whole",
                small * 1000, small / bare, 100 * small / store);
    std::printf("%-44s %8.3f ms  %6.2f x the store open\n", "quick check of the whole file (reference)",
                whole * 1000, whole / store);
    std::printf("load average %s, context switches %ld\n", loadAverage().c_str(), contextSwitches() - switchesBefore);
    return 0;
}
