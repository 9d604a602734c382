#include <doctest/doctest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/dispatch/queue.h"
#include "platform/frameworks/utilities/network.h"
#include "testsupport/loopback_server.h"

using platform::HTTPHeaders;
using platform::Reachability;
using platform::RULError;
using platform::RULNetwork;
using platform::TransportError;
using testsupport::LoopbackServer;
using testsupport::ScriptedResponse;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr double kPatience = 10;  // seconds; only reached when something is broken

Bytes bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

const std::string kBinary("\x00\x01\x00\xff\xfe\x00payload\x00", 15);

struct Outcome {
    platform::HTTPURLResponse response;
    Bytes data;
    std::optional<RULError> error;
    bool onGivenQueue = false;
    bool uploadInProgressDuring = false;
};

// Collects completions; each notes whether it ran on the queue the request
// named and what the network object said meanwhile.
class CompletionProbe {
public:
    CompletionProbe(std::shared_ptr<platform::dispatch::Queue> queue, std::weak_ptr<RULNetwork> network)
        : queue_(std::move(queue)), network_(std::move(network)) {}

    platform::RULNetworkCompletionHandler handler() {
        return [this](const platform::HTTPURLResponse& response, const Bytes& data,
                      const std::optional<RULError>& error) {
            Outcome outcome{response, data, error, queue_->isCurrent(), false};
            if (auto network = network_.lock()) {
                outcome.uploadInProgressDuring = network->hasUploadInProgress();
            }
            std::lock_guard lock(mutex_);
            outcomes_.push_back(std::move(outcome));
            arrived_.notify_all();
        };
    }

    std::vector<Outcome> waitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        const bool arrived = arrived_.wait_for(lock, std::chrono::duration<double>(kPatience),
                                               [&] { return outcomes_.size() >= count; });
        REQUIRE(arrived);
        return outcomes_;
    }

    Outcome waitForFirst() { return waitFor(1).front(); }

    std::size_t count() const {
        std::lock_guard lock(mutex_);
        return outcomes_.size();
    }

private:
    std::shared_ptr<platform::dispatch::Queue> queue_;
    std::weak_ptr<RULNetwork> network_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Outcome> outcomes_;
};

// A network object on the real HTTP client, completing on a serial queue
// with a thread of its own, against a loopback server.
struct LoopbackFixture {
    LoopbackServer server;
    std::shared_ptr<platform::dispatch::Queue> queue = platform::dispatch::makeSerialQueue("network-test");
    std::shared_ptr<RULNetwork> network = std::make_shared<RULNetwork>(
        "127.0.0.1", nullptr, std::make_shared<Reachability>(true),
        std::make_shared<platform::dispatch::ManualQueue>("network-test.reachability"));
    CompletionProbe probe{queue, network};

    // Ends the network object, which waits for its threads, then lets the
    // queue run what they left; answers how many completions ran in all.
    std::size_t settle() {
        network.reset();
        queue->sync([] {});
        return probe.count();
    }
};

void checkTransportFailure(const Outcome& outcome, TransportError expected) {
    CHECK(outcome.onGivenQueue);
    CHECK(outcome.response.statusCode == 0);
    CHECK(outcome.response.expectedContentLength == -1);
    CHECK(outcome.response.allHeaderFields.empty());
    CHECK(outcome.data.empty());
    REQUIRE(outcome.error.has_value());
    CHECK(outcome.error->domain == platform::kRULNetworkErrorDomain);
    CHECK(outcome.error->code == static_cast<int>(expected));
}

}  // namespace

