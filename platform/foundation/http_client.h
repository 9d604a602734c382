#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace platform {

// Header names compare without regard to case, as HTTP defines them.
struct HeaderNameLess {
    bool operator()(const std::string& a, const std::string& b) const;
};
using HTTPHeaders = std::map<std::string, std::string, HeaderNameLess>;

struct HTTPRequest {
    std::string method = "GET";
    std::string url;
    HTTPHeaders headers;
    std::vector<std::uint8_t> body;
    double timeoutSeconds = 60;
};

// Why a request got no HTTP response at all.
enum class TransportError {
    None = 0,
    InvalidRequest,    // the URL or a header cannot be sent as given
    CannotConnect,     // host unknown, connection refused or reset
    TimedOut,
    Cancelled,
    ResponseTooLarge,  // the reply outgrew the client's size limit
    Other,
    NotConnected,      // the device has no network: nothing was sent
};

const char* transportErrorName(TransportError error);

// The answer to one request. A transport failure has status 0, no headers,
// no body and a reason; an HTTP response of any status has no reason.
struct HTTPResponse {
    int statusCode = 0;
    HTTPHeaders headers;
    std::vector<std::uint8_t> body;
    // The Content-Length the server announced; -1 when it announced none.
    std::int64_t expectedContentLength = -1;
    TransportError error = TransportError::None;
    std::string errorMessage;

    bool failed() const { return error != TransportError::None; }
    std::optional<std::string> header(const std::string& name) const;

    static HTTPResponse failure(TransportError error, std::string message);
};

// Sends one request and waits for its answer. Implementations are safe to
// call from several threads at once. A stop request on the token abandons
// the exchange promptly with TransportError::Cancelled.
class HTTPClient {
public:
    virtual ~HTTPClient() = default;
    virtual HTTPResponse send(const HTTPRequest& request, std::stop_token stop = {}) = 0;
};

// The real client, over libcurl: http and https only, no redirects followed,
// no automatic decompression (a reply arrives exactly as the server sent
// it), replies larger than maxResponseBytes refused.
class CurlHTTPClient : public HTTPClient {
public:
    static constexpr std::size_t kDefaultMaxResponseBytes = 32u * 1024u * 1024u;

    explicit CurlHTTPClient(std::size_t maxResponseBytes = kDefaultMaxResponseBytes);
    HTTPResponse send(const HTTPRequest& request, std::stop_token stop = {}) override;

private:
    std::size_t maxResponseBytes_;
};

// The process's client: one shared CurlHTTPClient.
std::shared_ptr<HTTPClient> defaultHTTPClient();

// A stand-in for tests: remembers every request and answers from a script,
// in order; once the script is used up it answers with a transport failure
// (CannotConnect). It answers at once, so a stop
// request has nothing to cut short and is not looked at: whatever was sent
// gets its scripted answer.
class RecordingHTTPClient : public HTTPClient {
public:
    HTTPResponse send(const HTTPRequest& request, std::stop_token stop = {}) override;

    void enqueue(HTTPResponse response);
    std::vector<HTTPRequest> requests() const;
    std::size_t requestCount() const;

private:
    mutable std::mutex mutex_;
    std::vector<HTTPRequest> requests_;
    std::deque<HTTPResponse> script_;
};

// A response with a status, a text body and optional headers; for scripts.
HTTPResponse makeHTTPResponse(int statusCode, const std::string& body = {}, HTTPHeaders headers = {});

}  // namespace platform
