#pragma once

// What every benchmark prints beside its figures: the median and the longest
// of its timings, the process's peak memory and context switches, and the
// load average at its start and its end (absolute times on a shared machine
// swing with the neighbours' load).

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace bench {

// The middle of the figures of several runs (the upper one of an even
// count); 0 for none.
inline double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The largest of the figures (of timings, the longest); 0 for none.
inline double longest(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

// The smallest of the figures (of timings, the best); 0 for none.
inline double shortest(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

// The figures of several runs of one measure, in the units they came in.
struct Spread {
    double median = 0;
    double longest = 0;
    double shortest = 0;
};

inline Spread spreadOf(const std::vector<double>& values) {
    return {median(values), longest(values), shortest(values)};
}

// The fastest of several runs, whose figures a table prints, and the spread
// of all their times: `run()` gives figures with their `seconds`.
template <class Figures>
struct BestOf {
    Figures best;
    Spread seconds;
};

template <class Run>
auto bestOf(int runs, Run run) {
    BestOf<decltype(run())> measured;
    std::vector<double> seconds;
    for (int at = 0; at < runs; ++at) {
        auto figures = run();
        seconds.push_back(figures.seconds);
        if (at == 0 || figures.seconds < measured.best.seconds) measured.best = std::move(figures);
    }
    measured.seconds = spreadOf(seconds);
    return measured;
}

// The load average over 1, 5 and 15 minutes; -1 each where /proc/loadavg
// cannot be read.
struct LoadAverage {
    double one = -1;
    double five = -1;
    double fifteen = -1;

    static LoadAverage now() {
        LoadAverage load;
        std::ifstream in("/proc/loadavg");
        if (!(in >> load.one >> load.five >> load.fifteen)) return {};
        return load;
    }
    std::string text() const {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%.2f %.2f %.2f", one, five, fifteen);
        return buffer;
    }
};

// What this process (every thread of it) has used so far.
struct ProcessUsage {
    double peakMegabytes = 0;  // the largest resident set since the process began
    long switches = 0;         // voluntary and involuntary context switches
    long involuntary = 0;
    double cpuSeconds = 0;  // user and system

    static ProcessUsage now() {
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
        return {static_cast<double>(usage.ru_maxrss) / 1024.0, usage.ru_nvcsw + usage.ru_nivcsw, usage.ru_nivcsw,
                seconds(usage.ru_utime) + seconds(usage.ru_stime)};
    }
};

// One benchmark run: the load average and the usage when it began, printed
// at its end beside the load average then, the peak memory and the context
// switches in between.
class RunReport {
public:
    RunReport() : load_(LoadAverage::now()), usage_(ProcessUsage::now()) {}

    const LoadAverage& loadAtStart() const { return load_; }
    // Context switches since the run began.
    long switches() const { return ProcessUsage::now().switches - usage_.switches; }

    void printEnd(const char* name) const {
        const auto usage = ProcessUsage::now();
        std::printf("%s: peak memory %.1f MB, context switches %ld (%ld involuntary), CPU %.2f s; load average at the "
                    "start %s, at the end %s\n",
                    name, usage.peakMegabytes, usage.switches - usage_.switches, usage.involuntary - usage_.involuntary,
                    usage.cpuSeconds - usage_.cpuSeconds, load_.text().c_str(), LoadAverage::now().text().c_str());
    }

private:
    LoadAverage load_;
    ProcessUsage usage_;
};

}  // namespace bench
