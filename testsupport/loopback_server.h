#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// One request as the server received it.
struct RecordedRequest {
    std::string method;
    std::string path;   // as sent, without the query
    std::string query;  // the text after '?', empty when none
    HeaderList headers;
    std::string body;   // the bytes as sent

    // The first header of that name, compared without regard to case.
    std::optional<std::string> header(const std::string& name) const;
};

// How the server answers one request.
struct ScriptedResponse {
    int status = 200;
    HeaderList headers;
    std::string body;
    std::string contentType = "application/octet-stream";
    // Waits this long before answering; the server's shutdown cuts it short.
    double delaySeconds = 0;
    // Waits until release() (or the server's shutdown) before answering.
    bool hold = false;
};

// An HTTP server on 127.0.0.1 at a port the system picks, for tests of
// network code. It records every request and answers from a script: first
// the answers queued with enqueue(), in order, whatever the path; then the
// standing answer for the request's path; otherwise 404. Any thread may
// use it. The destructor stops it promptly, even with requests held or
// delayed.
class LoopbackServer {
public:
    LoopbackServer();
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const;
    // "http://127.0.0.1:<port>" followed by the path (and query) given.
    std::string url(const std::string& pathAndQuery = "/") const;

    void enqueue(ScriptedResponse response);
    void answer(const std::string& path, ScriptedResponse response);

    std::vector<RecordedRequest> requests() const;
    std::size_t requestCount() const;
    // The connections accepted so far, whether a request came on them or
    // not.
    std::size_t connectionCount() const;
    // Waits (in real time, at most the limit) until that many requests have
    // arrived; answers whether they did.
    bool waitForRequests(std::size_t count, double timeoutSeconds) const;

    // Waits until that many requests wait for release() at once.
    bool waitForHeld(std::size_t count, double timeoutSeconds) const;
    // Lets every request held so far answer.
    void release();

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace testsupport
