// The binary property-list writer on a history as the calculator page keeps
// it: the time to write 1,000, 10,000 and 50,000 entries (median and longest
// of the rounds), the file's size, and the size of the same document written
// again by Python's plistlib, when /usr/bin/python3 is there; the process's
// peak memory, its context switches and the load average at the start and
// the end close the run.
//
//   bench_plist_writer [ROUNDS] [SIZE...]   rounds per size (default 15)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_report.h"
#include "platform/foundation/plist_codec.h"
#include "platform/foundation/value.h"
#include "testsupport/sample_history.h"

namespace {

namespace fs = std::filesystem;
using platform::Value;

// The same entries as bench_history writes.
Value history(std::size_t count) {
    return Value(Value::Dictionary{{"Calculations", testsupport::sampleHistory(count)}, {"isRatingAlreadyDone", true}});
}

// The size of the document as plistlib writes it in the binary form; 0
// when it could not be run.
std::uintmax_t plistlibSize(const std::string& bytes) {
    const fs::path in = fs::temp_directory_path() / ("velmora-bench-plist-" + std::to_string(::getpid()));
    const fs::path out = in.string() + ".plistlib";
    std::ofstream(in, std::ios::binary) << bytes;
    const std::string command = "/usr/bin/python3 -c 'import plistlib, sys; plistlib.dump(plistlib.load(open(sys.argv[1], "
                                "\"rb\")), open(sys.argv[2], \"wb\"), fmt=plistlib.FMT_BINARY)' " +
                                in.string() + " " + out.string() + " 2>/dev/null";
    std::uintmax_t size = 0;
    if (std::system(command.c_str()) == 0) size = fs::file_size(out);
    fs::remove(in);
    fs::remove(out);
    return size;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    std::vector<std::size_t> sizes;
    for (int i = 2; i < argc; ++i) sizes.push_back(static_cast<std::size_t>(std::atoll(argv[i])));
    if (sizes.empty()) sizes = {1000, 10000, 50000};
    const bench::RunReport report;
    std::printf("bench_plist_writer: %d rounds, medians; load average at the start %s\n", rounds,
                report.loadAtStart().text().c_str());
    std::printf("%8s %10s %12s %12s %8s %11s\n", "entries", "write ms", "ours bytes", "plistlib", "ratio",
                "longest ms");
    for (const auto size : sizes) {
        const Value document = history(size);
        std::vector<double> times;
        std::string bytes;
        for (int round = 0; round < rounds; ++round) {
            const auto start = std::chrono::steady_clock::now();
            bytes = platform::writePropertyListBinary(document);
            times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        const std::uintmax_t theirs = plistlibSize(bytes);
        std::printf("%8zu %10.2f %12zu %12ju", size, bench::median(times) * 1000, bytes.size(), theirs);
        if (theirs > 0) {
            std::printf(" %8.3f", static_cast<double>(bytes.size()) / static_cast<double>(theirs));
        } else {
            std::printf(" %8s", "-");
        }
        std::printf(" %11.2f\n", bench::longest(times) * 1000);
    }
    std::printf("load average at the end %s\n", bench::LoadAverage::now().text().c_str());
    report.printEnd("bench_plist_writer");
    return 0;
}
