#include "platform/frameworks/utilities/network.h"

#include <atomic>
#include <cmath>
#include <map>
#include <mutex>
#include <stop_token>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/foundation/url.h"

namespace platform {

namespace {

// Without a scheme we serve and a host there is no session to make.
bool canMakeSession(const std::string& text) {
    const std::optional<URL> url = URL::parse(text);
    return url && (url->scheme() == "http" || url->scheme() == "https") && !url->host().empty();
}

HTTPRequest makeRequest(const char* method, const std::string& url, const HTTPHeaders& headers,
                        std::vector<std::uint8_t> body) {
    HTTPRequest request;
    request.method = method;
    request.url = url;
    request.headers = headers;
    request.body = std::move(body);
    return request;
}

HTTPURLResponse urlResponseOf(const HTTPResponse& response) {
    HTTPURLResponse urlResponse;
    if (!response.failed()) {
        urlResponse.statusCode = response.statusCode;
        urlResponse.expectedContentLength = response.expectedContentLength;
        urlResponse.allHeaderFields = response.headers;
    }
    return urlResponse;
}

std::optional<RULError> errorOf(const HTTPResponse& response) {
    if (!response.failed()) {
        return std::nullopt;
    }
    std::string message = transportErrorName(response.error);
    if (!response.errorMessage.empty() && response.errorMessage != message) {
        message += " (" + response.errorMessage + ")";
    }
    return RULError{kRULNetworkErrorDomain, static_cast<int>(response.error), message};
}

}  // namespace

std::optional<std::string> HTTPURLResponse::valueForHTTPHeaderField(const std::string& name) const {
    auto it = allHeaderFields.find(name);
    if (it == allHeaderFields.end()) {
        return std::nullopt;
    }
    return it->second;
}

namespace {

std::atomic<std::size_t>& processRequests() {
    static std::atomic<std::size_t> count{0};
    return count;
}

}  // namespace

struct RULNetwork::State {
    std::string host;
    std::shared_ptr<HTTPClient> client;
    std::shared_ptr<Reachability> reachability;
    std::shared_ptr<dispatch::Queue> delegateQueue;

    mutable std::mutex mutex;
    double timeout = kDefaultTimeoutInterval;
    std::weak_ptr<RULReachabilityDelegate> delegate;
    std::size_t inFlight = 0;
    std::uint64_t lastTask = 0;
    std::map<std::uint64_t, std::jthread> workers;
    std::vector<std::uint64_t> finishedWorkers;

    // Hands the outcome to the caller's queue. The request stops counting
    // as in flight just before its completion runs, so that a completion
    // may start the next request at once.
    static void deliver(const std::shared_ptr<State>& state, const std::shared_ptr<dispatch::Queue>& queue,
                        RULNetworkCompletionHandler handler, HTTPResponse response) {
        queue->async([state, handler = std::move(handler), response = std::move(response)] {
            {
                std::lock_guard lock(state->mutex);
                --state->inFlight;
            }
            --processRequests();
            if (handler) {
                handler(urlResponseOf(response), response.body, errorOf(response));
            }
        });
    }

    HTTPResponse exchange(const HTTPRequest& request, std::stop_token stop) const {
        try {
            return client->send(request, stop);
        } catch (const std::exception& failure) {
            return HTTPResponse::failure(TransportError::Other, failure.what());
        } catch (...) {
            return HTTPResponse::failure(TransportError::Other, "the HTTP client failed");
        }
    }

    // Threads that have finished are joined when the next request starts,
    // so that they do not pile up. Taken out with the lock held; the caller
    // joins them after letting it go, since a finishing thread may be
    // waiting for a queue whose pending completion needs the lock.
    std::vector<std::jthread> takeFinishedWorkers() {
        std::vector<std::jthread> finished;
        for (std::uint64_t id : finishedWorkers) {
            if (auto worker = workers.extract(id)) {
                finished.push_back(std::move(worker.mapped()));
            }
        }
        finishedWorkers.clear();
        return finished;
    }

