// The engine with its conversion components, against a loopback service:
// their start-up work, the fetch when the application becomes active or the
// network returns, the hand-over after each upload, and the data wipe.
#include <doctest/doctest.h>

#include <algorithm>
#include <cstdlib>

#include "measurement/core/core_test_support.h"
#include "measurement/core/facade.h"
#include "measurement/core/arurerudo.h"
#include "measurement/core/measurement.h"
#include "measurement/foundation/environment.h"
#include "measurement/store/config_test_support.h"
#include "measurement/upload/conversion/conversion_codes.h"
#include "measurement/upload/conversion/on_device_conversion.h"
#include "measurement/upload/conversion/skan_conversion_values.h"
#include "measurement/upload/uploader.h"
#include "measurement/upload/uploader_test_support.h"
#include "platform/foundation/notification_center.h"
#include "platform/frameworks/ad_network/sk_ad_network.h"
#include "platform/frameworks/app_core/application_state.h"
#include "platform/frameworks/on_device_conversion/private_set_membership_client.h"
#include "platform/frameworks/utilities/reachability.h"
#include "testsupport/loopback_server.h"
#include "testsupport/scoped_launch_options.h"

using namespace measurement;
using platform::ondevice::PrivateSetMembership;

namespace {

constexpr double kDay = 86400;


testsupport::ScriptedResponse reply(int status, const std::string& body = {}) {
    testsupport::ScriptedResponse response;
    response.status = status;
    response.body = body;
    return response;
}

// The engine on a temporary folder with the measurement service and the
// on-device conversion service on one loopback server.
struct EngineWithConversions {
    testsupport::LoopbackServer server;
    testsupport::ScopedLaunchOptions address{
        [this](platform::LaunchOptions& o) { o.measurementServiceURL = server.url(""); }};
    testing::EngineFixture engine;

    EngineWithConversions() {
        PrivateSetMembership::reset();
        PrivateSetMembership::setServiceBaseURL(server.url(""));
    }
    ~EngineWithConversions() {
        PrivateSetMembership::reset();
    }
    EngineWithConversions(const EngineWithConversions&) = delete;
    EngineWithConversions& operator=(const EngineWithConversions&) = delete;

    static std::shared_ptr<APMMeasurement> measurement() { return APMMeasurement::sharedInstance(); }

    void onWorker(const std::function<void()>& block) {
        measurement()->scheduler().workerQueue()->sync(block);
        engine.settle();
    }

    // Settings of a configuration fetched just now.
    void takeSettings(config_test::ConfigBuilder builder) {
        engine.takeConfiguration(builder.config());
        onWorker([&] {
            REQUIRE(measurement()->database()->updateRemoteConfigSuccessfulTimestamp(engine.time().clock().now(),
                                                                                      nullptr));
        });
    }

    // Waits for the request count to reach `requests` and for the engine's
    // request in flight to complete on the worker queue.
    void completeExchange(std::size_t requests) {
        REQUIRE(server.waitForRequests(requests, 20));
        REQUIRE(upload_test::runArrivingWork(measurement()->scheduler().workerQueue(), engine.time(), 20,
                                             [] { return !measurement()->isNetworkRequestPending(); }));
        engine.settle();
    }

    void resignAndUpload() {
        platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillResignActiveNotification);
        engine.settle();
    }

    std::vector<std::string> paths() const {
        std::vector<std::string> result;
        for (const auto& request : server.requests()) result.push_back(request.path);
        return result;
    }

    std::optional<APMUserAttribute> property(const std::string& name) {
        for (const auto& attribute : engine.userAttributes()) {
            if (attribute.name() == name) return attribute;
        }
        return std::nullopt;
    }
};

const auto kSKANEnabled = [] {
    return config_test::ConfigBuilder().setting("measurement.skan.update_conversion_value_enabled", "true");
};

}  // namespace

TEST_CASE("the engine's start notes the on-device conversion client and drops an expired match") {
    EngineWithConversions f;
    SUBCASE("linked") {
        PrivateSetMembership::link();
        f.engine.configure();
        CHECK(f.engine.monitor().hasCode(kAPMPSMLinkedCode));
        CHECK_FALSE(f.engine.monitor().hasCode(kAPMPSMNotLinkedWithCountsCode));
    }
    SUBCASE("not linked, with counts from an earlier run") {
        f.engine.configure();
        CHECK_FALSE(f.engine.monitor().hasCode(kAPMPSMNotLinkedWithCountsCode));
        const double now = f.engine.time().clock().now();
        f.onWorker([&] {
            f.measurement()->setUserAttributeOnWorkerQueue(APMUserAttribute("auto", "_psmcount", APMValue(std::int64_t{2}), now));
        });
        f.engine.restart();
        f.engine.configure();
        CHECK(f.engine.monitor().hasCode(kAPMPSMNotLinkedWithCountsCode));
        CHECK_FALSE(f.engine.monitor().hasCode(kAPMPSMLinkedCode));
    }
    SUBCASE("a match is kept for 90 days and dropped with its counts at the first start after") {
        f.engine.configure();
        const double setTime = f.engine.time().clock().now();
        f.onWorker([&] {
            f.measurement()->setUserAttributeOnWorkerQueue(APMUserAttribute("auto", "_psmvalue", APMValue("m"), setTime));
            f.measurement()->setUserAttributeOnWorkerQueue(APMUserAttribute("auto", "_psmcounth", APMValue(std::int64_t{1}), setTime));
        });
        const struct {
            double age;
            bool kept;
        } cases[] = {{90 * kDay - 1, true}, {90 * kDay, false}};
        for (const auto& c : cases) {
            CAPTURE(c.age);
            f.engine.restart();
            f.engine.time().clock().setNow(setTime + c.age);
            f.engine.configure();
            CHECK(f.property("_psmvalue").has_value() == c.kept);
            CHECK(f.property("_psmcounth").has_value() == c.kept);
        }
    }
}

