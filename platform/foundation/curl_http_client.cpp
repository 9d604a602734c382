#include <algorithm>
#include <cmath>
#include <string_view>

#include "platform/foundation/curl_library.h"
#include "platform/foundation/http_client.h"

namespace platform {

namespace {

bool isTokenCharacter(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7f) {
        return false;
    }
    return std::string_view("()<>@,;:\\\"/[]?={}").find(c) == std::string_view::npos;
}

bool isValidToken(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), isTokenCharacter);
}

// A value with a line break would let a caller smuggle in further headers.
bool isValidHeaderValue(const std::string& value) {
    return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

long timeoutMilliseconds(double seconds) {
    constexpr double kLongest = 24.0 * 3600.0;
    if (!std::isfinite(seconds) || seconds <= 0) {
        seconds = 60;
    }
    return static_cast<long>(std::clamp(seconds, 0.001, kLongest) * 1000.0);
}

// What the callbacks of one exchange collect.
struct Collector {
    std::size_t maxBytes = 0;
    HTTPHeaders headers;
    std::vector<std::uint8_t> body;
    bool tooLarge = false;

    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
        auto* self = static_cast<Collector*>(user);
        const std::size_t n = size * count;
        if (n > self->maxBytes - self->body.size()) {
            self->tooLarge = true;
            return 0;  // makes libcurl stop with a write error
        }
        self->body.insert(self->body.end(), data, data + n);
        return n;
    }

    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
        auto* self = static_cast<Collector*>(user);
        const std::size_t n = size * count;
        self->addHeaderLine(std::string_view(data, n));
        return n;
    }

    void addHeaderLine(std::string_view line) {
        if (line.starts_with("HTTP/")) {
            headers.clear();  // a new response begins (after "100 Continue")
            return;
        }
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) {
            return;
        }
        const std::string name(trimmed(line.substr(0, colon)));
        const std::string value(trimmed(line.substr(colon + 1)));
        if (name.empty()) {
            return;
        }
        auto [it, inserted] = headers.emplace(name, value);
        if (!inserted) {
            it->second += ", " + value;  // repeated headers fold into one list
        }
    }
};

// The libcurl handles of one exchange, released in the right order.
struct Handles {
    const CurlLibrary& curl;
    CURL* easy = curl.easy_init();
    CURLM* multi = curl.multi_init();
    curl_slist* headers = nullptr;
    bool added = false;

    explicit Handles(const CurlLibrary& library) : curl(library) {}
    Handles(const Handles&) = delete;
    Handles& operator=(const Handles&) = delete;
    ~Handles() {
        if (added) {
            curl.multi_remove_handle(multi, easy);
        }
        if (easy != nullptr) {
            curl.easy_cleanup(easy);
        }
        if (multi != nullptr) {
            curl.multi_cleanup(multi);
        }
        curl.slist_free_all(headers);
    }

    bool addHeader(const std::string& line) {
        curl_slist* extended = curl.slist_append(headers, line.c_str());
        if (extended == nullptr) {
            return false;
        }
        headers = extended;
        return true;
    }
};

std::optional<HTTPResponse> checkRequest(const HTTPRequest& request) {
    if (!isValidToken(request.method)) {
        return HTTPResponse::failure(TransportError::InvalidRequest, "invalid method \"" + request.method + "\"");
    }
    for (const auto& [name, value] : request.headers) {
        if (!isValidToken(name) || !isValidHeaderValue(value)) {
            return HTTPResponse::failure(TransportError::InvalidRequest, "invalid header \"" + name + "\"");
        }
    }
    return std::nullopt;
}

bool addRequestHeaders(Handles& handles, const HTTPRequest& request, bool sendsBody) {
    for (const auto& [name, value] : request.headers) {
        // "Name;" is libcurl's spelling of a header with an empty value.
        if (!handles.addHeader(value.empty() ? name + ";" : name + ": " + value)) {
            return false;
        }
    }
    // libcurl would otherwise label every body as a web form and pause a
    // second for "100 Continue" before larger bodies.
    if (sendsBody && request.headers.find("Content-Type") == request.headers.end() &&
        !handles.addHeader("Content-Type:")) {
        return false;
    }
    if (sendsBody && request.headers.find("Expect") == request.headers.end() && !handles.addHeader("Expect:")) {
        return false;
    }
    return true;
}