    void tellDelegate() const {
        std::shared_ptr<RULReachabilityDelegate> current;
        {
            std::lock_guard lock(mutex);
            current = delegate.lock();
        }
        if (current) {
            current->reachabilityDidChange();
        }
    }
};

RULNetwork::RULNetwork(std::string reachabilityHost, std::shared_ptr<HTTPClient> client,
                       std::shared_ptr<Reachability> reachability, std::shared_ptr<dispatch::Queue> delegateQueue)
    : state_(std::make_shared<State>()) {
    state_->host = std::move(reachabilityHost);
    state_->client = client ? std::move(client) : defaultHTTPClient();
    state_->reachability = reachability ? std::move(reachability) : Reachability::shared();
    state_->delegateQueue = delegateQueue ? std::move(delegateQueue) : dispatch::mainQueuePointer();
    std::weak_ptr<State> weak = state_;
    observation_ = state_->reachability->observe([weak](bool) {
        if (auto state = weak.lock()) {
            state->delegateQueue->async([weak] {
                if (auto alive = weak.lock()) {
                    alive->tellDelegate();
                }
            });
        }
    });
}

RULNetwork::~RULNetwork() {
    observation_.reset();
    std::map<std::uint64_t, std::jthread> workers;
    {
        std::lock_guard lock(state_->mutex);
        workers.swap(state_->workers);
        state_->finishedWorkers.clear();
    }
    for (auto& [id, worker] : workers) {
        worker.request_stop();
    }
    // Leaving scope joins them; each has handed its outcome to its queue.
}

std::string RULNetwork::postURL(const std::string& url, const HTTPHeaders& headers, std::vector<std::uint8_t> payload,
                                std::shared_ptr<dispatch::Queue> queue, bool /*usingBackgroundSession*/,
                                RULNetworkCompletionHandler completionHandler) {
    return start(makeRequest("POST", url, headers, std::move(payload)), std::move(queue),
                 std::move(completionHandler));
}

std::string RULNetwork::postURL(const std::string& url, std::vector<std::uint8_t> payload,
                                std::shared_ptr<dispatch::Queue> queue, bool usingBackgroundSession,
                                RULNetworkCompletionHandler completionHandler) {
    return postURL(url, HTTPHeaders{}, std::move(payload), std::move(queue), usingBackgroundSession,
                   std::move(completionHandler));
}

std::string RULNetwork::getURL(const std::string& url, const HTTPHeaders& headers,
                               std::shared_ptr<dispatch::Queue> queue, bool /*usingBackgroundSession*/,
                               RULNetworkCompletionHandler completionHandler) {
    return start(makeRequest("GET", url, headers, {}), std::move(queue), std::move(completionHandler));
}

std::string RULNetwork::start(HTTPRequest request, std::shared_ptr<dispatch::Queue> queue,
                              RULNetworkCompletionHandler completionHandler) {
    if (!queue) {
        queue = dispatch::mainQueuePointer();
    }
    if (!canMakeSession(request.url)) {
        refuse(HTTPResponse::failure(TransportError::InvalidRequest, "unsupported URL \"" + request.url + "\""),
               std::move(queue), std::move(completionHandler));
        return "";
    }
    // A request like any other, failed before it could go out.
    if (!state_->reachability->isReachable()) {
        std::uint64_t id = 0;
        {
            std::lock_guard lock(state_->mutex);
            id = ++state_->lastTask;
        }
        refuse(HTTPResponse::failure(TransportError::NotConnected, ""), std::move(queue), std::move(completionHandler));
        return "network-task-" + std::to_string(id);
    }
    std::vector<std::jthread> finished;  // joined on return, once the lock is let go
    std::lock_guard lock(state_->mutex);
    finished = state_->takeFinishedWorkers();
    ++state_->inFlight;
    ++processRequests();
    request.timeoutSeconds = state_->timeout;
    const std::uint64_t id = ++state_->lastTask;
    // The thread cannot finish before it is filed: its last step takes the
    // lock held here.
    try {
        state_->workers.emplace(id, std::jthread([state = state_, id, request = std::move(request), queue,
                                                  handler = completionHandler](std::stop_token stop) mutable {
            State::deliver(state, queue, std::move(handler), state->exchange(request, stop));
            std::lock_guard finished(state->mutex);
            state->finishedWorkers.push_back(id);
        }));
    } catch (const std::system_error& failure) {
        // No thread, no session; the caller still hears of it.
        State::deliver(state_, queue, std::move(completionHandler),
                       HTTPResponse::failure(TransportError::Other, failure.what()));
        return "";
    }
    return "network-task-" + std::to_string(id);
}

// Counted in flight until its completion runs, as every other request.
void RULNetwork::refuse(HTTPResponse failure, std::shared_ptr<dispatch::Queue> queue,
                        RULNetworkCompletionHandler completionHandler) {
    {
        std::lock_guard lock(state_->mutex);
        ++state_->inFlight;
    }
    ++processRequests();
    State::deliver(state_, queue, std::move(completionHandler), std::move(failure));
}

void RULNetwork::setTimeoutInterval(double seconds) {
    if (!std::isfinite(seconds) || seconds <= 0) {
        return;
    }
    std::lock_guard lock(state_->mutex);
    state_->timeout = seconds;
}

double RULNetwork::timeoutInterval() const {
    std::lock_guard lock(state_->mutex);
    return state_->timeout;
}

std::size_t RULNetwork::requestsInProgress() { return processRequests().load(); }

bool RULNetwork::isNetworkConnected() const {
    return state_->reachability->isReachable();
}

bool RULNetwork::hasUploadInProgress() const {
    std::lock_guard lock(state_->mutex);
    return state_->inFlight > 0;
}

void RULNetwork::setReachabilityDelegate(std::shared_ptr<RULReachabilityDelegate> delegate) {
    std::lock_guard lock(state_->mutex);
    state_->delegate = delegate;
}

const std::string& RULNetwork::reachabilityHost() const {
    return state_->host;
}

}  // namespace platform