TEST_CASE("a query that waited for the network goes out when an upload completes") {
    EngineWithConversions f;
    PrivateSetMembership::link();
    f.engine.configure();
    f.takeSettings(kSKANEnabled());
    f.onWorker([&] { f.measurement()->setIsNetworkRequestPending(true); });
    VEZArurerudo::initiateOnDeviceConversionMeasurementWithEmailAddress("Reader@Example.org");
    f.engine.settle();
    CHECK(f.engine.monitor().hasCode(kAPMPSMPostponedCode));
    CHECK(f.measurement()->isPSMRequestPostponed());
    CHECK(f.server.requestCount() == 0);

    f.onWorker([&] { f.measurement()->setIsNetworkRequestPending(false); });
    f.server.enqueue(reply(204));
    f.server.enqueue(reply(200, R"({"value":"m-17"})"));
    f.resignAndUpload();
    f.completeExchange(1);
    f.completeExchange(2);
    CHECK(f.paths() == std::vector<std::string>{"/a", "/psm/query"});
    CHECK_FALSE(f.measurement()->isPSMRequestPostponed());
    const auto value = f.property("_psmvalue");
    REQUIRE(value);
    CHECK(value->value() == APMValue("m-17"));
    const auto count = f.property("_psmcount");
    REQUIRE(count);
    CHECK(count->value() == APMValue(std::int64_t{1}));
    // The upload handed over to the query instead of arming the fetch of
    // conversion values.
    CHECK_FALSE(f.measurement()->SKANConversionValues()->SKANDelayTime());
}

TEST_CASE("the engine fetches conversion values after an upload, on becoming active and when the network returns") {
    EngineWithConversions f;
    f.engine.configure();
    f.takeSettings(kSKANEnabled());
    const auto values = f.measurement()->SKANConversionValues();

    SUBCASE("an upload resets the retries and arms the delayed fetch") {
        f.onWorker([&] { values->maybeScheduleSKANCVFetchRetry(); });
        CHECK(f.measurement()->SKANRetryCount() == 1);
        f.server.enqueue(reply(204));
        f.resignAndUpload();
        f.completeExchange(1);
        CHECK(f.measurement()->SKANRetryCount() == 0);
        const double now = f.engine.time().clock().now();
        // The first postback window's delay.
        const auto delayed = values->SKANDelayTime();
        REQUIRE(delayed);
        CHECK(*delayed - now == doctest::Approx(20));
        f.server.enqueue(reply(200, std::string("\x08\x04", 2)));
        f.engine.time().advance(20);
        f.engine.settle();
        f.completeExchange(2);
        CHECK(f.paths() == std::vector<std::string>{"/a", "/skan"});
        const auto request = APMPBSkAdNetworkConversionValueRequest::initWithBuffer(f.server.requests()[1].body);
        REQUIRE(request);
        auto index = [](pb_size_t tag) { return NANOFieldIndexForTag<APMPBSkAdNetworkConversionValueRequest>(tag); };
        // The engine's identity made the app instance ID at the first start.
        const auto instanceID = f.measurement()->persistedConfig()->appInstanceID();
        REQUIRE(instanceID);
        CHECK(NANOGetString(*request, index(nano_APMPBSkAdNetworkConversionValueRequest_app_instance_id_tag)) ==
              *instanceID);
        CHECK(NANOGetString(*request, index(nano_APMPBSkAdNetworkConversionValueRequest_app_id_tag)) ==
              APMBundleIdentifier());
    }
    SUBCASE("becoming active") {
        f.server.enqueue(reply(200, std::string("\x08\x04", 2)));
        platform::NotificationCenter::defaultCenter().post(platform::kApplicationDidBecomeActiveNotification);
        f.engine.settle();
        f.completeExchange(1);
        CHECK(f.paths() == std::vector<std::string>{"/skan"});
    }
    SUBCASE("the network returns") {
        platform::Reachability::shared()->setReachable(false);
        f.onWorker([&] { values->fetchSKANCV(); });
        CHECK(values->fetchSKANWhenNetworkConnected());
        f.server.enqueue(reply(200, std::string("\x08\x04", 2)));
        platform::Reachability::shared()->setReachable(true);
        f.measurement()->reachabilityDidChange();
        f.engine.settle();
        f.completeExchange(1);
        CHECK(f.paths() == std::vector<std::string>{"/skan"});
        CHECK_FALSE(values->fetchSKANWhenNetworkConnected());
    }
}

