// The collector's loopback HTTP service.
#include "tools/collector/collector_service.h"

#include <httplib.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <thread>

#include "platform/foundation/json_codec.h"
#include "tools/collector/config_file.h"
#include "tools/collector/connection_guard.h"
#include "tools/collector/connection_table.h"
#include "tools/collector/endpoints.h"
#include "tools/collector/experiments_endpoint.h"
#include "tools/collector/printable_text.h"
#include "tools/collector/remote_values_endpoint.h"
#include "tools/collector/search_ad_endpoint.h"
#include "tools/collector/skan_endpoint.h"

namespace tools::collector {

namespace {

constexpr const char* kLoopbackAddress = "127.0.0.1";
// Far above any batch; the server refuses larger bodies with 413.
constexpr std::size_t kMaxRequestBytes = 64u * 1024u * 1024u;
// Far above any request head the engine sends; a larger one is answered 431.
constexpr std::size_t kMaxHeadBytes = 64u * 1024u;
// Requests answered at once; more wait for a free thread. Only requests
// that are in take a thread: connections still sending wait in the table.
constexpr std::size_t kMaxAnswering = 256;
// Connections still sending, at most: far more than the engine opens.
constexpr std::size_t kMaxSending = 1024;

// Connections still sending that the process can hold beside its other
// files and the requests being answered: a quarter of the descriptors it
// may open, at most kMaxSending. The listener takes no connection while
// the process is at its limit, so the table must fill (and give its oldest
// up) well before.
std::size_t sendingCapacity() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kMaxSending;
    const auto descriptors = static_cast<std::size_t>(limit.rlim_cur);
    return std::clamp<std::size_t>(descriptors > 64 ? (descriptors - 64) / 4 : 0, 16, kMaxSending);
}

// The server's tasks run where it hands them over: taking a connection
// into the table never waits.
class InlineTasks : public httplib::TaskQueue {
public:
    void enqueue(std::function<void()> fn) override { fn(); }
    void shutdown() override {}
};

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
// The connection of the request in hand, for the logger to tell a request
// cut off by its deadline (answered and printed by the guard).
thread_local const GuardedStream* tStream = nullptr;

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
    if (!(options.requestDeadlineSeconds > 0) || !std::isfinite(options.requestDeadlineSeconds)) {
        throw std::invalid_argument("the request deadline must be more than 0 seconds");
    }
    std::string reason;
    if (options.configPath && !loadConfig(*options.configPath, &reason)) throw std::invalid_argument(reason);
    if (options.remoteValuesPath) RemoteValuesEndpoint::checkReadable(*options.remoteValuesPath);
    if (options.searchAdReplyPath) SearchAdEndpoint::checkReadable(*options.searchAdReplyPath);
    if (options.skanReplyPath) SKANEndpoint::checkReadable(*options.skanReplyPath);
    if (options.experimentsPath) ExperimentsEndpoint::checkReadable(*options.experimentsPath);
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

Printer::Printer(std::ostream& out, const std::optional<std::filesystem::path>& logPath)
    : out_(out), logPath_(logPath) {
    if (!logPath) return;
    log_.open(*logPath, std::ios::app);
    if (!log_) {
        throw std::invalid_argument("the log " + logPath->string() + " cannot be opened for appending: " +
                                    std::strerror(errno));
    }
}

void Printer::print(const std::string& block) {
    std::lock_guard lock(mutex_);
    out_ << printableBlock(block) << std::flush;
}

void Printer::log(const platform::Value& entry) {
    std::lock_guard lock(mutex_);
    if (!log_.is_open() || logFailure_) return;
    errno = 0;
    log_ << platform::writeJSON(entry) << '\n' << std::flush;
    if (log_) return;
    logFailure_ = errno != 0 ? std::strerror(errno) : "the file took no more bytes";
    std::cerr << "velmora collector: "
              << printable("the log " + logPath_->string() + " could not be written, and logs no more batches: " +
                           *logFailure_)
              << '\n';
}

std::optional<std::string> Printer::logFailure() {
    std::lock_guard lock(mutex_);
    return logFailure_;
}

std::string requestLine(const Exchange& request) {
    std::string line = request.method.empty() ? "request" : request.method;
    if (!request.path.empty()) line += ' ' + request.path;
    if (!request.query.empty()) line += '?' + request.query;
    return printable(line);
}

// The HTTP server, with each connection read by the table first: the head
// and a body of known length as they arrive, within the deadline, the head
// checked strictly; then a worker hands the request to the server's own
// processing through a stream that keeps to the same deadline.
class GuardedServer : public httplib::Server {
public:
    GuardedServer(const StopSignal& stop, Printer& printer, double deadlineSeconds)
        : stop_(stop),
          printer_(printer),
          workers_(kMaxAnswering),
          table_({sendingCapacity(), deadlineSeconds, kMaxHeadBytes}, stop,
                 [this](ReadRequest request) {
                     workers_.enqueue([this, request = std::move(request)]() mutable { serve(std::move(request)); });
                 }) {}

