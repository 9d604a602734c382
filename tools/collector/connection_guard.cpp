// Deadlines, strict request heads, stop and threads of the collector's
// connections.
#include "tools/collector/connection_guard.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace tools::collector {

namespace {

constexpr const char* kHeadEnd = "\r\n\r\n";

// Milliseconds left until the deadline, for poll().
int millisecondsLeft(Deadline deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, 60'000'000));
}

enum class Wait { kReady, kTimedOut, kStopped };

// Waits until the socket is ready for the events, the deadline passes or
// (while reading) the service stops. An answer under way is written to the
// end, within the deadline, even when the service stops meanwhile: the
// request that reaches the batch limit stops the service, and its client
// must still have the answer.
Wait waitFor(int socket, short events, Deadline deadline, const StopSignal& stop) {
    const bool reading = (events & POLLIN) != 0;
    for (;;) {
        pollfd fds[2] = {{socket, events, 0}, {stop.descriptor(), POLLIN, 0}};
        const int ready = ::poll(fds, reading ? 2 : 1, millisecondsLeft(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (reading && (fds[1].revents != 0 || stop.raised())) return Wait::kStopped;
        if (ready > 0) return Wait::kReady;
        if (std::chrono::steady_clock::now() >= deadline) return Wait::kTimedOut;
        if (ready < 0) return Wait::kStopped;
    }
}

bool isTokenCharacter(unsigned char c) {
    return std::isalnum(c) || std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool isToken(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return isTokenCharacter(c); });
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

std::optional<std::string> requestLineProblem(std::string_view line) {
    const auto first = line.find(' ');
    const auto second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos || line.find(' ', second + 1) != std::string_view::npos) {
        return "malformed request line";
    }
    const auto method = line.substr(0, first);
    const auto target = line.substr(first + 1, second - first - 1);
    const auto version = line.substr(second + 1);
    if (!isToken(method) || target.empty()) return "malformed request line";
    if (version != "HTTP/1.1" && version != "HTTP/1.0") return "unsupported HTTP version";
    return std::nullopt;
}

// The header fields that frame the body, checked as they are collected.
struct Framing {
    std::optional<std::string> contentLength;
    bool transferEncoding = false;
};

std::optional<std::string> fieldProblem(std::string_view line, Framing& framing) {
    if (line.front() == ' ' || line.front() == '\t') return "folded header line";
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) return "header line without a colon";
    const auto name = line.substr(0, colon);
    if (!isToken(name)) return "malformed header name";
    const auto value = trimmed(line.substr(colon + 1));
    const std::string key = lower(std::string(name));
    if (key == "content-length") {
        if (value.empty() || !std::all_of(value.begin(), value.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }) ||
            value.size() > 18) {
            return "Content-Length is not a number";
        }
        if (framing.contentLength && *framing.contentLength != value) return "conflicting Content-Length headers";
        framing.contentLength = std::string(value);
    }
    if (key == "transfer-encoding") framing.transferEncoding = true;
    return std::nullopt;
}

}  // namespace

StopSignal::StopSignal() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

StopSignal::~StopSignal() {
    if (fd_ >= 0) ::close(fd_);
}

void StopSignal::raise() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(fd_, &one, sizeof one);
}

bool StopSignal::raised() const {
    pollfd fd{fd_, POLLIN, 0};
    return ::poll(&fd, 1, 0) > 0;
}

std::optional<std::string> headProblem(const std::string& head) {
    std::string_view text(head);
    if (text.size() < 4 || text.substr(text.size() - 4) != kHeadEnd) return "incomplete request head";
    text.remove_suffix(2);  // each line below ends in CRLF
    Framing framing;
    bool first = true;
    while (!text.empty()) {
        const auto end = text.find("\r\n");
        const auto line = text.substr(0, end);
        text.remove_prefix(end + 2);
        if (line.find('\n') != std::string_view::npos || line.find('\r') != std::string_view::npos ||
            line.find('\0') != std::string_view::npos) {
            return "stray line break or NUL in the request head";
        }
        if (first) {
            if (auto problem = requestLineProblem(line)) return problem;
            first = false;
            continue;
        }
        if (line.empty()) return "empty header line";
        if (auto problem = fieldProblem(line, framing)) return problem;
    }
    if (framing.contentLength && framing.transferEncoding) return "both Content-Length and Transfer-Encoding";
    return std::nullopt;
}

std::string firstLineOf(const std::string& received) {
    return received.substr(0, std::min(received.find("\r\n"), received.size()));
}

std::optional<RequestHead> headSoFar(const std::string& received, std::size_t maxHeadBytes) {
    RequestHead result;
    result.firstLine = firstLineOf(received);
    const auto end = received.find(kHeadEnd);
    // However the bytes were cut into reads.
    if (end == std::string::npos ? received.size() > maxHeadBytes : end + 4 > maxHeadBytes) {
        result.outcome = HeadOutcome::kMalformed;
        result.problem = kHeadTooLarge;
        return result;
    }
    if (end != std::string::npos) {
        result.head = received.substr(0, end + 4);
        result.rest = received.substr(end + 4);
        if (auto problem = headProblem(result.head)) {
            result.outcome = HeadOutcome::kMalformed;
            result.problem = *problem;
        } else {
            result.outcome = HeadOutcome::kComplete;
        }
        return result;
    }
    return std::nullopt;
}

