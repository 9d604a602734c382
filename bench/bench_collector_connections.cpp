// The local collector's answer time to a request while other clients hold
// connections open: none, 2,000 that send nothing, and 2,000 idle plus 300
// that send their heads a byte at a time, every 50 ms each, reconnecting
// when cut off. Figures are the median and the longest of 200 requests,
// each on a new connection, and the ratio of the medians to the quiet one;
// the process's peak memory (the collector's included), its
// context switches and the load average at the start and the end close the
// run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_report.h"
#include "tools/collector/collector_service.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRequests = 200;
constexpr std::size_t kIdle = 2000;
constexpr std::size_t kTrickling = 300;

int connectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

// Seconds from connecting to the end of the answer; negative when none came.
double oneRequest(int port) {
    const auto start = Clock::now();
    const int fd = connectTo(port);
    if (fd < 0) return -1;
    const std::string request = "GET /config/app/bench HTTP/1.1\r\nHost: x\r\n\r\n";
    if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        ::close(fd);
        return -1;
    }
    std::string reply;
    char buffer[512];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) reply.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    if (reply.rfind("HTTP/1.1 404", 0) != 0) return -1;
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Figures {
    double median = 0;
    double longest = 0;
    int unanswered = 0;
};

Figures measure(int port) {
    std::vector<double> times;
    Figures figures;
    for (int i = 0; i < kRequests; ++i) {
        const double seconds = oneRequest(port);
        if (seconds < 0) {
            ++figures.unanswered;
        } else {
            times.push_back(seconds);
        }
    }
    figures.median = bench::median(times);
    figures.longest = bench::longest(times);
    return figures;
}

// Clients that send "POST /a HTTP/1.1\r\nHost: x\r\n..." one byte at a time
// and never finish, until stopped.
class Tricklers {
public:
    Tricklers(int port, std::size_t count) : port_(port), sockets_(count, -1) {
        thread_ = std::thread([this] { run(); });
    }
    ~Tricklers() {
        stop_ = true;
        thread_.join();
        for (int fd : sockets_) {
            if (fd >= 0) ::close(fd);
        }
    }

private:
    void run() {
        const std::string head = "POST /a HTTP/1.1\r\nHost: x\r\nX-Padding: " + std::string(4000, 'x');
        std::vector<std::size_t> sent(sockets_.size(), 0);
        while (!stop_) {
            for (std::size_t i = 0; i < sockets_.size(); ++i) {
                if (sockets_[i] < 0 || sent[i] >= head.size()) {
                    if (sockets_[i] >= 0) ::close(sockets_[i]);
                    sockets_[i] = connectTo(port_);
                    sent[i] = 0;
                }
                if (sockets_[i] < 0) continue;
                if (::send(sockets_[i], head.data() + sent[i], 1, MSG_NOSIGNAL) != 1) {
                    ::close(sockets_[i]);
                    sockets_[i] = -1;
                    continue;
                }
                ++sent[i];
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    int port_;
    std::vector<int> sockets_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void print(const char* label, const Figures& figures, double quiet) {
    std::printf("%-44s median %7.2f ms  longest %8.2f ms  unanswered %d  median/quiet %.1f\n", label,
                figures.median * 1000, figures.longest * 1000, figures.unanswered,
                quiet > 0 ? figures.median / quiet : 0.0);
}

}  // namespace

int main() {
    const bench::RunReport report;
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < 2 * (kIdle + kTrickling) + 256) {
        std::printf("needs %zu file descriptors, the process may open %llu\n", 2 * (kIdle + kTrickling) + 256,
                    static_cast<unsigned long long>(limit.rlim_cur));
        return 0;
    }
    std::ostringstream out;
    tools::collector::CollectorOptions options;
    tools::collector::CollectorService service(options, out);
    const int port = service.start();

    const Figures quiet = measure(port);
    print("no other connection", quiet, quiet.median);
    std::vector<int> idle;
    for (std::size_t i = 0; i < kIdle; ++i) {
        const int fd = connectTo(port);
        if (fd >= 0) idle.push_back(fd);
    }
    print("2000 idle connections", measure(port), quiet.median);
    {
        Tricklers tricklers(port, kTrickling);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        print("2000 idle and 300 sending a byte at a time", measure(port), quiet.median);
    }
    for (int fd : idle) ::close(fd);
    service.stop();
    report.printEnd("bench_collector_connections");
    return 0;
}