    // The server listens with a backlog of 5: a burst of clients would wait
    // seconds for their connections to be taken. Listening again on the
    // bound socket widens it.
    void widenBacklog() { ::listen(svr_sock_, SOMAXCONN); }

    // Once the server has stopped listening: the connections still sending
    // are closed, and the requests in hand answered.
    void finish() {
        table_.shutdown();
        workers_.shutdown();
    }

private:
    bool process_and_close_socket(socket_t sock) override {
        table_.adopt(sock);
        return true;
    }

    void serve(ReadRequest request) {
        const int sock = request.socket;
        const RequestHead& head = request.head;
        const std::string line = head.firstLine.empty() ? "request" : printable(head.firstLine);
        switch (head.outcome) {
            case HeadOutcome::kComplete: {
                GuardedStream stream(sock, request.deadline, stop_, head.head + head.rest);
                bool closed = false;
                tStream = &stream;
                process_request(stream, true, closed, [](httplib::Request&) {});
                tStream = nullptr;
                if (stream.timedOut()) answerTimeout(sock, line, ConnectionTable::kTimedOut, request.deadline);
                break;
            }
            case HeadOutcome::kMalformed: {
                const int status = head.problem == kHeadTooLarge ? 431 : 400;
                printer_.print(line + ": " + std::to_string(status) + ", " + head.problem + "\n");
                writePlainAnswer(sock, status, head.problem, request.deadline, stop_);
                break;
            }
            case HeadOutcome::kTimedOut:
                answerTimeout(sock, line, head.problem, request.deadline);
                break;
            case HeadOutcome::kClosed:
            case HeadOutcome::kStopped:
                break;
        }
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
    }

    void answerTimeout(int sock, const std::string& line, const std::string& reason, Deadline deadline) {
        printer_.print(line + ": 408, " + reason + "\n");
        // A moment past the deadline to say so.
        writePlainAnswer(sock, 408, reason, std::max(deadline, std::chrono::steady_clock::now()) + std::chrono::seconds(1),
                         stop_);
    }

    const StopSignal& stop_;
    Printer& printer_;
    ConnectionThreads workers_;
    ConnectionTable table_;
};

struct CollectorService::State {
    State(CollectorOptions opts, std::ostream& out)
        : options(std::move(opts)),
          printer(out, options.logPath),
          batches(options, printer, [this] { finish(); }),
          configs(options, printer),
          remoteValues(options.remoteValuesPath, printer),
          searchAds(options.searchAdReplyPath, printer),
          conversionValues(options.skanReplyPath, printer),
          experiments(options.experimentsPath, printer),
          server(stopSignal, printer, options.requestDeadlineSeconds) {}

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
        server.Post("/skan", handler([this](const Exchange& exchange, const httplib::Request&) {
            return conversionValues.handle(exchange);
        }));
        server.Post("/sdk-exp", handler([this](const Exchange& exchange, const httplib::Request&) {
            return experiments.handle(exchange);
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
            if (!tRequest.handled && !(tStream && tStream->timedOut())) {
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
    SKANEndpoint conversionValues;
    ExperimentsEndpoint experiments;
    StopSignal stopSignal;
    GuardedServer server;
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
    // One request per connection; a connection takes a thread only once its
    // request is in.
    state_->server.set_keep_alive_max_count(1);
    state_->server.new_task_queue = [] { return new InlineTasks; };
    state_->server.set_payload_max_length(kMaxRequestBytes);
    state_->server.set_socket_options(socketOptions);
}

std::optional<std::string> CollectorService::refusedOptions(const CollectorOptions& options) {
    try {
        checkOptions(options);
    } catch (const std::invalid_argument& refused) {
        return refused.what();
    }
    return std::nullopt;
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
    state.server.widenBacklog();
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
        // Wakes every connection still waiting on its client.
        state_->stopSignal.raise();
        state_->server.stop();
        state_->listener.join();
        state_->server.finish();
    }
    state_->finish();
}

int CollectorService::port() const {
    return state_->port;
}

std::size_t CollectorService::batchCount() const {
    return state_->batches.count();
}

std::optional<std::string> CollectorService::logFailure() const {
    return state_->printer.logFailure();
}

}  // namespace tools::collector
