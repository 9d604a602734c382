// The guard's reads and writes on a connected pair of sockets: a stop ends
// every wait for the client, never an answer under way, and the deadline
// ends both. The table of connections still sending holds no more than its
// capacity.
#include "tools/collector/connection_guard.h"

#include <doctest/doctest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>

#include "tools/collector/connection_table.h"

using namespace tools::collector;

namespace {

struct SocketPair {
    SocketPair() { REQUIRE(socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0); }
    ~SocketPair() {
        close(ends[0]);
        close(ends[1]);
    }
    std::string drain() {
        std::string text;
        char buffer[256];
        shutdown(ends[0], SHUT_WR);
        for (ssize_t n; (n = read(ends[1], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
        return text;
    }
    int ends[2] = {-1, -1};
};

Deadline in(double seconds) {
    return std::chrono::steady_clock::now() +
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

TEST_CASE("a stop ends the waits for the client but not the answer") {
    SocketPair pair;
    StopSignal stop;
    stop.raise();
    GuardedStream stream(pair.ends[0], in(60), stop, "POST");

    SUBCASE("bytes already read still come, then the read ends at once") {
        char buffer[8];
        CHECK(stream.read(buffer, sizeof buffer) == 4);
        CHECK(stream.read(buffer, sizeof buffer) == -1);
        CHECK_FALSE(stream.timedOut());
        CHECK(readRequestHead(pair.ends[0], in(60), stop, 1024).outcome == HeadOutcome::kStopped);
    }
    SUBCASE("the answer is written whole") {
        const std::string answer = "HTTP/1.1 204 No Content\r\n\r\n";
        CHECK(stream.write(answer.data(), answer.size()) == static_cast<ssize_t>(answer.size()));
        writePlainAnswer(pair.ends[0], 400, "malformed request line", in(60), stop);
        const std::string sent = pair.drain();
        CHECK(sent.rfind(answer, 0) == 0);
        CHECK(sent.find("HTTP/1.1 400 Bad Request\r\n") != std::string::npos);
        CHECK(sent.find("malformed request line\n") != std::string::npos);
    }
}

TEST_CASE("a read past the deadline fails and marks the request as timed out; writing then stops") {
    SocketPair pair;
    StopSignal stop;
    GuardedStream stream(pair.ends[0], in(0), stop, {});
    char buffer[8];
    CHECK(stream.read(buffer, sizeof buffer) == -1);
    CHECK(stream.timedOut());
    CHECK(stream.write("x", 1) == -1);
    CHECK(readRequestHead(pair.ends[0], in(0), stop, 1024).outcome == HeadOutcome::kTimedOut);
}

TEST_CASE("request heads are checked before they are parsed") {
    struct Case {
        const char* head;
        const char* problem;  // empty: accepted
    };
    const Case cases[] = {
        {"GET /a HTTP/1.1\r\nHost: x\r\n\r\n", ""},
        {"POST /a HTTP/1.0\r\nContent-Length: 12\r\nContent-Length: 12\r\n\r\n", ""},
        {"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", ""},
        {"GET /a HTTP/1.1\r\nX-Empty:\r\n\r\n", ""},
        {"GET /a HTTP/1.1\r\n", "incomplete request head"},
        {"GET  /a HTTP/1.1\r\n\r\n", "malformed request line"},
        {"G(T /a HTTP/1.1\r\n\r\n", "malformed request line"},
        {"GET /a HTTP/1.1\r\nContent-Length: 1x\r\n\r\n", "Content-Length is not a number"},
        {"GET /a HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n", "Content-Length is not a number"},
        {"GET /a HTTP/1.1\r\nA: 1\r\n\r\nB: 2\r\n\r\n", "empty header line"},
        {"GET /a HTTP/1.1\r\nA: 1\rB: 2\r\n\r\n", "stray line break"},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.head);
        const auto problem = headProblem(entry.head);
        if (std::string(entry.problem).empty()) {
            CHECK_FALSE(problem);
        } else {
            REQUIRE(problem);
            CHECK(problem->find(entry.problem) != std::string::npos);
        }
    }
    // The size limit holds the whole head, its blank line too; a partial
    // head at the limit may still end within it.
    const std::string head = "GET /a HTTP/1.1\r\n\r\n";
    CHECK(headSoFar(head, head.size())->outcome == HeadOutcome::kComplete);
    CHECK(headSoFar(head, head.size() - 1)->problem == kHeadTooLarge);
    CHECK_FALSE(headSoFar("GET /a", 6));
    CHECK(headSoFar("GET /a", 5)->problem == kHeadTooLarge);
}

TEST_CASE("the connection table gives its oldest place up when a connection comes at its capacity") {
    StopSignal stop;
    std::atomic<int> handedOver{0};
    ConnectionTable::Limits limits;
    limits.capacity = 2;
    limits.deadlineSeconds = 600;
    ConnectionTable table(limits, stop, [&handedOver](ReadRequest request) {
        ++handedOver;
        close(request.socket);
    });
    // The table owns and closes its ends; the test keeps the clients'.
    int clients[3];
    for (int& client : clients) {
        int ends[2];
        REQUIRE(socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0);
        table.adopt(ends[0]);
        client = ends[1];
    }
    // The first, which sent nothing, is closed without a word (the bound is
    // for a table that never closes it).
    pollfd first{clients[0], POLLIN, 0};
    REQUIRE(poll(&first, 1, 10'000) == 1);
    char byte = 0;
    CHECK(read(clients[0], &byte, 1) == 0);
    // The other two keep their places.
    pollfd others[2] = {{clients[1], POLLIN, 0}, {clients[2], POLLIN, 0}};
    CHECK(poll(others, 2, 0) == 0);
    CHECK(handedOver == 0);
    table.shutdown();
    for (const int client : clients) close(client);
}
