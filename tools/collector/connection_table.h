#pragma once

// Connections still sending their requests, all watched by one thread: an
// idle or slow client holds a place in a table, never a thread, and the
// oldest gives its place up when the table is full.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/collector/connection_guard.h"

namespace tools::collector {

// A connection whose request is in, or will not come: for a worker to
// answer and close.
struct ReadRequest {
    int socket = -1;
    // kComplete: the head and what followed it (the whole body when it
    //   came with a Content-Length of at most `maxBufferedBody`);
    // kMalformed: why, as readRequestHead says;
    // kTimedOut: the client sent part of a request and then ran out of
    //   time, or gave its place up to a newer connection (`problem` says
    //   which).
    RequestHead head;
    Deadline deadline;
};

class ConnectionTable {
public:
    struct Limits {
        // Connections read at once.
        std::size_t capacity = 1024;
        // From acceptance to the whole request.
        double deadlineSeconds = 10;
        std::size_t maxHeadBytes = 64 * 1024;
        // Bodies up to this size are read here; a longer one is read by
        // whoever answers the request.
        std::size_t maxBufferedBody = 256 * 1024;
    };
    using Handler = std::function<void(ReadRequest)>;

    // Runs `ready` on the table's thread for each request in; it must not
    // wait. A stop closes every connection still sending, without a word.
    ConnectionTable(Limits limits, const StopSignal& stop, Handler ready);
    ~ConnectionTable();
    ConnectionTable(const ConnectionTable&) = delete;
    ConnectionTable& operator=(const ConnectionTable&) = delete;

    // Takes the connection over (from any thread); closes it at once when
    // the table has stopped.
    void adopt(int socket);
    // Stops the thread, closing every connection still sending.
    void shutdown();
    std::size_t capacity() const { return limits_.capacity; }

    // Why a connection was closed before its time.
    static constexpr const char* kMadeRoom = "closed to make room for newer connections";
    static constexpr const char* kTimedOut = "no complete request within the deadline";

private:
    struct Connection {
        int socket = -1;
        Deadline deadline;
        std::string received;
        std::optional<RequestHead> head;
        std::optional<std::size_t> bodyLength;
    };

    void run();
    void takeAdopted();
    void readFrom(std::uint64_t id);
    // The connection leaves the table: handed over as `head` when the
    // client sent anything, else closed without a word.
    void release(std::map<std::uint64_t, Connection>::iterator it, std::optional<RequestHead> head);
    void timeOut(std::map<std::uint64_t, Connection>::iterator it, const char* why);
    void closeAll();

    Limits limits_;
    const StopSignal& stop_;
    Handler ready_;
    int epoll_ = -1;
    int wake_ = -1;
    // Oldest first: every connection has the same time from its acceptance,
    // so the first is also the first to run out of time.
    std::map<std::uint64_t, Connection> connections_;
    std::uint64_t nextId_ = 0;

    std::mutex mutex_;
    std::vector<int> adopted_;
    bool stopped_ = false;
    std::thread thread_;
};

}  // namespace tools::collector
