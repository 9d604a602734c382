// The table of connections still sending their requests, read as they become readable.
#include "tools/collector/connection_table.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <string_view>

namespace tools::collector {

namespace {

// Events that are not a connection's.
constexpr std::uint64_t kWakeEvent = UINT64_MAX;
constexpr std::uint64_t kStopEvent = UINT64_MAX - 1;
// Read from one connection per readiness, so that one fast client cannot
// keep the others waiting; what is left is reported again.
constexpr std::size_t kMostBytesAtOnce = 256 * 1024;

Deadline deadlineFrom(double seconds) {
    return std::chrono::steady_clock::now() +
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

int millisecondsUntil(Deadline deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, 60'000));
}

void closeSocket(int socket) {
    ::shutdown(socket, SHUT_RDWR);
    ::close(socket);
}

// The value of the first header field of that name (lower case) in a head
// that passed headProblem, trimmed; none without one.
std::optional<std::string_view> fieldValue(const std::string& head, std::string_view name) {
    std::size_t at = head.find("\r\n");
    while (at != std::string::npos && at + 2 < head.size()) {
        const std::size_t start = at + 2;
        at = head.find("\r\n", start);
        std::string_view line(head.data() + start, (at == std::string::npos ? head.size() : at) - start);
        if (line.size() <= name.size() || line[name.size()] != ':' ||
            !std::equal(name.begin(), name.end(), line.begin(),
                        [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); })) {
            continue;
        }
        line.remove_prefix(name.size() + 1);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
        return line;
    }
    return std::nullopt;
}

// The length of the body to read before the request is in: none when the
// body is not framed by a Content-Length (headProblem made sure it is
// digits, given once), and none when the client waits to be told to go on
// ("Expect: 100-continue"), which the server does once the request is
// handed over.
std::optional<std::size_t> bodyLengthToRead(const std::string& head) {
    if (fieldValue(head, "expect")) return std::nullopt;
    const auto value = fieldValue(head, "content-length");
    std::size_t length = 0;
    if (!value || std::from_chars(value->data(), value->data() + value->size(), length).ec != std::errc()) {
        return std::nullopt;
    }
    return length;
}

}  // namespace

ConnectionTable::ConnectionTable(Limits limits, const StopSignal& stop, Handler ready)
    : limits_(limits),
      stop_(stop),
      ready_(std::move(ready)),
      epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    for (const auto& [fd, id] : {std::pair{wake_, kWakeEvent}, std::pair{stop_.descriptor(), kStopEvent}}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = id;
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
    }
    thread_ = std::thread([this] { run(); });
}

ConnectionTable::~ConnectionTable() {
    shutdown();
    ::close(wake_);
    ::close(epoll_);
}

void ConnectionTable::adopt(int socket) {
    {
        std::lock_guard lock(mutex_);
        if (!stopped_) {
            adopted_.push_back(socket);
            socket = -1;
        }
    }
    if (socket >= 0) {
        closeSocket(socket);
        return;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof one);
}

void ConnectionTable::shutdown() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof one);
    if (thread_.joinable()) thread_.join();
}

void ConnectionTable::run() {
    epoll_event events[256];
    for (;;) {
        const int timeout = connections_.empty() ? -1 : millisecondsUntil(connections_.begin()->second.deadline);
        const int count = ::epoll_wait(epoll_, events, 256, timeout);
        if (count < 0 && errno != EINTR) break;
        bool stopping = false;
        for (int i = 0; i < count; ++i) {
            const std::uint64_t id = events[i].data.u64;
            if (id == kStopEvent) {
                stopping = true;
            } else if (id == kWakeEvent) {
                std::uint64_t value = 0;
                [[maybe_unused]] const auto read = ::read(wake_, &value, sizeof value);
            } else {
                readFrom(id);
            }
        }
        {
            std::lock_guard lock(mutex_);
            stopping = stopping || stopped_;
            if (stopping) stopped_ = true;
        }
        if (stopping) break;
        takeAdopted();
        const auto now = std::chrono::steady_clock::now();
        while (!connections_.empty() && connections_.begin()->second.deadline <= now) {
            timeOut(connections_.begin(), kTimedOut);
        }
    }
    takeAdopted();  // none come after the stop: adopt closes them itself
    closeAll();
}

void ConnectionTable::takeAdopted() {
    std::vector<int> sockets;
    {
        std::lock_guard lock(mutex_);
        sockets.swap(adopted_);
    }
    for (const int socket : sockets) {
        while (connections_.size() >= limits_.capacity && !connections_.empty()) {
            timeOut(connections_.begin(), kMadeRoom);
        }
        const std::uint64_t id = nextId_++;
        epoll_event event{};
        event.events = EPOLLIN | EPOLLRDHUP;
        event.data.u64 = id;
        const int flags = ::fcntl(socket, F_GETFL);
        if (flags < 0 || ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) < 0 ||
            ::epoll_ctl(epoll_, EPOLL_CTL_ADD, socket, &event) < 0) {
            closeSocket(socket);
            continue;
        }
        Connection connection;
        connection.socket = socket;
        connection.deadline = deadlineFrom(limits_.deadlineSeconds);
        connections_.emplace(id, std::move(connection));
    }
}

void ConnectionTable::readFrom(std::uint64_t id) {
    const auto it = connections_.find(id);
    if (it == connections_.end()) return;
    Connection& connection = it->second;
    char buffer[16 * 1024];
    for (std::size_t taken = 0; taken < kMostBytesAtOnce;) {
        const ssize_t count = ::recv(connection.socket, buffer, sizeof buffer, 0);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (count <= 0) {
            // The client is done sending: what it sent is all there is.
            if (connection.head || connection.received.empty()) return release(it, connection.head);
            RequestHead cut;
            cut.outcome = HeadOutcome::kMalformed;
            cut.problem = "connection closed inside the request head";
            cut.firstLine = firstLineOf(connection.received);
            return release(it, cut);
        }
        taken += static_cast<std::size_t>(count);
        if (connection.head) {
            connection.head->rest.append(buffer, static_cast<std::size_t>(count));
        } else {
            connection.received.append(buffer, static_cast<std::size_t>(count));
            connection.head = headSoFar(connection.received, limits_.maxHeadBytes);
            if (!connection.head) continue;
            if (connection.head->outcome != HeadOutcome::kComplete) return release(it, connection.head);
            connection.bodyLength = bodyLengthToRead(connection.head->head);
        }
        const auto& rest = connection.head->rest;
        if (!connection.bodyLength || *connection.bodyLength > limits_.maxBufferedBody ||
            rest.size() >= *connection.bodyLength) {
            return release(it, connection.head);
        }
    }
}

void ConnectionTable::release(std::map<std::uint64_t, Connection>::iterator it, std::optional<RequestHead> head) {
    const int socket = it->second.socket;
    const Deadline deadline = it->second.deadline;
    const bool sentAnything = !it->second.received.empty();
    connections_.erase(it);
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, socket, nullptr);
    if (!head || !sentAnything) {
        closeSocket(socket);
        return;
    }
    ready_(ReadRequest{socket, std::move(*head), deadline});
}

void ConnectionTable::timeOut(std::map<std::uint64_t, Connection>::iterator it, const char* why) {
    RequestHead late = it->second.head.value_or(RequestHead{});
    late.outcome = HeadOutcome::kTimedOut;
    late.problem = why;
    late.firstLine = firstLineOf(it->second.received);
    release(it, late);
}

void ConnectionTable::closeAll() {
    for (auto& [id, connection] : connections_) closeSocket(connection.socket);
    connections_.clear();
}

}  // namespace tools::collector