RequestHead readRequestHead(int socket, Deadline deadline, const StopSignal& stop, std::size_t maxHeadBytes) {
    RequestHead result;
    std::string received;
    char buffer[4096];
    for (;;) {
        if (auto head = headSoFar(received, maxHeadBytes)) return *head;
        result.firstLine = firstLineOf(received);
        switch (waitFor(socket, POLLIN, deadline, stop)) {
            case Wait::kTimedOut: result.outcome = HeadOutcome::kTimedOut; return result;
            case Wait::kStopped: result.outcome = HeadOutcome::kStopped; return result;
            case Wait::kReady: break;
        }
        const ssize_t count = ::recv(socket, buffer, sizeof buffer, 0);
        if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (count <= 0) {
            result.outcome = received.empty() ? HeadOutcome::kClosed : HeadOutcome::kMalformed;
            result.problem = "connection closed inside the request head";
            return result;
        }
        received.append(buffer, static_cast<std::size_t>(count));
    }
}

GuardedStream::GuardedStream(int socket, Deadline deadline, const StopSignal& stop, std::string buffered)
    : socket_(socket), deadline_(deadline), stop_(stop), buffered_(std::move(buffered)) {}

bool GuardedStream::wait(short events) const {
    const Wait outcome = waitFor(socket_, events, deadline_, stop_);
    if (outcome == Wait::kTimedOut && events == POLLIN) timedOut_ = true;
    return outcome == Wait::kReady;
}

bool GuardedStream::is_readable() const { return offset_ < buffered_.size() || wait(POLLIN); }

bool GuardedStream::is_writable() const { return wait(POLLOUT); }

ssize_t GuardedStream::read(char* ptr, size_t size) {
    if (offset_ < buffered_.size()) {
        const std::size_t count = std::min(size, buffered_.size() - offset_);
        std::copy_n(buffered_.data() + offset_, count, ptr);
        offset_ += count;
        return static_cast<ssize_t>(count);
    }
    for (;;) {
        if (!wait(POLLIN)) return -1;
        const ssize_t count = ::recv(socket_, ptr, size, 0);
        if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        return count;
    }
}

ssize_t GuardedStream::write(const char* ptr, size_t size) {
    if (timedOut_) return -1;
    for (;;) {
        if (!wait(POLLOUT)) return -1;
        const ssize_t count = ::send(socket_, ptr, size, MSG_NOSIGNAL);
        if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        return count;
    }
}

namespace {

void addressOf(int socket, bool peer, std::string& ip, int& port) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    const int rc = peer ? ::getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length)
                        : ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    char text[INET_ADDRSTRLEN] = {};
    if (rc != 0 || address.sin_family != AF_INET || !::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text)) {
        ip.clear();
        port = 0;
        return;
    }
    ip = text;
    port = ntohs(address.sin_port);
}

}  // namespace

void GuardedStream::get_remote_ip_and_port(std::string& ip, int& port) const { addressOf(socket_, true, ip, port); }

void GuardedStream::get_local_ip_and_port(std::string& ip, int& port) const { addressOf(socket_, false, ip, port); }

void writePlainAnswer(int socket, int status, const std::string& reason, Deadline deadline, const StopSignal& stop) {
    const std::string body = reason + "\n";
    const char* phrase = status == 408 ? "Request Timeout" : status == 431 ? "Request Header Fields Too Large" : "Bad Request";
    const std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + phrase +
                               "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
                               "\r\nConnection: close\r\n\r\n" + body;
    GuardedStream stream(socket, deadline, stop, {});
    for (std::size_t sent = 0; sent < answer.size();) {
        const ssize_t count = stream.write(answer.data() + sent, answer.size() - sent);
        if (count <= 0) return;
        sent += static_cast<std::size_t>(count);
    }
}

ConnectionThreads::~ConnectionThreads() { shutdown(); }

void ConnectionThreads::enqueue(std::function<void()> fn) {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(fn));
    if (idle_ < jobs_.size() && threads_.size() < maxThreads_) {
        threads_.emplace_back([this] { work(); });
    }
    ready_.notify_one();
}

void ConnectionThreads::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idle_;
        ready_.wait(lock, [this] { return !jobs_.empty() || shuttingDown_; });
        --idle_;
        if (jobs_.empty()) return;
        auto job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        job();
        lock.lock();
    }
}

void ConnectionThreads::shutdown() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        shuttingDown_ = true;
        threads.swap(threads_);
    }
    ready_.notify_all();
    for (auto& thread : threads) thread.join();
}

}  // namespace tools::collector
