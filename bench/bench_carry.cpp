// Carrying a damaged database: a file of 30,000 stored events of the
// application's own shapes, 30 of its raw-event leaf pages picked at random
// (seeded) and damaged one at a time (600 random bytes 8 bytes into the
// page). For each: the rows a look-up of each row ID alone still reads, the
// rows the carry took, the open that finds the damage and carries (its
// whole-file check, the carry, the swap and the new file's check) and the
// dump's read of the damaged file. Against, in the same run, raw SQLite
// copying the intact file's rows into a new file (INSERT INTO ... SELECT in
// one transaction, best of 5). Then the same file with its raw events'
// tree led back into itself (the root's last child made the root), dumped
// and carried three times. Beside them the median and the longest of each
// time, the CPU time of the carries, the context switches per carry, and
// the process's peak memory, its context switches and the load average at
// the start and the end of the run.
//
//   bench_carry [EVENTS [PAGES]]   (default 30000 30)
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <random>
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
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDefaultEvents = 30000;
constexpr int kDefaultPages = 30;
constexpr std::uint32_t kSeed = 52;
constexpr std::size_t kDamagedBytes = 600;
constexpr std::size_t kDamageOffset = 8;
constexpr int kReferenceRuns = 5;
constexpr int kLoopingRuns = 3;
constexpr std::int64_t kFingerprint = 1;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "bench_carry: %s\n", what.c_str());
    std::exit(1);
}

double cpuSeconds() { return bench::ProcessUsage::now().cpuSeconds; }

long contextSwitches() { return bench::ProcessUsage::now().switches; }

// A connection of the benchmark's own.
class Connection {
public:
    explicit Connection(const fs::path& path, int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) {
        if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) fail("cannot open " + path.string());
    }
    ~Connection() { sqlite3_close(db_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    void run(const std::string& sql) {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            const std::string text = message ? message : "";
            sqlite3_free(message);
            fail(sql + ": " + text);
        }
    }
    std::vector<std::int64_t> integers(const std::string& sql) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) fail(sql);
        std::vector<std::int64_t> values;
        while (sqlite3_step(statement) == SQLITE_ROW) values.push_back(sqlite3_column_int64(statement, 0));
        sqlite3_finalize(statement);
        return values;
    }
    // The row IDs up to `last` that a look-up of each alone reads.
    std::int64_t readableOneByOne(std::int64_t last) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, "SELECT rowid, * FROM raw_events NOT INDEXED WHERE rowid = ?", -1, &statement,
                               nullptr) != SQLITE_OK) {
            fail("cannot look rows up");
        }
        std::int64_t readable = 0;
        for (std::int64_t rowID = 1; rowID <= last; ++rowID) {
            sqlite3_reset(statement);
            sqlite3_bind_int64(statement, 1, rowID);
            if (sqlite3_step(statement) == SQLITE_ROW) ++readable;
        }
        sqlite3_finalize(statement);
        return readable;
    }

private:
    sqlite3* db_ = nullptr;
};

// The engine's file with the events stored through its database, the log
// copied into the file.
void makeDatabase(const fs::path& path, int events) {
    APMScheduler scheduler;
    scheduler.workerQueue()->sync([&] {
        auto database = APMDatabase::makeWithPath(path.string(), nullptr);
        if (!database) fail("cannot make the database");
        APMPBMeasurementBundle header;
        database->insertRawEventMetadata(header, kFingerprint, nullptr);
        const double start = platform::dispatch::currentClock()->now() - events;
        const bool stored = database->performTransaction([&] {
            for (int i = 0; i < events; ++i) {
                const auto event = bench::calculatorSessionEvent(i, start);
                if (!database->insertRawEvent(event, kFingerprint, nullptr)) return false;
            }
            return true;
        });
        if (!stored) fail("cannot store the events");
    });
    Connection(path).run("PRAGMA wal_checkpoint(TRUNCATE)");
}

// The tables of a file, each with the statement that makes it.
std::vector<std::pair<std::string, std::string>> tablesOf(const fs::path& path) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT name, sql FROM sqlite_master WHERE type = 'table' AND sql IS NOT NULL AND name NOT LIKE "
                       "'sqlite\\_%' ESCAPE '\\'",
                       -1, &statement, nullptr);
    std::vector<std::pair<std::string, std::string>> tables;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        tables.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)),
                            reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    if (tables.empty()) fail("no tables in " + path.string());
    return tables;
}