bool configure(Handles& handles, const HTTPRequest& request, Collector& collector, char* errorBuffer) {
    CURL* easy = handles.easy;
    const auto setopt = handles.curl.easy_setopt;
    const bool isGet = request.method == "GET";
    const bool isHead = request.method == "HEAD";
    const bool sendsBody = !isGet && !isHead;
    const long timeout = timeoutMilliseconds(request.timeoutSeconds);
    bool ok = setopt(easy, CURLOPT_URL, request.url.c_str()) == CURLE_OK;
    ok = ok && setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
    ok = ok && setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    // A proxy from the environment is used, but never for this machine.
    ok = ok && setopt(easy, CURLOPT_NOPROXY, "127.0.0.1,localhost,::1") == CURLE_OK;
    ok = ok && setopt(easy, CURLOPT_TIMEOUT_MS, timeout) == CURLE_OK;
    ok = ok && setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, timeout) == CURLE_OK;
    ok = ok && setopt(easy, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK;
    ok = ok && setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer) == CURLE_OK;
    ok = ok && setopt(easy, CURLOPT_WRITEFUNCTION, &Collector::onBody) == CURLE_OK;
    ok = ok && setopt(easy, CURLOPT_WRITEDATA, &collector) == CURLE_OK;
    ok = ok && setopt(easy, CURLOPT_HEADERFUNCTION, &Collector::onHeader) == CURLE_OK;
    ok = ok && setopt(easy, CURLOPT_HEADERDATA, &collector) == CURLE_OK;
    if (isGet) {
        ok = ok && setopt(easy, CURLOPT_HTTPGET, 1L) == CURLE_OK;
    } else if (isHead) {
        ok = ok && setopt(easy, CURLOPT_NOBODY, 1L) == CURLE_OK;
    } else {
        static const char kEmpty[] = "";
        const void* data = request.body.empty() ? static_cast<const void*>(kEmpty) : request.body.data();
        ok = ok && setopt(easy, CURLOPT_POST, 1L) == CURLE_OK;
        ok = ok && setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                                    static_cast<curl_off_t>(request.body.size())) == CURLE_OK;
        ok = ok && setopt(easy, CURLOPT_POSTFIELDS, data) == CURLE_OK;
        if (request.method != "POST") {
            ok = ok && setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str()) == CURLE_OK;
        }
    }
    ok = ok && addRequestHeaders(handles, request, sendsBody);
    ok = ok && setopt(easy, CURLOPT_HTTPHEADER, handles.headers) == CURLE_OK;
    return ok;
}

TransportError classify(CURLcode code, const Collector& collector) {
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
            return TransportError::TimedOut;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_CONNECT:
            return TransportError::CannotConnect;
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL:
            return TransportError::InvalidRequest;
        case CURLE_WRITE_ERROR:
            return collector.tooLarge ? TransportError::ResponseTooLarge : TransportError::Other;
        default:
            return TransportError::Other;
    }
}

// Drives the exchange until it ends or the token asks to stop; answers the
// transfer's result code, or nothing when it was stopped.
std::optional<CURLcode> perform(Handles& handles, std::stop_token stop) {
    // Wakes the poll below at once when someone asks to stop.
    const CurlLibrary& curl = handles.curl;
    std::stop_callback wake(stop, [&curl, multi = handles.multi] { curl.multi_wakeup(multi); });
    for (;;) {
        int running = 0;
        if (curl.multi_perform(handles.multi, &running) != CURLM_OK) {
            return CURLE_FAILED_INIT;
        }
        if (running == 0) {
            break;
        }
        if (stop.stop_requested()) {
            return std::nullopt;
        }
        if (curl.multi_poll(handles.multi, nullptr, 0, 1000, nullptr) != CURLM_OK) {
            return CURLE_FAILED_INIT;
        }
    }
    int remaining = 0;
    while (CURLMsg* message = curl.multi_info_read(handles.multi, &remaining)) {
        if (message->msg == CURLMSG_DONE) {
            return message->data.result;
        }
    }
    return CURLE_FAILED_INIT;
}

}  // namespace

CurlHTTPClient::CurlHTTPClient(std::size_t maxResponseBytes) : maxResponseBytes_(maxResponseBytes) {}

HTTPResponse CurlHTTPClient::send(const HTTPRequest& request, std::stop_token stop) {
    if (auto refusal = checkRequest(request)) {
        return *refusal;
    }
    std::string unavailable;
    const CurlLibrary* curl = curlLibrary(&unavailable);
    if (curl == nullptr) {
        return HTTPResponse::failure(TransportError::Other, unavailable);
    }
    Handles handles(*curl);
    if (handles.easy == nullptr || handles.multi == nullptr) {
        return HTTPResponse::failure(TransportError::Other, "cannot create a transfer");
    }
    Collector collector;
    collector.maxBytes = maxResponseBytes_;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    if (!configure(handles, request, collector, errorBuffer)) {
        return HTTPResponse::failure(TransportError::InvalidRequest, "cannot prepare the request");
    }
    if (curl->multi_add_handle(handles.multi, handles.easy) != CURLM_OK) {
        return HTTPResponse::failure(TransportError::Other, "cannot start the transfer");
    }
    handles.added = true;

    const std::optional<CURLcode> result = perform(handles, stop);
    if (!result) {
        return HTTPResponse::failure(TransportError::Cancelled, "cancelled");
    }
    if (*result != CURLE_OK) {
        const std::string detail = errorBuffer[0] != '\0' ? errorBuffer : curl->easy_strerror(*result);
        return HTTPResponse::failure(classify(*result, collector), detail);
    }
    HTTPResponse response;
    long status = 0;
    curl_off_t length = -1;
    curl->easy_getinfo(handles.easy, CURLINFO_RESPONSE_CODE, &status);
    curl->easy_getinfo(handles.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (status <= 0 || status > 999) {
        return HTTPResponse::failure(TransportError::Other, "the reply carries no HTTP status");
    }
    response.statusCode = static_cast<int>(status);
    response.expectedContentLength = length < 0 ? -1 : static_cast<std::int64_t>(length);
    response.headers = std::move(collector.headers);
    response.body = std::move(collector.body);
    return response;
}

}  // namespace platform
