#pragma once

// Running a whole command as one measured process, for benchmarks that time
// what a person would start.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "bench_report.h"

namespace bench {

struct ProcessRun {
    double wallSeconds = 0;
    double cpuSeconds = 0;
    double peakMegabytes = 0;
    long switches = 0;
    int status = -1;
};

// Runs the command with its output thrown away: wall time from fork to
// reaping, and its CPU time, peak resident memory and context switches as
// the kernel accounted them. Status 127 when it could not be started.
inline ProcessRun runProcess(const std::vector<std::string>& command) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        const int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, STDOUT_FILENO);
        ::dup2(quiet, STDERR_FILENO);
        std::vector<char*> argv;
        for (const auto& word : command) argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ProcessRun run;
    if (child < 0) return run;
    rusage usage{};
    int status = 0;
    ::wait4(child, &status, 0, &usage);
    run.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    run.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    run.peakMegabytes = static_cast<double>(usage.ru_maxrss) / 1024.0;
    run.switches = usage.ru_nvcsw + usage.ru_nivcsw;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

}  // namespace bench
