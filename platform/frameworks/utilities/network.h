#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/queue.h"
#include "platform/foundation/http_client.h"
#include "platform/frameworks/utilities/rul_error.h"
#include "platform/frameworks/utilities/reachability.h"

namespace platform {

// The statuses callers compare with.
inline constexpr int kRULNetworkHTTPStatusOK = 200;
inline constexpr int kRULNetworkHTTPStatusNoContent = 204;
inline constexpr int kRULNetworkHTTPStatusCodeNotModified = 304;
inline constexpr int kRULNetworkHTTPStatusCodeNotFound = 404;
inline constexpr int kRULNetworkHTTPStatusCodeCannotAcceptTraffic = 429;
inline constexpr int kRULNetworkHTTPStatusCodeUnavailable = 503;

// What a completion learns of the reply. After a transport failure the
// status is 0, the length -1 and there are no headers.
struct HTTPURLResponse {
    int statusCode = 0;
    // The Content-Length the server announced; -1 when unknown.
    std::int64_t expectedContentLength = -1;
    HTTPHeaders allHeaderFields;

    // The header's value, the name compared without regard to case.
    std::optional<std::string> valueForHTTPHeaderField(const std::string& name) const;
};

// Called exactly once per request, on the queue the request named: on
// success, on any HTTP status, on a transport failure or time-out (status
// 0 and an error) and when the network object goes away first (status 0,
// error "cancelled").
using RULNetworkCompletionHandler = std::function<void(
    const HTTPURLResponse& response, const std::vector<std::uint8_t>& data, const std::optional<RULError>& error)>;

class RULReachabilityDelegate {
public:
    virtual ~RULReachabilityDelegate() = default;
    virtual void reachabilityDidChange() = 0;
};

// The network object: sends each request on a thread of its own and hands
// the outcome to the caller's queue. It watches a reachability switch (see
// Reachability) and tells its delegate when that changes. A request made
// while the switch says there is no network makes no connection: it
// completes at once with TransportError::NotConnected ("the network is
// unreachable"); callers that would rather wait consult isNetworkConnected()
// first.
// There are no background transfers here: the background-session flag is
// accepted and has no effect. Every member is safe to call from any thread.
class RULNetwork {
public:
    static constexpr double kDefaultTimeoutInterval = 60;

    // client: the process's libcurl client unless given; reachability: the
    // process's switch unless given; delegateQueue: where the delegate is
    // told of changes, the main queue unless given.
    explicit RULNetwork(std::string reachabilityHost, std::shared_ptr<HTTPClient> client = nullptr,
                        std::shared_ptr<Reachability> reachability = nullptr,
                        std::shared_ptr<dispatch::Queue> delegateQueue = nullptr);
    // Cancels what is still in flight and waits for its threads; those
    // requests complete with a "cancelled" error.
    ~RULNetwork();
    RULNetwork(const RULNetwork&) = delete;
    RULNetwork& operator=(const RULNetwork&) = delete;

    // Answers the task identifier, or "" when the URL is not an http or
    // https URL; the completion is called even then. Without a network the
    // request fails at once (TransportError::NotConnected). A null queue means the
    // main queue.
    std::string postURL(const std::string& url, const HTTPHeaders& headers, std::vector<std::uint8_t> payload,
                        std::shared_ptr<dispatch::Queue> queue, bool usingBackgroundSession,
                        RULNetworkCompletionHandler completionHandler);
    std::string postURL(const std::string& url, std::vector<std::uint8_t> payload,
                        std::shared_ptr<dispatch::Queue> queue, bool usingBackgroundSession,
                        RULNetworkCompletionHandler completionHandler);
    // No headers: an empty dictionary.
    std::string getURL(const std::string& url, const HTTPHeaders& headers, std::shared_ptr<dispatch::Queue> queue,
                       bool usingBackgroundSession, RULNetworkCompletionHandler completionHandler);

    // The time-out of the requests made from now on; a value that is not a
    // positive number is ignored.
    void setTimeoutInterval(double seconds);
    double timeoutInterval() const;

    bool isNetworkConnected() const;
    // True from the moment a request is made until its completion starts.
    bool hasUploadInProgress() const;
    // The same count over every network object of the process: what a
    // headless driver waits for before it calls the process idle.
    static std::size_t requestsInProgress();
    // Held weakly; nullptr clears it.
    void setReachabilityDelegate(std::shared_ptr<RULReachabilityDelegate> delegate);

    const std::string& reachabilityHost() const;

private:
    struct State;
    std::shared_ptr<State> state_;
    std::unique_ptr<Reachability::Observation> observation_;

    std::string start(HTTPRequest request, std::shared_ptr<dispatch::Queue> queue,
                      RULNetworkCompletionHandler completionHandler);
    // Completes a request that is not sent, with the failure given.
    void refuse(HTTPResponse failure, std::shared_ptr<dispatch::Queue> queue,
                RULNetworkCompletionHandler completionHandler);
};

}  // namespace platform
