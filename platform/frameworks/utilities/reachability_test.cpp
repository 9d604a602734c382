#include <doctest/doctest.h>

#include <memory>
#include <optional>
#include <vector>

#include "platform/dispatch/queue.h"
#include "platform/foundation/http_client.h"
#include "platform/frameworks/utilities/network.h"
#include "platform/frameworks/utilities/reachability.h"

using platform::Reachability;
using platform::RULNetwork;

namespace {

// Records, at each call, what the network said about the connection.
class CountingDelegate : public platform::RULReachabilityDelegate {
public:
    explicit CountingDelegate(const RULNetwork& network) : network_(network) {}
    void reachabilityDidChange() override { seen.push_back(network_.isNetworkConnected()); }
    std::vector<bool> seen;

private:
    const RULNetwork& network_;
};

}  // namespace

TEST_CASE("the reachability switch tells observers of changes only") {
    Reachability reachability(true);
    std::vector<bool> heard;
    auto observation = reachability.observe([&](bool reachable) { heard.push_back(reachable); });

    reachability.setReachable(true);
    CHECK(heard.empty());
    reachability.setReachable(false);
    reachability.setReachable(false);
    reachability.setReachable(true);
    CHECK(heard == std::vector<bool>{false, true});
    CHECK(reachability.isReachable());

    observation.reset();
    reachability.setReachable(false);
    CHECK(heard.size() == 2);
    CHECK_FALSE(reachability.isReachable());
}

TEST_CASE("a network object follows its reachability switch and tells its delegate") {
    auto reachability = std::make_shared<Reachability>(true);
    auto delegateQueue = std::make_shared<platform::dispatch::ManualQueue>("reachability");
    auto client = std::make_shared<platform::RecordingHTTPClient>();
    RULNetwork network("measurement.example", client, reachability, delegateQueue);
    auto delegate = std::make_shared<CountingDelegate>(network);
    network.setReachabilityDelegate(delegate);

    SUBCASE("changes reach the delegate on its queue; repeats do not") {
        CHECK(network.isNetworkConnected());
        reachability->setReachable(false);
        CHECK(delegate->seen.empty());  // not before its queue runs
        delegateQueue->drain();
        CHECK(delegate->seen == std::vector<bool>{false});
        CHECK_FALSE(network.isNetworkConnected());

        reachability->setReachable(false);
        delegateQueue->drain();
        CHECK(delegate->seen.size() == 1);

        reachability->setReachable(true);
        delegateQueue->drain();
        CHECK(delegate->seen == std::vector<bool>{false, true});
    }

    SUBCASE("a cleared or vanished delegate hears nothing") {
        network.setReachabilityDelegate(nullptr);
        reachability->setReachable(false);
        delegateQueue->drain();
        CHECK(delegate->seen.empty());

        auto shortLived = std::make_shared<CountingDelegate>(network);
        network.setReachabilityDelegate(shortLived);
        shortLived.reset();
        reachability->setReachable(true);
        CHECK(delegateQueue->drain() == 1);  // the notice runs and finds no one
    }

    SUBCASE("every network object on the switch is told") {
        RULNetwork other("experiments.example", client, reachability, delegateQueue);
        auto otherDelegate = std::make_shared<CountingDelegate>(other);
        other.setReachabilityDelegate(otherDelegate);
        reachability->setReachable(false);
        delegateQueue->drain();
        CHECK(delegate->seen == std::vector<bool>{false});
        CHECK(otherDelegate->seen == std::vector<bool>{false});
    }

    SUBCASE("a request made while unreachable goes nowhere: it fails at once, as without a network") {
        reachability->setReachable(false);
        auto completions = std::make_shared<platform::dispatch::ManualQueue>("completions");
        int calls = 0;
        std::optional<platform::RULError> failure;
        {
            RULNetwork offline("measurement.example", client, reachability, delegateQueue);
            CHECK_FALSE(offline.isNetworkConnected());
            CHECK_FALSE(offline.postURL("https://measurement.example/a", {1, 2, 3}, completions, false,
                                        [&](const auto& response, const auto&, const auto& error) {
                                            ++calls;
                                            failure = error;
                                            CHECK(response.statusCode == 0);
                                        })
                            .empty());
        }
        CHECK(client->requestCount() == 0);
        completions->drain();
        CHECK(calls == 1);
        REQUIRE(failure);
        CHECK(failure->message == "the network is unreachable");
        // Reachable again, the next request goes out.
        reachability->setReachable(true);
        {
            RULNetwork online("measurement.example", client, reachability, delegateQueue);
            online.getURL("https://measurement.example/b", {}, completions, false,
                          [&](const auto&, const auto&, const auto&) { ++calls; });
        }  // waits for its thread
        REQUIRE(client->requestCount() == 1);
        CHECK(client->requests().front().url == "https://measurement.example/b");
    }
}

TEST_CASE("an observer may flip the switch itself") {
    Reachability reachability(true);
    std::vector<bool> first;
    std::vector<bool> second;
    // The first observer undoes every loss at once, as a retry would.
    auto undo = reachability.observe([&](bool reachable) {
        first.push_back(reachable);
        if (!reachable) reachability.setReachable(true);
    });
    auto watch = reachability.observe([&](bool reachable) { second.push_back(reachable); });

    reachability.setReachable(false);
    CHECK(reachability.isReachable());
    // Everyone hears the loss before anyone hears the recovery.
    CHECK(first == std::vector<bool>{false, true});
    CHECK(second == std::vector<bool>{false, true});

    reachability.setReachable(false);
    CHECK(second == std::vector<bool>{false, true, false, true});
}
