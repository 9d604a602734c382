// The collector's loopback HTTP service.
#include "tools/collector/collector_service.h"

#include <httplib.h>
#include <sys/socket.h>

#include <condition_variable>
#include <stdexcept>
#include <thread>

#include "platform/foundation/json_codec.h"
#include "tools/collector/config_file.h"
#include "tools/collector/endpoints.h"
#include "tools/collector/remote_values_endpoint.h"
#include "tools/collector/search_ad_endpoint.h"

namespace tools::collector {

namespace {

constexpr const char* kLoopbackAddress = "127.0.0.1";
// Far above any batch; the server refuses larger bodies with 413.
constexpr std::size_t kMaxRequestBytes = 64u * 1024u * 1024u;

// What the collector keeps of the request in hand. The server runs the
// pre-routing handler, the handler and then the logger for one request on
// one thread.
struct RequestState {
    // Set by our handlers; a request the logger finds unset was answered by
    // the server itself (a bad request line, a body too large) and is
    // printed there.
    bool handled = false;
    // The server would inflate a compressed body on its own and takes a
    // truncated gzip stream for a shorter body. The header is taken away
    // before the body is read, so that the body arrives as sent and the
    // endpoint inflates it with a decoder that refuses damaged data.
    std::optional<std::string> contentEncoding;
};
thread_local RequestState tRequest;

httplib::Server::HandlerResponse takeContentEncoding(const httplib::Request& request, httplib::Response&) {
    tRequest = {};
    // The request object belongs to the server's thread and is not const;
    // only the handler signature is.
    auto& headers = const_cast<httplib::Request&>(request).headers;
    const auto [first, last] = headers.equal_range("Content-Encoding");
    for (auto it = first; it != last; ++it) {
        tRequest.contentEncoding = tRequest.contentEncoding ? *tRequest.contentEncoding + ", " + it->second : it->second;
    }
    headers.erase(first, last);
    return httplib::Server::HandlerResponse::Unhandled;
}

// Only SO_REUSEADDR: the server's default also sets SO_REUSEPORT, which
// would let a second collector share the port instead of failing to bind.
void socketOptions(int socket) {
    const int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

void checkOptions(const CollectorOptions& options) {
    if (options.address != kLoopbackAddress) {
        throw std::invalid_argument("the collector listens on 127.0.0.1 only, not " + options.address);
    }
    if (options.port < 0 || options.port > 65535) {
        throw std::invalid_argument("port " + std::to_string(options.port) + " is not 0 to 65535");
    }
    if (options.batchStatus < 200 || options.batchStatus > 599) {
        throw std::invalid_argument("status " + std::to_string(options.batchStatus) + " is not 200 to 599");
    }
    std::string reason;
    if (options.configPath && !loadConfig(*options.configPath, &reason)) throw std::invalid_argument(reason);
    if (options.remoteValuesPath) RemoteValuesEndpoint::checkReadable(*options.remoteValuesPath);
    if (options.searchAdReplyPath) SearchAdEndpoint::checkReadable(*options.searchAdReplyPath);
}

// cpp-httplib files the peer's addresses among the headers; they were
// never sent.
bool isPseudoHeader(const std::string& name) {
    return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT";
}

Exchange exchangeOf(const httplib::Request& request) {
    Exchange exchange;
    exchange.method = request.method;
    exchange.path = request.path;
    if (const auto question = request.target.find('?'); question != std::string::npos) {
        exchange.query = request.target.substr(question + 1);
    }
    for (const auto& [name, value] : request.headers) {
        if (!isPseudoHeader(name)) exchange.headers.emplace(name, value);
    }
    if (tRequest.contentEncoding) exchange.headers.emplace("Content-Encoding", *tRequest.contentEncoding);
    exchange.body = request.body;
    return exchange;
}

void answer(const Reply& reply, httplib::Response& response) {
    response.status = reply.status;
    for (const auto& [name, value] : reply.headers) response.set_header(name, value);
    if (!reply.body.empty()) response.set_content(reply.body, reply.contentType);
}

}  // namespace

Printer::Printer(std::ostream& out, const std::optional<std::filesystem::path>& logPath) : out_(out) {
    if (!logPath) return;
    log_.open(*logPath, std::ios::app);
    if (!log_) throw std::invalid_argument(logPath->string() + ": cannot be opened for appending");
}

void Printer::print(const std::string& block) {
    std::lock_guard lock(mutex_);
    out_ << block << std::flush;
}

void Printer::log(const platform::Value& entry) {
    std::lock_guard lock(mutex_);
    if (log_.is_open()) log_ << platform::writeJSON(entry) << '\n' << std::flush;
}

std::string requestLine(const Exchange& request) {
    std::string line = request.method.empty() ? "request" : request.method;
    if (!request.path.empty()) line += ' ' + request.path;
    if (!request.query.empty()) line += '?' + request.query;
    return line;
}

struct CollectorService::State {
    State(CollectorOptions opts, std::ostream& out)
        : options(std::move(opts)),
          printer(out, options.logPath),
          batches(options, printer, [this] { finish(); }),
          configs(options, printer),
          remoteValues(options.remoteValuesPath, printer),
          searchAds(options.searchAdReplyPath, printer) {}