// Raw SQLite copying every row of the intact file into a new one with the
// same tables, in one transaction: the seconds of each run.
bench::Spread referenceCopy(const fs::path& intact, const fs::path& target) {
    const auto tables = tablesOf(intact);
    std::vector<double> runs;
    for (int run = 0; run < kReferenceRuns; ++run) {
        fs::remove(target);
        const auto start = Clock::now();
        {
            Connection copy(target);
            copy.run("ATTACH DATABASE '" + intact.string() + "' AS intact");
            copy.run("BEGIN");
            for (const auto& table : tables) {
                copy.run(table.second);
                copy.run("INSERT INTO main.\"" + table.first + "\" SELECT * FROM intact.\"" + table.first + "\"");
            }
            copy.run("COMMIT");
        }
        runs.push_back(secondsSince(start));
    }
    return bench::spreadOf(runs);
}

void damage(const fs::path& path, std::size_t offset, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::string bytes;
    for (std::size_t i = 0; i < kDamagedBytes; ++i) bytes += static_cast<char>(random() & 0xff);
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!file.good()) fail("cannot damage " + path.string());
}

struct Trial {
    std::int64_t page = 0;
    std::int64_t readable = 0;
    std::int64_t carried = 0;
    std::int64_t dumped = 0;
    double carrySeconds = 0;
    double carryCPU = 0;
    double dumpSeconds = 0;
};

// Writes over the damaged file's bytes: the damage of a trial.
using Damage = std::function<void(const fs::path&)>;

Trial damageAndCarry(const fs::path& intact, const fs::path& path, std::int64_t page, std::int64_t lastRowID,
                     const Damage& damaged) {
    Trial trial;
    trial.page = page;
    for (const char* suffix : {"", "-wal", "-shm", "-lock", ".corrupt", ".corrupt-wal", ".corrupt-shm"}) {
        fs::remove(path.string() + suffix);
    }
    fs::copy_file(intact, path);
    damaged(path);
    auto start = Clock::now();
    {
        // As the dump reads it: rows of other types than declared count as not read.
        auto store = APMSqliteStore::makeReadOnlyWithDatabasePath(path.string(), nullptr, APMDatabase::declaredTables());
        if (!store) fail("cannot open the damaged file to read");
        const auto read = store->readableRowsOfTable("raw_events", [&](APMRow) { ++trial.dumped; }, nullptr);
        if (!read) fail("cannot read the damaged file");
    }
    trial.dumpSeconds = secondsSince(start);
    // Damage met in use: the next open checks the whole file and carries.
    std::ofstream(path.string() + kAPMSqliteStoreDamageMarkSuffix).put('\n');
    start = Clock::now();
    const double cpu = cpuSeconds();
    if (!APMSqliteStore::makeWithDatabasePath(path.string(), nullptr, APMDatabase::declaredSchema())) {
        fail("the carry failed");
    }
    trial.carrySeconds = secondsSince(start);
    trial.carryCPU = cpuSeconds() - cpu;
    if (!fs::exists(path.string() + ".corrupt")) fail("the damage was not found");
    trial.readable = Connection(path.string() + ".corrupt").readableOneByOne(lastRowID);
    trial.carried = Connection(path).integers("SELECT count(*) FROM raw_events").front();
    return trial;
}

using bench::median;

// The root of the raw events' tree made its own last child: every
// in-order read of the table goes round it.
Damage rootLedBackToItself(std::int64_t root, std::size_t pageSize) {
    constexpr std::size_t kLastChildAt = 8;
    return [root, pageSize](const fs::path& path) {
        const auto self = static_cast<std::uint32_t>(root);
        const std::string bytes = {static_cast<char>(self >> 24), static_cast<char>(self >> 16),
                                   static_cast<char>(self >> 8), static_cast<char>(self)};
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(static_cast<std::size_t>(root - 1) * pageSize + kLastChildAt));
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!file.good()) fail("cannot damage " + path.string());
    };
}

}  // namespace

