// What opening the measurement database costs with 30,000 stored events:
// the store's open and its check (the pages every reader starts from, and
// the small tables whole), the small tables' check alone, the database's
// open (the store's, and the look at its layout's record) and the read of
// its schema's digest alone, and beside them,
// measured in the same run, a bare SQLite open and SQLite's quick check of
// the whole file. Medians of many opens, each beside the longest; the load
// average and the context switches of the run beside them, and the
// process's peak memory with the load average at the start and the end.
//
//   bench_database_open [OPENS]   opens of each kind (default 50)
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_fixture.h"
#include "bench/bench_report.h"
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

struct Seconds {
    double median = 0;
    double longest = 0;
};

// The median and the longest seconds of the action, run that many times.
Seconds timed(int runs, const std::function<void()>& action) {
    std::vector<double> seconds;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        action();
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return {bench::median(seconds), bench::longest(seconds)};
}

void print(const char* what, const Seconds& seconds, const std::string& beside) {
    std::printf("%-44s %8.3f ms (longest %8.3f)  %s\n", what, seconds.median * 1000, seconds.longest * 1000,
                beside.c_str());
}

std::string ratio(double part, double whole, const char* of) {
    char text[96];
    std::snprintf(text, sizeof text, "%6.2f x %s", part / whole, of);
    return text;
}

std::string share(double part, double whole) {
    char text[48];
    std::snprintf(text, sizeof text, ", %4.1f%% of the open", 100 * part / whole);
    return text;
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

}  // namespace

int main(int argc, char** argv) {
    const bench::RunReport report;
    const int opens = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    platform::LaunchOptions::install(platform::LaunchOptions::fromVariables(std::getenv));
    APMMonitor::shared().muteConsole();
    bench::ScratchFolder dir("database-open");
    const std::string path = (dir / "measurement.sql").string();
    fill(path);
    std::printf("opening a measurement database of %d events (%lld KiB), median and longest of %d opens each\n", kEvents,
                static_cast<long long>(std::ifstream(path, std::ios::ate | std::ios::binary).tellg() / 1024), opens);
    const long switchesBefore = report.switches();
    const auto bare = timed(opens, [&] { bareOpen(path); });
    const auto store = timed(opens, [&] { APMSqliteStore::makeWithDatabasePath(path, nullptr); });
    auto open = APMSqliteStore::makeWithDatabasePath(path, nullptr);
    const auto small = timed(opens, [&] { open->damageInSmallTables(); });
    const auto digest = timed(opens, [&] { open->schemaState(nullptr); });
    open.reset();
    APMScheduler scheduler;
    const auto database = timed(opens, [&] {
        scheduler.workerQueue()->sync([&] { APMDatabase::makeWithPath(path, nullptr); });
    });
    const auto whole = timed(opens, [&] { wholeQuickCheck(path); });
    print("bare SQLite open (reference)", bare, "");
    print("store open with its check", store, ratio(store.median, bare.median, "bare"));
    print("  of which the small tables checked whole", small,
          ratio(small.median, bare.median, "bare") + share(small.median, store.median));
    print("database open (store, layout record)", database, ratio(database.median, store.median, "the store open"));
    print("  of which the schema's digest read", digest,
          ratio(digest.median, bare.median, "bare") + share(digest.median, database.median));
    print("quick check of the whole file (reference)", whole, ratio(whole.median, store.median, "the store open"));
    std::printf("load average %s, context switches %ld\n", bench::LoadAverage::now().text().c_str(),
                report.switches() - switchesBefore);
    report.printEnd("bench_database_open");
    return 0;
}
