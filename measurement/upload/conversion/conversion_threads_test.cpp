// The two components on real queues: network replies and the platform's
// answer arrive on threads of their own and are handled on the worker queue.
#include <doctest/doctest.h>

#include <chrono>
#include <thread>

#include "measurement/upload/conversion/conversion_test_support.h"
#include "measurement/upload/conversion/on_device_conversion.h"
#include "measurement/upload/conversion/skan_conversion_values.h"
#include "platform/frameworks/ad_network/sk_ad_network.h"
#include "platform/frameworks/on_device_conversion/private_set_membership_client.h"

using namespace conversion_test;
using platform::ondevice::PrivateSetMembership;

namespace {

// Waits (real time, bounded) until the condition, read on the worker
// queue, holds.
bool waitOnWorker(ConversionFixture& f, const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        bool held = false;
        f.onWorkerOnly([&] { held = condition(); });
        if (held) return true;
        std::this_thread::yield();
    }
    return false;
}

}  // namespace

TEST_CASE("a conversion value applied by the platform on its own thread is recorded on the worker queue") {
    ConversionFixture f(false);
    platform::SKAdNetwork::reset();
    f.configure(config_test::ConfigBuilder().setting("measurement.skan.update_conversion_value_enabled", "true"));
    f.persisted->setFirstOpenTimestampMilliseconds(static_cast<std::int64_t>(f.time.now() * 1000) - 1000);
    f.server.answer("/skan", reply(200, [] {
                        const auto bytes = bytesOfHex(
                            "08 02 18 05 20 04 30 c0 9f ba ff bc 31 38 80 d0 95 ff bc 31");
                        return std::string(bytes.begin(), bytes.end());
                    }()));
    auto values = std::make_shared<APMSKANConversionValues>(f.inputs());
    f.worker->async([values] { values->fetchSKANCV(); });
    REQUIRE(waitOnWorker(f, [&] { return !f.host->internalEvents.empty(); }));
    f.onWorkerOnly([&] {
        CHECK(f.host->internalEvents[0].name() == "_skan");
        CHECK(f.host->blockIDs == std::vector<std::string>{"APMMeasurement:429"});
        CHECK_FALSE(values->isSKANUpdateInProgress());
    });
    CHECK(f.persisted->SKANEvaluationEventTimeMillis() == 1700000000000);
    f.onWorkerOnly([&] { values.reset(); });
    platform::SKAdNetwork::reset();
}

TEST_CASE("an on-device conversion match arrives from the network's thread") {
    ConversionFixture f(false);
    PrivateSetMembership::reset();
    PrivateSetMembership::link();
    PrivateSetMembership::setServiceBaseURL(f.server.url(""));
    f.server.answer("/psm/query", reply(200, R"({"value": "m-9"})"));
    auto conversion = std::make_shared<APMOnDeviceConversion>(f.inputs());
    conversion->setUserData({{"email_address", "jane@example.com"}});
    REQUIRE(waitOnWorker(f, [&] { return !f.host->writtenEvents.empty(); }));
    CHECK(f.property("_psmvalue")->value() == APMValue(std::string("m-9")));
    f.onWorkerOnly([&] { conversion.reset(); });
    PrivateSetMembership::reset();
}