TEST_CASE("the network object exchanges requests with a loopback server") {
    LoopbackFixture f;

    SUBCASE("a POST carries binary payload and headers; the reply arrives once, on the given queue") {
        ScriptedResponse reply;
        reply.body = kBinary;
        reply.headers = {{"X-Reply", "r1"}};
        f.server.answer("/a", reply);

        const std::string task = f.network->postURL(f.server.url("/a"), HTTPHeaders{{"X-Upload", "batch 7"}},
                                                    bytes(kBinary), f.queue, false, f.probe.handler());
        CHECK_FALSE(task.empty());
        const Outcome outcome = f.probe.waitForFirst();

        CHECK(outcome.onGivenQueue);
        CHECK_FALSE(outcome.error.has_value());
        CHECK(outcome.response.statusCode == platform::kRULNetworkHTTPStatusOK);
        CHECK(outcome.response.expectedContentLength == static_cast<std::int64_t>(kBinary.size()));
        CHECK(outcome.response.valueForHTTPHeaderField("x-reply") == "r1");
        CHECK(outcome.data == bytes(kBinary));
        const auto received = f.server.requests();
        REQUIRE(received.size() == 1);
        CHECK(received[0].method == "POST");
        CHECK(received[0].body == kBinary);
        CHECK(received[0].header("X-Upload") == "batch 7");
        CHECK(f.settle() == 1);
    }

    SUBCASE("the form without headers posts the payload alone") {
        ScriptedResponse accepted;
        accepted.status = 204;
        f.server.answer("/sdk-exp", accepted);
        f.network->postURL(f.server.url("/sdk-exp"), bytes(kBinary), f.queue, true, f.probe.handler());
        const Outcome outcome = f.probe.waitForFirst();
        CHECK(outcome.response.statusCode == platform::kRULNetworkHTTPStatusNoContent);
        CHECK(outcome.data.empty());
        const auto received = f.server.requests().front();
        CHECK(received.body == kBinary);
        CHECK_FALSE(received.header("Content-Type").has_value());
        CHECK(f.settle() == 1);
    }

    SUBCASE("a GET carries the conditional headers; 304 comes back as a status") {
        ScriptedResponse notModified;
        notModified.status = 304;
        notModified.headers = {{"ETag", "\"v2\""}};
        f.server.answer("/config/app/velmora-app-3", notModified);
        const HTTPHeaders validators{{"If-Modified-Since", "Tue, 07 Nov 2023 10:00:00 GMT"},
                                     {"If-None-Match", "\"v2\""}};

        f.network->getURL(f.server.url("/config/app/velmora-app-3?platform=ios&ruz_version=1"), validators, f.queue,
                          false, f.probe.handler());
        const Outcome outcome = f.probe.waitForFirst();

        CHECK(outcome.response.statusCode == platform::kRULNetworkHTTPStatusCodeNotModified);
        CHECK_FALSE(outcome.error.has_value());
        CHECK(outcome.response.valueForHTTPHeaderField("etag") == "\"v2\"");
        const auto received = f.server.requests().front();
        CHECK(received.method == "GET");
        CHECK(received.query == "platform=ios&ruz_version=1");
        CHECK(received.header("If-Modified-Since") == "Tue, 07 Nov 2023 10:00:00 GMT");
        CHECK(received.header("If-None-Match") == "\"v2\"");
        CHECK(f.settle() == 1);
    }

    SUBCASE("HTTP failure statuses come back as statuses, without a transport error") {
        ScriptedResponse busy;
        busy.status = 503;
        busy.body = "busy";
        f.server.answer("/a", busy);
        f.network->postURL(f.server.url("/a"), {}, f.queue, false, f.probe.handler());
        const Outcome outcome = f.probe.waitForFirst();
        CHECK(outcome.response.statusCode == platform::kRULNetworkHTTPStatusCodeUnavailable);
        CHECK(outcome.data == bytes("busy"));
        CHECK_FALSE(outcome.error.has_value());
        CHECK(f.settle() == 1);
    }
}

TEST_CASE("an upload counts as in progress until its completion starts") {
    LoopbackFixture f;
    ScriptedResponse held;
    held.hold = true;
    f.server.answer("/a", held);
    CHECK_FALSE(f.network->hasUploadInProgress());
    const std::size_t before = RULNetwork::requestsInProgress();

    f.network->postURL(f.server.url("/a"), bytes("one"), f.queue, false, f.probe.handler());
    f.network->postURL(f.server.url("/a"), bytes("two"), f.queue, false, f.probe.handler());
    REQUIRE(f.server.waitForHeld(2, kPatience));
    CHECK(f.network->hasUploadInProgress());
    CHECK(RULNetwork::requestsInProgress() == before + 2);
    CHECK(f.probe.count() == 0);

    f.server.release();
    const auto outcomes = f.probe.waitFor(2);
    // The first completion still sees the second request on its way; the
    // last sees none, so a completion can start the next request at once.
    CHECK(outcomes[0].uploadInProgressDuring);
    CHECK_FALSE(outcomes[1].uploadInProgressDuring);
    CHECK_FALSE(f.network->hasUploadInProgress());
    CHECK(RULNetwork::requestsInProgress() == before);
    CHECK(f.settle() == 2);
}

TEST_CASE("failed requests complete once with status 0 and an error") {
    LoopbackFixture f;

    SUBCASE("nobody listening on the port") {
        std::string url;
        {
            LoopbackServer closed;
            url = closed.url("/a");
        }
        f.network->postURL(url, bytes("x"), f.queue, false, f.probe.handler());
        checkTransportFailure(f.probe.waitForFirst(), TransportError::CannotConnect);
        CHECK(f.settle() == 1);
    }

    SUBCASE("the server answers after the time-out") {
        ScriptedResponse slow;
        slow.delaySeconds = 60;
        f.server.answer("/a", slow);
        f.network->setTimeoutInterval(0.2);
        f.network->postURL(f.server.url("/a"), bytes("x"), f.queue, false, f.probe.handler());
        checkTransportFailure(f.probe.waitForFirst(), TransportError::TimedOut);
        CHECK_FALSE(f.network->hasUploadInProgress());
        CHECK(f.settle() == 1);
    }

    SUBCASE("no session for a URL that is not http or https, yet the completion comes") {
        for (const std::string url : {"ftp://127.0.0.1/a", "127.0.0.1/a", "https:///a", "https://a b/", ""}) {
            CAPTURE(url);
            CHECK(f.network->postURL(url, bytes("x"), f.queue, false, f.probe.handler()).empty());
        }
        const auto outcomes = f.probe.waitFor(5);
        for (const Outcome& outcome : outcomes) {
            checkTransportFailure(outcome, TransportError::InvalidRequest);
        }
        CHECK_FALSE(f.network->hasUploadInProgress());
        CHECK(f.server.requestCount() == 0);
        CHECK(f.settle() == 5);
    }

    SUBCASE("the network object goes away while a request is held") {
        ScriptedResponse held;
        held.hold = true;
        f.server.answer("/a", held);
        f.network->postURL(f.server.url("/a"), bytes("x"), f.queue, false, f.probe.handler());
        REQUIRE(f.server.waitForHeld(1, kPatience));
        CHECK(f.settle() == 1);
        checkTransportFailure(f.probe.waitForFirst(), TransportError::Cancelled);
    }
}