    void finish() {
        {
            std::lock_guard lock(mutex);
            finished = true;
        }
        changed.notify_all();
    }

    template <class Handle>
    httplib::Server::Handler handler(Handle handle) {
        return [handle](const httplib::Request& request, httplib::Response& response) {
            tRequest.handled = true;
            answer(handle(exchangeOf(request), request), response);
        };
    }

    void route() {
        server.Post("/a", handler([this](const Exchange& exchange, const httplib::Request&) {
            return batches.handle(exchange);
        }));
        server.Get(R"(/config/app/([^/]+))", handler([this](const Exchange& exchange, const httplib::Request& r) {
            return configs.handle(exchange, r.matches[1].str());
        }));
        server.Get("/remote-values", handler([this](const Exchange& exchange, const httplib::Request&) {
            return remoteValues.handle(exchange);
        }));
        server.Post("/api/v1/", handler([this](const Exchange& exchange, const httplib::Request&) {
            return searchAds.handle(exchange);
        }));
        const auto nothingHere = handler([this](const Exchange& exchange, const httplib::Request&) {
            printer.print(requestLine(exchange) + ": 404, nothing here\n");
            return Reply{};
        });
        server.Get(".*", nothingHere);
        server.Post(".*", nothingHere);
        server.Put(".*", nothingHere);
        server.Patch(".*", nothingHere);
        server.Delete(".*", nothingHere);
        server.Options(".*", nothingHere);
        server.set_pre_routing_handler(takeContentEncoding);
        server.set_logger([this](const httplib::Request& request, const httplib::Response& response) {
            if (!tRequest.handled) {
                printer.print(requestLine(exchangeOf(request)) + ": " + std::to_string(response.status) +
                              ", refused by the HTTP server\n");
            }
            tRequest = {};
        });
    }

    CollectorOptions options;
    Printer printer;
    BatchEndpoint batches;
    ConfigEndpoint configs;
    RemoteValuesEndpoint remoteValues;
    SearchAdEndpoint searchAds;
    httplib::Server server;
    std::thread listener;
    int port = -1;

    std::mutex stopMutex;  // one stop at a time
    std::mutex mutex;
    std::condition_variable changed;
    bool finished = false;
};

CollectorService::CollectorService(CollectorOptions options, std::ostream& out) {
    checkOptions(options);
    state_ = std::make_unique<State>(std::move(options), out);
    state_->route();
    // One request per connection: no idle connection keeps a worker, and so
    // the shutdown, waiting.
    state_->server.set_keep_alive_max_count(1);
    state_->server.set_payload_max_length(kMaxRequestBytes);
    state_->server.set_socket_options(socketOptions);
}

CollectorService::~CollectorService() {
    stop();
}

int CollectorService::start() {
    State& state = *state_;
    if (state.listener.joinable()) return state.port;
    const int wanted = state.options.port;
    state.port = wanted == 0 ? state.server.bind_to_any_port(kLoopbackAddress)
                             : (state.server.bind_to_port(kLoopbackAddress, wanted) ? wanted : -1);
    if (state.port <= 0) {
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(wanted));
    }
    state.listener = std::thread([&state] {
        state.server.listen_after_bind();
        state.finish();
    });
    // The server ignores stop() until it runs; wait for it so that stop()
    // cannot miss it.
    while (!state.server.is_running()) {
        std::unique_lock lock(state.mutex);
        if (state.finished) break;
        lock.unlock();
        std::this_thread::yield();
    }
    state.printer.print("listening on 127.0.0.1:" + std::to_string(state.port) + '\n');
    return state.port;
}

void CollectorService::waitUntilFinished() {
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock, [this] { return state_->finished; });
}

void CollectorService::stop() {
    std::lock_guard stopping(state_->stopMutex);
    if (state_->listener.joinable()) {
        state_->server.stop();
        state_->listener.join();
    }
    state_->finish();
}

int CollectorService::port() const {
    return state_->port;
}

std::size_t CollectorService::batchCount() const {
    return state_->batches.count();
}

}  // namespace tools::collector
