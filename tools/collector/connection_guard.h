#pragma once

// The collector's side of a connection before and around the HTTP server's
// own reading: every request is read under one overall deadline, its head is
// checked strictly before the server parses it (a malformed one is answered
// 400 here), a stop wakes every connection at once, and the requests that
// are in are answered on threads of their own.

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tools::collector {

using Deadline = std::chrono::steady_clock::time_point;

// Raised once, seen by every wait: the service is stopping.
class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    void raise();
    bool raised() const;
    // Readable once raised, for poll().
    int descriptor() const { return fd_; }

private:
    int fd_ = -1;
};

// What became of reading a request head.
enum class HeadOutcome { kComplete, kMalformed, kTimedOut, kClosed, kStopped };

struct RequestHead {
    HeadOutcome outcome = HeadOutcome::kClosed;
    // The head through its blank line, and what arrived after it (the
    // start of the body).
    std::string head;
    std::string rest;
    // Why a head is malformed; also the first line seen, for printing.
    std::string problem;
    std::string firstLine;
};

// Why a head is refused with 431 rather than 400.
inline constexpr const char* kHeadTooLarge = "request head too large";

// The head as far as the bytes received make it: complete or malformed
// once they say so (see readRequestHead); none while more must come.
std::optional<RequestHead> headSoFar(const std::string& received, std::size_t maxHeadBytes);
// The first line received, for printing.
std::string firstLineOf(const std::string& received);

// Reads up to the blank line that ends the head, within the deadline; a
// head above the size limit, or one that breaks the rules of HTTP/1.x
// (request line, header names, a colon on every line, Content-Length of
// digits only and given once, no folded lines, no Content-Length with
// Transfer-Encoding), is malformed.
RequestHead readRequestHead(int socket, Deadline deadline, const StopSignal& stop, std::size_t maxHeadBytes);

// The problem with a complete head; none when it may be parsed.
std::optional<std::string> headProblem(const std::string& head);

// The connection as the HTTP server reads and writes it: first the bytes
// already read, then the socket; every wait ends at the deadline, and a
// wait for the client's bytes also when the service stops. Once a read has run out of time nothing more is
// written: the guard answers such a request itself.
class GuardedStream : public httplib::Stream {
public:
    GuardedStream(int socket, Deadline deadline, const StopSignal& stop, std::string buffered);

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* ptr, size_t size) override;
    ssize_t write(const char* ptr, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override { return socket_; }

    // A read ran out of time before the request was complete.
    bool timedOut() const { return timedOut_; }

private:
    bool wait(short events) const;

    int socket_;
    Deadline deadline_;
    const StopSignal& stop_;
    std::string buffered_;
    std::size_t offset_ = 0;
    mutable bool timedOut_ = false;
};

// Writes a whole answer of the service's own (400, 408 or 431 with a
// one-line reason) and nothing else; gives up at the deadline, not when the
// service stops.
void writePlainAnswer(int socket, int status, const std::string& reason, Deadline deadline, const StopSignal& stop);

// Runs each job on a thread of its own, up to `maxThreads` at once (later
// ones wait for a free thread); threads are kept for the next jobs.
// shutdown() waits for the jobs in hand and those waiting.
class ConnectionThreads : public httplib::TaskQueue {
public:
    explicit ConnectionThreads(std::size_t maxThreads) : maxThreads_(maxThreads) {}
    ~ConnectionThreads() override;

    void enqueue(std::function<void()> fn) override;
    void shutdown() override;

private:
    void work();

    std::size_t maxThreads_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    std::size_t idle_ = 0;
    bool shuttingDown_ = false;
};

}  // namespace tools::collector
