// The cost of one preferences write, as a command makes it: a suite changed
// and written to its file at once (outside a turn of the main loop), for
// the engine's consent suite and for the application's suite with a history
// of 1,000 and 10,000 calculations. Per suite: the median and the longest
// write, and the median as a ratio to the bare atomic rewrite of the same
// bytes (a temporary file synced and renamed) measured in the same run,
// with the rewrite's longest, and the rewrite's median as a ratio to a plain
// replace (a file of one fixed name synced and renamed, what the file
// system's part costs); the load average at the start and the end,
// the context switches of the whole run and the process's peak memory
// beside them.
//
//   bench_preferences_write [WRITES]   writes per suite (default 101)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "platform/foundation/atomic_file.h"
#include "platform/foundation/plist_codec.h"
#include "platform/foundation/user_defaults.h"
#include "testsupport/sample_history.h"

namespace {

namespace fs = std::filesystem;
using platform::UserDefaults;
using platform::Value;

using Figures = bench::Spread;

// The milliseconds of each call of `step`.
Figures timed(int count, const std::function<void(int)>& step) {
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        const auto start = std::chrono::steady_clock::now();
        step(i);
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    return bench::spreadOf(times);
}

// What the file system's part of a rewrite costs: the bytes written to a
// file of one fixed name, synced and renamed over the file, without the
// atomic rewrite's own name drawn at random nor its look for leftovers.
void plainReplace(const fs::path& file, const std::string& bytes) {
    const std::string temp = file.string() + ".plain";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const bool written = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    ::fdatasync(fd);
    ::close(fd);
    if (written) ::rename(temp.c_str(), file.c_str());
}

// One suite: `change` makes the command's change of write i through the
// handle; the reference rewrites the file's bytes as they stand.
void measure(const char* name, int writes, const std::string& suite, const std::function<void(UserDefaults&, int)>& change) {
    UserDefaults defaults(suite);
    change(defaults, 0);
    const Figures write = timed(writes, [&](int i) { change(defaults, i + 1); });
    const fs::path file = defaults.filePath();
    const std::string bytes = platform::writePropertyListBinary(Value(defaults.dictionaryRepresentation()));
    const Figures bare = timed(writes, [&](int) { platform::writeFileAtomically(file, bytes); });
    const Figures plain = timed(writes, [&](int) { plainReplace(file, bytes); });
    std::printf("%-24s %8zu bytes  write median %7.3f ms  longest %7.3f ms  bare rewrite median %7.3f ms  ratio %5.2f"
                "  bare rewrite longest %7.3f ms  plain replace median %7.3f ms  rewrite/plain %5.2f\n",
                name, bytes.size(), write.median, write.longest, bare.median, write.median / bare.median, bare.longest,
                plain.median, bare.median / plain.median);
}

Value consent(int i) {
    const char* status = i % 2 ? "denied" : "granted";
    return Value(Value::Dictionary{{"ad_storage", status}, {"analytics_storage", "granted"}});
}

// The history as a calculation leaves it: the new entry first.
std::function<void(UserDefaults&, int)> calculations(std::size_t size) {
    auto history = std::make_shared<Value::Array>(testsupport::sampleHistory(size).asArray());
    return [history](UserDefaults& defaults, int i) {
        history->insert(history->begin(), testsupport::sampleHistoryEntry(static_cast<std::size_t>(i)));
        history->pop_back();
        defaults.replaceObject("Calculations", [&] { return Value(*history); });
    };
}

}  // namespace

int main(int argc, char** argv) {
    const int writes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 101;
    const fs::path folder = fs::temp_directory_path() / ("bench_preferences_write-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    platform::ScopedDataDirectory scope(folder);
    const bench::RunReport report;
    const auto before = bench::ProcessUsage::now();
    std::printf("bench_preferences_write: %d writes a suite; load average at the start %s\n", writes,
                report.loadAtStart().text().c_str());
    measure("consent suite", writes, "APMAnalyticsSuiteName",
            [](UserDefaults& defaults, int i) { defaults.setObject(consent(i), "consent_settings"); });
    measure("history of 1,000", writes, "com.example.history-1000", calculations(1000));
    measure("history of 10,000", writes, "com.example.history-10000", calculations(10000));
    const auto after = bench::ProcessUsage::now();
    std::printf("context switches: %ld voluntary, %ld involuntary\n",
                (after.switches - after.involuntary) - (before.switches - before.involuntary),
                after.involuntary - before.involuntary);
    fs::remove_all(folder);
    report.printEnd("bench_preferences_write");
    return 0;
}
