#include "testsupport/loopback_server.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace testsupport {

namespace {

bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// cpp-httplib files the peer's addresses among the headers; they were
// never sent.
bool isPseudoHeader(const std::string& name) {
    return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT";
}

RecordedRequest record(const httplib::Request& request) {
    RecordedRequest recorded;
    recorded.method = request.method;
    const std::string& target = request.target.empty() ? request.path : request.target;
    const auto question = target.find('?');
    recorded.path = target.substr(0, question);
    if (question != std::string::npos) {
        recorded.query = target.substr(question + 1);
    }
    for (const auto& [name, value] : request.headers) {
        if (!isPseudoHeader(name)) {
            recorded.headers.emplace_back(name, value);
        }
    }
    recorded.body = request.body;
    return recorded;
}

std::chrono::duration<double> seconds(double value) {
    return std::chrono::duration<double>(std::max(0.0, value));
}

}  // namespace

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (sameName(key, name)) {
            return value;
        }
    }
    return std::nullopt;
}

namespace {

// The server's workers, counting the connections handed to them: one task
// for each connection accepted.
class CountingPool : public httplib::ThreadPool {
public:
    explicit CountingPool(std::atomic<std::size_t>& count) : ThreadPool(CPPHTTPLIB_THREAD_POOL_COUNT), count_(count) {}
    void enqueue(std::function<void()> task) override {
        ++count_;
        ThreadPool::enqueue(std::move(task));
    }

private:
    std::atomic<std::size_t>& count_;
};

}  // namespace

struct LoopbackServer::State {
    httplib::Server server;
    std::atomic<std::size_t> connections{0};
    std::thread listener;
    std::atomic<bool> listenerDone{false};
    int port = -1;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<RecordedRequest> requests;
    std::deque<ScriptedResponse> queued;
    std::map<std::string, ScriptedResponse> standing;
    std::size_t held = 0;
    std::uint64_t releases = 0;
    bool stopping = false;

    void handle(const httplib::Request& request, httplib::Response& response) {
        std::unique_lock lock(mutex);
        RecordedRequest recorded = record(request);
        const ScriptedResponse script = pick(recorded.path);
        requests.push_back(std::move(recorded));
        changed.notify_all();
        if (script.hold) {
            holdUntilReleased(lock);
        }
        if (script.delaySeconds > 0) {
            changed.wait_for(lock, seconds(script.delaySeconds), [this] { return stopping; });
        }
        lock.unlock();
        fill(script, response);
    }

    ScriptedResponse pick(const std::string& path) {
        if (!queued.empty()) {
            ScriptedResponse next = std::move(queued.front());
            queued.pop_front();
            return next;
        }
        if (auto it = standing.find(path); it != standing.end()) {
            return it->second;
        }
        ScriptedResponse missing;
        missing.status = 404;
        return missing;
    }

    void holdUntilReleased(std::unique_lock<std::mutex>& lock) {
        const std::uint64_t before = releases;
        ++held;
        changed.notify_all();
        changed.wait(lock, [&] { return stopping || releases != before; });
        --held;
    }

    static void fill(const ScriptedResponse& script, httplib::Response& response) {
        response.status = script.status;
        for (const auto& [name, value] : script.headers) {
            response.set_header(name, value);
        }
        if (!script.body.empty()) {
            response.set_content(script.body, script.contentType);
        }
    }

    template <typename Predicate>
    bool waitFor(double timeoutSeconds, Predicate done) const {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, seconds(timeoutSeconds), done);
    }
};

LoopbackServer::LoopbackServer() : state_(std::make_shared<State>()) {
    State& state = *state_;
    const auto handler = [&state](const httplib::Request& request, httplib::Response& response) {
        state.handle(request, response);
    };
    state.server.Get(".*", handler);
    state.server.Post(".*", handler);
    state.server.Put(".*", handler);
    state.server.Patch(".*", handler);
    state.server.Delete(".*", handler);
    state.server.Options(".*", handler);
    state.server.new_task_queue = [&state] { return new CountingPool(state.connections); };
    // One request per connection: no idle connection keeps a worker busy
    // when the server shuts down.
    state.server.set_keep_alive_max_count(1);
    state.port = state.server.bind_to_any_port("127.0.0.1");
    if (state.port <= 0) {
        throw std::runtime_error("loopback server: cannot bind to 127.0.0.1");
    }
    state.listener = std::thread([&state] {
        state.server.listen_after_bind();
        state.listenerDone = true;
    });
    // stop() is ignored until the server runs; wait for it so that the
    // destructor cannot miss it.
    while (!state.server.is_running() && !state.listenerDone) {
        std::this_thread::yield();
    }
}

LoopbackServer::~LoopbackServer() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->changed.notify_all();
    state_->server.stop();
    state_->listener.join();
}

int LoopbackServer::port() const {
    return state_->port;
}

std::string LoopbackServer::url(const std::string& pathAndQuery) const {
    return "http://127.0.0.1:" + std::to_string(state_->port) + pathAndQuery;
}

void LoopbackServer::enqueue(ScriptedResponse response) {
    std::lock_guard lock(state_->mutex);
    state_->queued.push_back(std::move(response));
}

void LoopbackServer::answer(const std::string& path, ScriptedResponse response) {
    std::lock_guard lock(state_->mutex);
    state_->standing[path] = std::move(response);
}

std::vector<RecordedRequest> LoopbackServer::requests() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests;
}

std::size_t LoopbackServer::connectionCount() const { return state_->connections.load(); }

std::size_t LoopbackServer::requestCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests.size();
}

bool LoopbackServer::waitForRequests(std::size_t count, double timeoutSeconds) const {
    return state_->waitFor(timeoutSeconds, [&] { return state_->requests.size() >= count; });
}

bool LoopbackServer::waitForHeld(std::size_t count, double timeoutSeconds) const {
    return state_->waitFor(timeoutSeconds, [&] { return state_->held >= count; });
}

void LoopbackServer::release() {
    {
        std::lock_guard lock(state_->mutex);
        ++state_->releases;
    }
    state_->changed.notify_all();
}

}  // namespace testsupport
