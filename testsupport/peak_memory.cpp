// The peak memory of one command, counted apart from the process that started it.
//
//   velmora_peak_memory FILE COMMAND [ARGUMENT ...]
//
// Runs COMMAND in a child of this small process, writes the child's largest
// resident set in kilobytes to FILE, and exits as the child did. A test
// cannot count this itself: a child that a large test process spawns (its
// memory shared until the child's program starts) is counted with the
// parent's largest resident set, not its own.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace {

constexpr int kUsage = 2;
constexpr int kNotStarted = 127;
constexpr int kSignalled = 128;

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FILE COMMAND [ARGUMENT ...]\n", argv[0]);
        return kUsage;
    }
    const pid_t pid = ::fork();
    if (pid < 0) return kNotStarted;
    if (pid == 0) {
        ::execv(argv[2], argv + 2);
        ::_exit(kNotStarted);
    }
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid) return kNotStarted;
    if (FILE* peak = std::fopen(argv[1], "w")) {
        std::fprintf(peak, "%ld\n", usage.ru_maxrss);
        std::fclose(peak);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : kSignalled + WTERMSIG(status);
}