int main(int argc, char** argv) {
    platform::LaunchOptions::install(platform::LaunchOptions::fromVariables(std::getenv));
    APMMonitor::shared().muteConsole();
    const int events = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultEvents;
    const int pages = argc > 2 ? std::max(1, std::atoi(argv[2])) : kDefaultPages;
    const bench::RunReport report;
    const std::string load = report.loadAtStart().text();
    bench::ScratchFolder folder("carry");
    const fs::path intact = folder / "intact.sql";
    makeDatabase(intact, events);
    std::vector<std::int64_t> leaves;
    std::size_t pageSize = 0;
    std::int64_t lastRowID = 0, root = 0;
    {
        Connection connection(intact);
        leaves = connection.integers("SELECT pageno FROM dbstat WHERE name = 'raw_events' AND pagetype = 'leaf'");
        pageSize = static_cast<std::size_t>(connection.integers("PRAGMA page_size").front());
        lastRowID = connection.integers("SELECT max(rowid) FROM raw_events").front();
        root = connection.integers("SELECT rootpage FROM sqlite_master WHERE name = 'raw_events'").front();
    }
    std::mt19937 random(kSeed);
    std::shuffle(leaves.begin(), leaves.end(), random);
    leaves.resize(std::min<std::size_t>(leaves.size(), static_cast<std::size_t>(pages)));

    const bench::Spread copies = referenceCopy(intact, folder / "reference.sql");
    const double reference = copies.shortest;
    std::printf("carrying a damaged file of %d stored events (%lld bytes), %zu leaf pages of raw_events damaged one at "
                "a time\n",
                events, static_cast<long long>(fs::file_size(intact)), leaves.size());
    std::printf("%8s %10s %10s %10s %10s %10s\n", "page", "readable", "carried", "dumped", "carry ms", "dump ms");
    const long switchesBefore = contextSwitches();
    std::vector<double> carries, carryCPUs, dumps;
    std::int64_t readable = 0, carried = 0, dumped = 0;
    for (std::size_t i = 0; i < leaves.size(); ++i) {
        const auto seed = kSeed + static_cast<std::uint32_t>(i);
        const auto offset = static_cast<std::size_t>(leaves[i] - 1) * pageSize + kDamageOffset;
        const Trial trial = damageAndCarry(intact, folder / "damaged.sql", leaves[i], lastRowID,
                                           [&](const fs::path& path) { damage(path, offset, seed); });
        std::printf("%8lld %10lld %10lld %10lld %10.1f %10.1f\n", static_cast<long long>(trial.page),
                    static_cast<long long>(trial.readable), static_cast<long long>(trial.carried),
                    static_cast<long long>(trial.dumped), trial.carrySeconds * 1000, trial.dumpSeconds * 1000);
        readable += trial.readable;
        carried += trial.carried;
        dumped += trial.dumped;
        carries.push_back(trial.carrySeconds);
        carryCPUs.push_back(trial.carryCPU);
        dumps.push_back(trial.dumpSeconds);
    }
    const long switches = contextSwitches() - switchesBefore;
    std::printf("total: %lld readable row by row, %lld carried, %lld dumped\n", static_cast<long long>(readable),
                static_cast<long long>(carried), static_cast<long long>(dumped));
    std::printf("carry (the open that finds the damage, carries, checks the new file): longest %.3f s, median %.3f s\n",
                *std::max_element(carries.begin(), carries.end()), median(carries));
    std::printf("carry's CPU time: longest %.3f s, median %.3f s, total %.3f s\n",
                *std::max_element(carryCPUs.begin(), carryCPUs.end()), median(carryCPUs),
                std::accumulate(carryCPUs.begin(), carryCPUs.end(), 0.0));
    std::printf("dump's read of the damaged file: longest %.3f s, median %.3f s\n",
                *std::max_element(dumps.begin(), dumps.end()), median(dumps));
    Trial looping;
    std::vector<double> loopingDumps, loopingCarries, loopingCPUs;
    for (int run = 0; run < kLoopingRuns; ++run) {
        looping = damageAndCarry(intact, folder / "damaged.sql", root, lastRowID, rootLedBackToItself(root, pageSize));
        loopingDumps.push_back(looping.dumpSeconds);
        loopingCarries.push_back(looping.carrySeconds);
        loopingCPUs.push_back(looping.carryCPU);
    }
    std::printf("the raw events' root led back to itself: %lld of %lld rows read; dump's read %.3f s, carry %.3f s "
                "(CPU %.3f s) (medians of %d; longest dump's read %.3f s, carry %.3f s)\n",
                static_cast<long long>(looping.dumped), static_cast<long long>(lastRowID), median(loopingDumps),
                median(loopingCarries), median(loopingCPUs), kLoopingRuns, bench::longest(loopingDumps),
                bench::longest(loopingCarries));
    std::printf("raw SQLite copying the intact file's rows into a new file: %.3f s (best of %d; median %.3f s, "
                "longest %.3f s)\n",
                reference, kReferenceRuns, copies.median, copies.longest);
    std::printf("median carry / raw copy: %.1f; median dump read / raw copy: %.1f\n", median(carries) / reference,
                median(dumps) / reference);
    std::printf("load average at start: %s; context switches per carry: %.0f\n", load.c_str(),
                static_cast<double>(switches) / static_cast<double>(leaves.size()));
    report.printEnd("bench_carry");
    return 0;
}