namespace {

class ThrowingClient : public platform::HTTPClient {
public:
    platform::HTTPResponse send(const platform::HTTPRequest&, std::stop_token) override {
        throw std::runtime_error("client broke");
    }
};

}  // namespace

TEST_CASE("what the network object hands to its HTTP client") {
    auto client = std::make_shared<platform::RecordingHTTPClient>();
    auto queue = std::make_shared<platform::dispatch::ManualQueue>("completions");
    auto network = std::make_unique<RULNetwork>("measurement.example", client, std::make_shared<Reachability>(),
                                                std::make_shared<platform::dispatch::ManualQueue>("reachability"));
    std::vector<Outcome> outcomes;
    const auto record = [&](const platform::HTTPURLResponse& response, const Bytes& data,
                            const std::optional<RULError>& error) {
        outcomes.push_back({response, data, error, queue->isCurrent(), false});
    };
    // Waits for the network object's threads, then runs the completions.
    const auto finish = [&] {
        network.reset();
        queue->drain();
    };

    SUBCASE("methods, headers, bodies and the time-out in force") {
        CHECK(network->timeoutInterval() == RULNetwork::kDefaultTimeoutInterval);
        network->setTimeoutInterval(12.5);
        network->setTimeoutInterval(0);
        network->setTimeoutInterval(-3);
        network->setTimeoutInterval(std::nan(""));
        network->postURL("https://measurement.example/skan", HTTPHeaders{{"Accept-Encoding", "gzip"}},
                         bytes(kBinary), queue, false, record);
        network->setTimeoutInterval(30);
        network->getURL("https://measurement.example/config", {}, queue, false, record);
        finish();

        const auto requests = client->requests();
        REQUIRE(requests.size() == 2);
        const auto& post = requests[0].method == "POST" ? requests[0] : requests[1];
        const auto& get = requests[0].method == "POST" ? requests[1] : requests[0];
        CHECK(post.url == "https://measurement.example/skan");
        CHECK(post.headers.at("accept-encoding") == "gzip");
        CHECK(post.body == bytes(kBinary));
        CHECK(post.timeoutSeconds == 12.5);
        CHECK(get.method == "GET");
        CHECK(get.body.empty());
        CHECK(get.timeoutSeconds == 30);
        CHECK(outcomes.size() == 2);
    }

    SUBCASE("the reply's status, length and headers reach the completion on its queue") {
        client->enqueue(platform::makeHTTPResponse(200, "abc", {{"Content-Encoding", "GZIP"}}));
        network->getURL("https://measurement.example/x", {}, queue, false, record);
        finish();
        REQUIRE(outcomes.size() == 1);
        CHECK(outcomes[0].onGivenQueue);
        CHECK(outcomes[0].response.statusCode == 200);
        CHECK(outcomes[0].response.expectedContentLength == 3);
        CHECK(outcomes[0].response.valueForHTTPHeaderField("content-encoding") == "GZIP");
        CHECK(outcomes[0].data == bytes("abc"));
    }

    SUBCASE("no queue given: the completion runs on the main queue") {
        auto& main = platform::dispatch::mainQueue();
        main.drain();
        bool ran = false;
        network->getURL("https://measurement.example/x", {}, nullptr, false,
                        [&](const auto&, const auto&, const auto&) { ran = main.isCurrent(); });
        finish();
        CHECK(main.drain() == 1);
        CHECK(ran);
    }

    SUBCASE("a client that throws still yields exactly one completion") {
        network = std::make_unique<RULNetwork>("measurement.example", std::make_shared<ThrowingClient>(),
                                               std::make_shared<Reachability>(),
                                               std::make_shared<platform::dispatch::ManualQueue>("reachability"));
        network->postURL("https://measurement.example/a", bytes("x"), queue, false, record);
        finish();
        REQUIRE(outcomes.size() == 1);
        checkTransportFailure(outcomes[0], TransportError::Other);
        CHECK(outcomes[0].error->message.find("client broke") != std::string::npos);
    }
}
