// The conversion-value update of the ad-network stand-in: its checks, its
// scripted failures and the queue its completions arrive on.
#include <doctest/doctest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/dispatch/timer.h"
#include "platform/frameworks/ad_network/sk_ad_network.h"

using platform::SKAdNetwork;
using platform::SKANError;

namespace {

struct ResetNetwork {
    ResetNetwork() { SKAdNetwork::reset(); }
    ~ResetNetwork() { SKAdNetwork::reset(); }
};

}  // namespace

TEST_CASE("updates are checked and complete later on the framework's queue") {
    platform::dispatch::ManualTime time;
    ResetNetwork reset;
    const SKANError scripted{"SKANErrorDomain", 10, "not now"};
    const struct {
        long fine;
        const char* coarse;
        bool lock;
        bool failScripted;
        std::optional<long> code;
    } cases[] = {
        {0, platform::SKAdNetworkCoarseConversionValueLow, false, false, std::nullopt},
        {63, platform::SKAdNetworkCoarseConversionValueHigh, true, false, std::nullopt},
        {64, platform::SKAdNetworkCoarseConversionValueMedium, false, false, platform::kSKANErrorInvalidFineValue},
        {-1, platform::SKAdNetworkCoarseConversionValueMedium, false, false, platform::kSKANErrorInvalidFineValue},
        {5, "medium-ish", false, false, platform::kSKANErrorInvalidCoarseValue},
        {5, platform::SKAdNetworkCoarseConversionValueMedium, false, true, 10},
    };
    for (const auto& c : cases) {
        CAPTURE(c.fine);
        CAPTURE(c.coarse);
        if (c.failScripted) SKAdNetwork::failNextUpdates(1, scripted);
        std::optional<std::optional<SKANError>> outcome;
        SKAdNetwork::updatePostbackConversionValue(c.fine, c.coarse, c.lock,
                                                   [&](const std::optional<SKANError>& error) { outcome = error; });
        CHECK_FALSE(outcome);
        time.settle();
        REQUIRE(outcome);
        CHECK(outcome->has_value() == c.code.has_value());
        if (c.code) {
            CHECK((*outcome)->domain == "SKANErrorDomain");
            CHECK((*outcome)->code == *c.code);
        }
        const auto recorded = SKAdNetwork::updates().back();
        CHECK(recorded.fineValue == c.fine);
        CHECK(recorded.coarseValue == c.coarse);
        CHECK(recorded.lockWindow == c.lock);
        CHECK(recorded.error == *outcome);
    }
    CHECK(SKAdNetwork::updates().size() == std::size(cases));
}

TEST_CASE("in a program the completion arrives on another thread") {
    ResetNetwork reset;
    std::mutex mutex;
    std::condition_variable arrived;
    std::optional<std::thread::id> completedOn;
    SKAdNetwork::updatePostbackConversionValue(3, platform::SKAdNetworkCoarseConversionValueLow, false,
                                               [&](const std::optional<SKANError>&) {
                                                   std::lock_guard lock(mutex);
                                                   completedOn = std::this_thread::get_id();
                                                   arrived.notify_one();
                                               });
    std::unique_lock lock(mutex);
    REQUIRE(arrived.wait_for(lock, std::chrono::seconds(20), [&] { return completedOn.has_value(); }));
    CHECK(*completedOn != std::this_thread::get_id());
}