TEST_CASE("a data wipe lets on-device conversion start afresh in the same run") {
    EngineWithConversions f;
    PrivateSetMembership::link();
    f.engine.configure();
    // Three starts are allowed per run; each one here ends without a match.
    for (int start = 0; start < 3; ++start) {
        f.server.enqueue(reply(200, "{}"));
        VEZArurerudo::initiateOnDeviceConversionMeasurementWithEmailAddress("reader@example.org");
        f.engine.settle();
        f.completeExchange(static_cast<std::size_t>(start) + 1);
    }
    VEZArurerudo::initiateOnDeviceConversionMeasurementWithEmailAddress("reader@example.org");
    f.engine.settle();
    CHECK(f.engine.monitor().count(kAPMPSMStartLimitCode) == 1);

    f.onWorker([&] { f.measurement()->wipeoutAnalyticsDataAndResetComponents(); });
    CHECK(f.measurement()->onDeviceConversion()->PSMStartCount() == 0);
    f.server.enqueue(reply(200, "{}"));
    VEZArurerudo::initiateOnDeviceConversionMeasurementWithEmailAddress("reader@example.org");
    f.engine.settle();
    f.completeExchange(4);
    CHECK(f.engine.monitor().count(kAPMPSMStartLimitCode) == 1);
}

TEST_CASE("in the first postback window the engine uploads sooner while conversion values are fetched") {
    const struct {
        bool skanEnabled;
        double daysAfterFirstOpen;
        double interval;
    } cases[] = {{true, 0, 1800}, {true, 2, 1800}, {true, 2.001, 3600}, {false, 0, 3600}};
    for (const auto& c : cases) {
        CAPTURE(c.skanEnabled);
        CAPTURE(c.daysAfterFirstOpen);
        EngineWithConversions f;
        f.engine.configure();
        f.takeSettings(c.skanEnabled ? kSKANEnabled() : config_test::ConfigBuilder());
        // An install that opened first that many days ago.
        f.onWorker([&] {
            const double firstOpen = f.engine.time().clock().now() - c.daysAfterFirstOpen * kDay;
            f.measurement()->persistedConfig()->setFirstOpenTimestampMilliseconds(
                static_cast<std::int64_t>(firstOpen * 1000));
        });
        f.server.enqueue(reply(204));
        f.resignAndUpload();
        f.completeExchange(1);
        const double uploaded = f.engine.time().clock().now();
        f.measurement()->logEvent("app", true, "kuvo_calculate", uploaded, {});
        f.engine.settle();
        double next = 0;
        f.onWorker([&] { next = f.measurement()->uploader()->nextUploadingTime(); });
        CHECK(next - uploaded == doctest::Approx(c.interval));
    }
}

TEST_CASE("a conversion value the service gives is applied by the platform and stored by the engine as \"_skan\"") {
    // Field 6, the result time, is 1700000600000 ms; field 7, the event
    // time, 1700000000000 ms.
    const std::string purchase = "\x08\x02\x12\x08purchase\x18\x05\x20\x04\x28\x01\x30\xc0\x9f\xba\xff\xbc\x31"
                                 "\x38\x80\xd0\x95\xff\xbc\x31\x40\x80\xdd\xdb\x01";
    EngineWithConversions f;
    platform::SKAdNetwork::reset();
    f.engine.time().clock().setNow(1700000100);
    f.engine.configure();
    f.takeSettings(kSKANEnabled());
    f.server.enqueue(reply(200, purchase));
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationDidBecomeActiveNotification);
    f.engine.settle();
    f.completeExchange(1);
    const auto updates = platform::SKAdNetwork::updates();
    REQUIRE(updates.size() == 1);
    CHECK(updates[0].fineValue == 5);
    CHECK(updates[0].coarseValue == platform::SKAdNetworkCoarseConversionValueMedium);
    CHECK(updates[0].lockWindow);
    const auto events = f.engine.rawEvents();
    const auto stored = std::find_if(events.begin(), events.end(),
                                     [](const APMRawEventData& e) { return e.event().name() == "_skan"; });
    REQUIRE(stored != events.end());
    const auto& event = stored->event();
    CHECK(testing::stringParameter(event, "_skanm") == "purchase");
    CHECK(testing::intParameter(event, "_skanf") == 5);
    CHECK(testing::intParameter(event, "_skanc") == 2);
    CHECK(testing::intParameter(event, "_skanl") == 1);
    CHECK(testing::intParameter(event, "_skane") == 1700000000000);
    CHECK(f.measurement()->persistedConfig()->SKANEvaluationEventTimeMillis() == 1700000000000);
    platform::SKAdNetwork::reset();
}
