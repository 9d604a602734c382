#include "platform/foundation/http_client.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace platform {

namespace {

unsigned char lowered(char c) {
    return static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(c)));
}

}  // namespace

bool HeaderNameLess::operator()(const std::string& a, const std::string& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return lowered(x) < lowered(y); });
}

const char* transportErrorName(TransportError error) {
    switch (error) {
        case TransportError::None: return "none";
        case TransportError::InvalidRequest: return "invalid request";
        case TransportError::CannotConnect: return "cannot connect";
        case TransportError::TimedOut: return "timed out";
        case TransportError::Cancelled: return "cancelled";
        case TransportError::ResponseTooLarge: return "response too large";
        case TransportError::Other: return "transport failure";
        case TransportError::NotConnected: return "the network is unreachable";
    }
    return "transport failure";
}

std::optional<std::string> HTTPResponse::header(const std::string& name) const {
    auto it = headers.find(name);
    if (it == headers.end()) {
        return std::nullopt;
    }
    return it->second;
}

HTTPResponse HTTPResponse::failure(TransportError error, std::string message) {
    HTTPResponse response;
    response.error = error;
    response.errorMessage = std::move(message);
    return response;
}

HTTPResponse makeHTTPResponse(int statusCode, const std::string& body, HTTPHeaders headers) {
    HTTPResponse response;
    response.statusCode = statusCode;
    response.body.assign(body.begin(), body.end());
    response.expectedContentLength = static_cast<std::int64_t>(body.size());
    response.headers = std::move(headers);
    return response;
}

std::shared_ptr<HTTPClient> defaultHTTPClient() {
    static const std::shared_ptr<HTTPClient> client = std::make_shared<CurlHTTPClient>();
    return client;
}

HTTPResponse RecordingHTTPClient::send(const HTTPRequest& request, std::stop_token /*stop*/) {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    if (script_.empty()) {
        return HTTPResponse::failure(TransportError::CannotConnect, "no scripted response");
    }
    HTTPResponse next = std::move(script_.front());
    script_.pop_front();
    return next;
}

void RecordingHTTPClient::enqueue(HTTPResponse response) {
    std::lock_guard lock(mutex_);
    script_.push_back(std::move(response));
}

std::vector<HTTPRequest> RecordingHTTPClient::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t RecordingHTTPClient::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

}  // namespace platform
