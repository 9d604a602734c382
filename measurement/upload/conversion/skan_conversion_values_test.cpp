// The conversion-value exchange against a loopback service and the ad-network stand-in.
#include <doctest/doctest.h>

#include <chrono>
#include <thread>

#include "measurement/upload/conversion/conversion_codes.h"
#include "measurement/upload/conversion/conversion_test_support.h"
#include "measurement/upload/conversion/skan_conversion_values.h"
#include "platform/foundation/process_info.h"
#include "platform/frameworks/ad_network/sk_ad_network.h"
#include "platform/frameworks/utilities/gzip.h"

using namespace conversion_test;
using platform::SKAdNetwork;

namespace {

constexpr const char* kSKANPath = "/skan";
constexpr double kHour = 3600;
constexpr double kDay = 86400;

// The service's reply "apply: purchase, fine 5, coarse 2, lock the window,
// valid until 1700000600000, evaluated up to 1700000000000, back off an
// hour", as the service encodes it.
constexpr const char* kPurchaseReply =
    "08 02 12 08 70 75 72 63 68 61 73 65 18 05 20 04 28 01 30 c0 9f ba ff bc 31 38 80 d0 95 ff bc 31 40 80 dd db 01";

std::string bytesText(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// A reply built field by field; by default one that applies fine 5,
// coarse 2.
class Reply {
public:
    Reply& status(std::optional<std::int32_t> value) { return set(status_, value); }
    Reply& fine(std::optional<std::int64_t> value) { return set(fine_, value); }
    Reply& coarse(std::optional<std::int32_t> value) { return set(coarse_, value); }
    Reply& lock(std::optional<bool> value) { return set(lock_, value); }
    Reply& result(std::optional<std::int64_t> value) { return set(result_, value); }
    Reply& event(std::optional<std::int64_t> value) { return set(event_, value); }

    std::string encoded() const {
        using R = APMPBSkAdNetworkConversionValueResponse;
        R message;
        auto index = [](pb_size_t tag) { return NANOFieldIndexForTag<R>(tag); };
        if (status_) NANOSetInt32(message, index(nano_APMPBSkAdNetworkConversionValueResponse_status_tag), *status_);
        if (fine_) {
            NANOSetInt32(message, index(nano_APMPBSkAdNetworkConversionValueResponse_fine_value_tag),
                         static_cast<std::int32_t>(static_cast<std::uint32_t>(*fine_)));
        }
        if (coarse_) NANOSetInt32(message, index(nano_APMPBSkAdNetworkConversionValueResponse_coarse_value_tag), *coarse_);
        if (lock_) NANOSetBool(message, index(nano_APMPBSkAdNetworkConversionValueResponse_lock_window_tag), *lock_);
        if (result_) {
            NANOSetInt64(message, index(nano_APMPBSkAdNetworkConversionValueResponse_result_time_millis_tag), *result_);
        }
        if (event_) {
            NANOSetInt64(message, index(nano_APMPBSkAdNetworkConversionValueResponse_event_time_millis_tag), *event_);
        }
        return bytesText(message.protoBuffer());
    }

private:
    template <class T>
    Reply& set(std::optional<T>& field, std::optional<T> value) {
        field = value;
        return *this;
    }

    std::optional<std::int32_t> status_ = 1;
    std::optional<std::int64_t> fine_ = 5;
    std::optional<std::int32_t> coarse_ = 2;
    std::optional<bool> lock_;
    std::optional<std::int64_t> result_ = 1700000600000;
    std::optional<std::int64_t> event_ = 1700000000000;
};

std::int64_t millis(double seconds) { return static_cast<std::int64_t>(seconds * 1000); }

// The exchange switched on, an hour after the first open, on an OS that
// takes fine and coarse values.
struct Values {
    ConversionFixture f;
    std::shared_ptr<APMSKANConversionValues> values;

    explicit Values(double sinceFirstOpen = kHour) {
        SKAdNetwork::reset();
        f.configure(config_test::ConfigBuilder().setting("measurement.skan.update_conversion_value_enabled", "true"));
        f.persisted->setFirstOpenTimestampMilliseconds(millis(f.time.now() - sinceFirstOpen));
        values = std::make_shared<APMSKANConversionValues>(f.inputs());
    }
    ~Values() {
        values.reset();
        f.time.settle();
        SKAdNetwork::reset();
        platform::ProcessInfo::reset();
    }

    // One fetch through to the platform's answer.
    void fetch() {
        f.onWorker([&] { values->fetchSKANCV(); });
        REQUIRE(f.completeRequest());
        f.time.settle();
    }
    // One fetch whose reply reaches the component while the platform's own
    // queue keeps its answer to the update. Only the worker queue runs: a
    // settle would also run the platform's queue whenever the reply came
    // back before it was done.
    void fetchOnWorkerOnly() {
        auto* manual = dynamic_cast<platform::dispatch::ManualQueue*>(f.worker.get());
        REQUIRE(manual);
        f.onWorkerOnly([&] { values->fetchSKANCV(); });
        REQUIRE(f.server.waitForRequests(1, 20));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (values->isSKANRequestInProgress() && std::chrono::steady_clock::now() < deadline) {
            if (manual->pendingCount() == 0) {
                std::this_thread::yield();
            } else {
                manual->drain();
            }
        }
        REQUIRE_FALSE(values->isSKANRequestInProgress());
    }
    std::vector<long> codes() const {
        std::vector<long> ours;
        for (long code : f.capture.codes()) {
            if (code >= kAPMSKANPostponedCode && code <= kAPMSKANMissingResultTimeCode && code != kAPMPSMLinkedCode &&
                code != kAPMPSMNotLinkedWithCountsCode) {
                ours.push_back(code);
            }
        }
        return ours;
    }
    std::size_t requests() const { return f.requestsTo(kSKANPath).size(); }
};

std::map<std::string, APMValue> parametersOf(const APMEvent& event) {
    std::map<std::string, APMValue> parameters;
    for (const auto& [name, value] : event.parameters()) {
        if (name != "_o") parameters.emplace(name, value);
    }
    return parameters;
}

}  // namespace

TEST_CASE("the service's reply bytes, applied and recorded") {
    Values t;
    auto& f = t.f;

    SUBCASE("apply: the platform gets the values and \"_skan\" records them") {
        f.server.answer(kSKANPath, reply(200, bytesText(bytesOfHex(kPurchaseReply))));
        t.fetch();
        CHECK(t.codes() == std::vector<long>{kAPMSKANUpdatingCode});
        const auto updates = SKAdNetwork::updates();
        REQUIRE(updates.size() == 1);
        CHECK(updates[0].fineValue == 5);
        CHECK(updates[0].coarseValue == "medium");
        CHECK(updates[0].lockWindow);
        REQUIRE(f.host->internalEvents.size() == 1);
        const auto& event = f.host->internalEvents[0];
        CHECK(event.name() == "_skan");
        CHECK(event.origin() == "auto");
        CHECK_FALSE(event.isPublic());
        CHECK(event.timestamp() == f.time.now());
        CHECK(parametersOf(event) == std::map<std::string, APMValue>{
                                         {"_skanm", APMValue(std::string("purchase"))},
                                         {"_skanf", APMValue(std::int64_t{5})},
                                         {"_skanc", APMValue(std::int64_t{2})},
                                         {"_skanl", APMValue(std::int64_t{1})},
                                         {"_skane", APMValue(std::int64_t{1700000000000})},
                                     });
        CHECK(f.persisted->SKANEvaluationEventTimeMillis() == 1700000000000);
        CHECK(f.persisted->SKANEvaluationUpdateBackoffMillis() == 3600000);
        CHECK(t.values->SKANRetryCount() == 0);
        CHECK(f.host->blockIDs == std::vector<std::string>{"APMMeasurement:429"});
        CHECK_FALSE(f.host->isNetworkRequestPending());
        CHECK_FALSE(t.values->isSKANRequestInProgress());
    }
    SUBCASE("\"08 04\": status 2, nothing to apply") {
        f.onWorker([&] { t.values->maybeScheduleSKANCVFetchRetry(); });
        REQUIRE(t.values->SKANRetryCount() == 1);
        f.server.answer(kSKANPath, reply(200, bytesText(bytesOfHex("08 04"))));
        t.fetch();
        CHECK(SKAdNetwork::updates().empty());
        CHECK(f.host->internalEvents.empty());
        CHECK(t.values->SKANRetryCount() == 0);
        CHECK(t.codes().empty());
    }
}

TEST_CASE("the request: one message to \"/skan\" that accepts gzip") {
    Values t;
    auto& f = t.f;
    f.persisted->setSKANEvaluationEventTimeMillis(1699990000000);
    f.persisted->setLastUploadedEventTimestampMillis(1699999000000);
    f.server.answer(kSKANPath, reply(200, Reply().status(2).encoded()));
    t.fetch();
    const auto requests = f.requestsTo(kSKANPath);
    REQUIRE(requests.size() == 1);
    CHECK(requests[0].method == "POST");
    CHECK(requests[0].header("Accept-Encoding") == "gzip");
    const auto request = APMPBSkAdNetworkConversionValueRequest::initWithBuffer(requests[0].body);
    REQUIRE(request);
    auto index = [](pb_size_t tag) { return NANOFieldIndexForTag<APMPBSkAdNetworkConversionValueRequest>(tag); };
    CHECK(NANOGetInt64(*request, index(nano_APMPBSkAdNetworkConversionValueRequest_library_version_tag)) == 110100);
    CHECK(NANOGetString(*request, index(nano_APMPBSkAdNetworkConversionValueRequest_app_id_tag)) == kBundleID);
    CHECK(NANOGetString(*request, index(nano_APMPBSkAdNetworkConversionValueRequest_app_instance_id_tag)) == kInstanceID);
    CHECK(NANOGetString(*request, index(nano_APMPBSkAdNetworkConversionValueRequest_skan_version_tag)) == "4.0");
    CHECK(NANOGetInt64(*request, index(nano_APMPBSkAdNetworkConversionValueRequest_evaluation_event_time_millis_tag)) ==
          1699990000000);
    CHECK(NANOGetInt64(*request,
                       index(nano_APMPBSkAdNetworkConversionValueRequest_last_uploaded_event_time_millis_tag)) ==
          1699999000000);
}

TEST_CASE("the ad-network version of each OS version") {
    const struct {
        const char* os;
        const char* version;
    } cases[] = {{"17.4.1", "4.0"}, {"16.1", "4.0"}, {"16.0", "3.0"}, {"14.6", "3.0"}, {"14.5.1", "2.2"},
                 {"14.4", "2.1"},   {"14.0", "2.1"}, {"13.7", "1.0"}, {"13.6", "0"},   {"", "0"}};
    for (const auto& c : cases) {
        CAPTURE(c.os);
        CHECK(APMSKANVersionForOSVersion(c.os) == c.version);
    }
    CHECK(APMSKANConversionValues::SKANVersion() == "4.0");
}

TEST_CASE("the postback windows, boundaries included") {
    Values t;
    auto& f = t.f;
    const std::int64_t firstOpen = 1690000000000;
    const struct {
        std::int64_t firstOpenMillis;
        std::int64_t nowMillis;
        bool first;
        bool past;
    } cases[] = {
        {firstOpen, firstOpen, true, false},
        {firstOpen, firstOpen + 172800000, true, false},
        {firstOpen, firstOpen + 172800001, false, false},
        {firstOpen, firstOpen + 3024000000, false, false},
        {firstOpen, firstOpen + 3024000001, false, true},
        {0, firstOpen, false, true},
    };
    for (const auto& c : cases) {
        CAPTURE(c.nowMillis - c.firstOpenMillis);
        f.persisted->setFirstOpenTimestampMilliseconds(c.firstOpenMillis);
        f.time.clock().setNow(static_cast<double>(c.nowMillis) / 1000);
        CHECK(t.values->isInFirstSKANPostbackWindow() == c.first);
        CHECK(t.values->isPastAllSKANPostbackWindows() == c.past);
    }
}

TEST_CASE("when a fetch may start") {
    const struct {
        const char* name;
        const char* os;
        bool enabled;
        double sinceFirstOpen;
        bool instanceID;
        bool fetches;
    } cases[] = {
        {"all met", "16.1", true, kHour, true, true},
        {"before 16.1", "16.0", true, kHour, true, false},
        {"switched off", "17.0", false, kHour, true, false},
        {"past all windows", "17.0", true, 36 * kDay, true, false},
        {"no app instance ID", "17.0", true, kHour, false, false},
    };
    for (const auto& c : cases) {
        CAPTURE(c.name);
        Values t(c.sinceFirstOpen);
        platform::ProcessInfo::setOSVersion(c.os);
        if (!c.enabled) t.f.configure(config_test::ConfigBuilder());
        if (!c.instanceID) t.f.identity->instanceID.reset();
        t.f.server.answer(kSKANPath, reply(200, Reply().status(2).encoded()));
        t.fetch();
        CHECK(t.requests() == (c.fetches ? 1u : 0u));
        CHECK(t.codes().empty());
    }
}

TEST_CASE("a fetch waits for the engine's other requests and for the network") {
    Values t;
    auto& f = t.f;
    f.server.answer(kSKANPath, reply(200, Reply().status(2).encoded()));

    SUBCASE("an upload under way: logged, nothing remembered") {
        f.host->uploading = true;
        t.fetch();
        CHECK(t.codes() == std::vector<long>{kAPMSKANPostponedCode});
        CHECK_FALSE(t.values->fetchSKANWhenNetworkConnected());
        CHECK(t.requests() == 0);
    }
    SUBCASE("no network: fetched once it is back") {
        f.reachability->setReachable(false);
        t.fetch();
        CHECK(t.values->fetchSKANWhenNetworkConnected());
        CHECK(t.requests() == 0);
        f.onWorker([&] { t.values->maybeFetchSKANCVAfterReachabilityChange(); });
        CHECK(t.requests() == 0);
        f.reachability->setReachable(true);
        f.onWorker([&] { t.values->maybeFetchSKANCVAfterReachabilityChange(); });
        REQUIRE(f.completeRequest());
        CHECK(t.requests() == 1);
        CHECK_FALSE(t.values->fetchSKANWhenNetworkConnected());
    }
    SUBCASE("the network back without a wanted fetch: nothing") {
        f.onWorker([&] { t.values->maybeFetchSKANCVAfterReachabilityChange(); });
        CHECK(t.requests() == 0);
    }
    SUBCASE("one fetch on the wire at a time") {
        f.server.answer(kSKANPath, [] {
            auto held = reply(200, Reply().status(2).encoded());
            held.hold = true;
            return held;
        }());
        f.onWorker([&] { t.values->fetchSKANCV(); });
        REQUIRE(f.server.waitForHeld(1, 20));
        CHECK(t.values->isSKANRequestInProgress());
        CHECK(f.host->isNetworkRequestPending());
        f.onWorker([&] { t.values->fetchSKANCV(); });
        f.server.release();
        REQUIRE(f.completeRequest());
        CHECK(t.requests() == 1);
    }
}

TEST_CASE("gzip replies are inflated whichever way the header is written") {
    const struct {
        const char* encoding;
        bool gzipped;
        bool applied;
    } cases[] = {
        {"gzip", true, true}, {"GZIP", true, true}, {"Gzip", true, true}, {"deflate", true, false},
        {"gzip", false, true},  // not gzip after all: kept as received
    };
    for (const auto& c : cases) {
        CAPTURE(c.encoding);
        CAPTURE(c.gzipped);
        Values t;
        const auto plain = bytesOfHex(kPurchaseReply);
        const auto body = c.gzipped ? *platform::rul_dataByGzippingData(plain) : plain;
        t.f.server.answer(kSKANPath, reply(200, bytesText(body), {{"Content-Encoding", c.encoding}}));
        t.fetch();
        CHECK(SKAdNetwork::updates().size() == (c.applied ? 1u : 0u));
        CHECK(t.f.capture.hasCode(kAPMSKANInvalidDataCode) == !c.applied);
    }
}

TEST_CASE("every check of the reply, and what follows it") {
    enum Next { kApplied, kEnded, kRetry };
    const double now = 1700000000;
    const struct {
        const char* name;
        int http;
        std::string body;
        std::vector<long> codes;
        Next next;
    } cases[] = {
        {"not modified", 304, "", {}, kEnded},
        {"server error", 500, "", {23241}, kRetry},
        {"empty", 200, "", {23242}, kEnded},
        {"undecodable", 200, "\xff\xff\xff", {23243}, kEnded},
        {"no status", 200, Reply().status(std::nullopt).encoded(), {}, kRetry},
        {"status 3", 200, Reply().status(3).encoded(), {}, kRetry},
        {"status 2", 200, Reply().status(2).encoded(), {}, kEnded},
        {"no event time", 200, Reply().event(std::nullopt).encoded(), {23244}, kRetry},
        {"no values", 200, Reply().fine(std::nullopt).coarse(std::nullopt).encoded(), {23251}, kEnded},
        {"fine 64", 200, Reply().fine(64).encoded(), {23245}, kEnded},
        {"fine beyond 32 bits signed", 200, Reply().fine(4294967295).encoded(), {23245}, kEnded},
        {"no result time", 200, Reply().result(std::nullopt).encoded(), {23255}, kRetry},
        {"result time passed", 200, Reply().result(millis(now) - 1000).encoded(), {23246}, kRetry},
        {"result time this second", 200, Reply().result(millis(now) + 999).encoded(), {23248}, kApplied},
        {"outdated", 200, Reply().event(millis(now) - 5001).encoded(), {23247}, kRetry},
        {"fine 63", 200, Reply().fine(63).encoded(), {23248}, kApplied},
    };
    for (const auto& c : cases) {
        CAPTURE(c.name);
        Values t;
        auto& f = t.f;
        f.persisted->setLastUploadedEventTimestampMillis(millis(now) - 5000);
        // An earlier failure, so that an ending reply shows the reset.
        f.onWorker([&] { t.values->maybeScheduleSKANCVFetchRetry(); });
        f.server.answer(kSKANPath, reply(c.http, c.body));
        t.fetch();
        CHECK(t.codes() == c.codes);
        CHECK(SKAdNetwork::updates().size() == (c.next == kApplied ? 1u : 0u));
        CHECK(f.host->internalEvents.size() == (c.next == kApplied ? 1u : 0u));
        CHECK(t.values->SKANRetryCount() == (c.next == kRetry ? 2 : 0));
        CHECK(t.values->SKANRetryTime().has_value() == (c.next == kRetry));
    }
}

TEST_CASE("the fine value, the coarse level and the lock as applied and recorded") {
    const struct {
        std::optional<std::int64_t> fine;
        std::optional<std::int32_t> coarse;
        std::optional<bool> lock;
        long appliedFine;
        const char* appliedCoarse;
        bool appliedLock;
    } cases[] = {
        {std::nullopt, 2, std::nullopt, 0, "medium", false},
        {7, std::nullopt, false, 7, "low", false},
        {7, 3, true, 7, "high", true},
        {7, 1, std::nullopt, 7, "low", false},
        {7, 9, std::nullopt, 7, "low", false},
        {0, -3, std::nullopt, 0, "low", false},
    };
    for (const auto& c : cases) {
        CAPTURE(c.fine.value_or(-1));
        CAPTURE(c.coarse.value_or(-1));
        Values t;
        t.f.server.answer(kSKANPath, reply(200, Reply().fine(c.fine).coarse(c.coarse).lock(c.lock).encoded()));
        t.fetch();
        const auto updates = SKAdNetwork::updates();
        REQUIRE(updates.size() == 1);
        CHECK(updates[0].fineValue == c.appliedFine);
        CHECK(updates[0].coarseValue == c.appliedCoarse);
        CHECK(updates[0].lockWindow == c.appliedLock);
        REQUIRE(t.f.host->internalEvents.size() == 1);
        const auto parameters = parametersOf(t.f.host->internalEvents[0]);
        // What the service sent, not what the platform was given.
        CHECK(parameters.count("_skanf") == (c.fine ? 1u : 0u));
        if (c.coarse) CHECK(parameters.at("_skanc") == APMValue(std::int64_t{*c.coarse}));
        CHECK(parameters.count("_skanc") == (c.coarse ? 1u : 0u));
        CHECK(parameters.count("_skanl") == (c.lock ? 1u : 0u));
        CHECK(parameters.count("_skanm") == 0);
        CHECK(t.f.persisted->SKANEvaluationUpdateBackoffMillis() == 0);
    }
}

TEST_CASE("retries: their intervals and their limit") {
    SUBCASE("the default limit of 4: the fifth consecutive failure arms no timer") {
        Values t(10 * kDay);
        auto& f = t.f;
        f.server.answer(kSKANPath, reply(500));
        t.fetch();
        for (int failure = 1; failure <= 4; ++failure) {
            CAPTURE(failure);
            REQUIRE(t.values->SKANRetryTime());
            CHECK(*t.values->SKANRetryTime() - f.time.now() == doctest::Approx(120));
            f.time.advance(120);
            REQUIRE(f.completeRequest());
            f.time.settle();
        }
        CHECK(t.requests() == 5);
        CHECK(t.codes().back() == kAPMSKANRetryLimitCode);
        CHECK_FALSE(t.values->SKANRetryTime());
    }
    SUBCASE("while the service's back-off runs, the second failure stops") {
        Values t;
        auto& f = t.f;
        f.persisted->setSKANEvaluationEventTimeMillis(millis(f.time.now()) - 1000);
        f.persisted->setSKANEvaluationUpdateBackoffMillis(3600000);
        CHECK(t.values->SKANFetchRetryLimit() == 1);
        f.server.answer(kSKANPath, reply(503));
        t.fetch();
        REQUIRE(t.values->SKANRetryTime());
        f.time.advance(120);
        REQUIRE(f.completeRequest());
        CHECK(t.requests() == 2);
        CHECK(t.codes().back() == kAPMSKANRetryLimitCode);
        CHECK_FALSE(t.values->SKANRetryTime());
        // Once the back-off is over the limit is the window's again.
        f.time.advance(kHour);
        CHECK(t.values->SKANFetchRetryLimit() == 4);
    }
    SUBCASE("the server's settings, in and after the first window") {
        const struct {
            double sinceFirstOpen;
            double interval;
            std::int32_t limit;
        } cases[] = {{kHour, 45, 2}, {3 * kDay, 90, 3}};
        for (const auto& c : cases) {
            CAPTURE(c.sinceFirstOpen);
            Values t(c.sinceFirstOpen);
            t.f.configure(config_test::ConfigBuilder()
                              .setting("measurement.skan.update_conversion_value_enabled", "true")
                              .setting("measurement.skan.first_window.cv_fetch_retry_interval_sec", "45")
                              .setting("measurement.skan.first_window.cv_fetch_retry_limit", "2")
                              .setting("measurement.skan.cv_fetch_retry_interval_sec", "90")
                              .setting("measurement.skan.cv_fetch_retry_limit", "3"));
            CHECK(t.values->SKANFetchRetryLimit() == c.limit);
            t.f.onWorker([&] { t.values->maybeScheduleSKANCVFetchRetry(); });
            REQUIRE(t.values->SKANRetryTime());
            CHECK(*t.values->SKANRetryTime() - t.f.time.now() == doctest::Approx(c.interval));
        }
    }
}

TEST_CASE("the delayed fetch after an upload") {
    const struct {
        double sinceFirstOpen;
        double delay;
    } cases[] = {{kHour, 20}, {3 * kDay, 120}};
    for (const auto& c : cases) {
        CAPTURE(c.sinceFirstOpen);
        Values t(c.sinceFirstOpen);
        auto& f = t.f;
        f.server.answer(kSKANPath, reply(200, Reply().status(2).encoded()));
        f.onWorker([&] { t.values->scheduleSKANCVFetchAfterDataUpload(); });
        REQUIRE(t.values->SKANDelayTime());
        CHECK(*t.values->SKANDelayTime() - f.time.now() == doctest::Approx(c.delay));
        // A retry armed meanwhile goes when the fetch starts.
        f.onWorker([&] { t.values->maybeScheduleSKANCVFetchRetry(); });
        f.time.advance(c.delay);
        REQUIRE(f.completeRequest());
        CHECK(t.requests() == 1);
        CHECK_FALSE(t.values->SKANDelayTime());
        CHECK_FALSE(t.values->SKANRetryTime());
    }
    SUBCASE("not armed when no fetch may start") {
        Values t(40 * kDay);
        t.f.onWorker([&] { t.values->scheduleSKANCVFetchAfterDataUpload(); });
        CHECK_FALSE(t.values->SKANDelayTime());
    }
}

TEST_CASE("the platform's answer: only a confirmed value is kept") {
    SUBCASE("a failed update keeps the earlier evaluation time and is fetched again") {
        Values t;
        auto& f = t.f;
        f.persisted->setSKANEvaluationEventTimeMillis(1699000000000);
        f.server.answer(kSKANPath, reply(200, bytesText(bytesOfHex(kPurchaseReply))));
        SKAdNetwork::failNextUpdates(1, {"SKANErrorDomain", 3, "busy"});
        t.fetch();
        CHECK(t.codes() == std::vector<long>{kAPMSKANUpdatingCode, kAPMSKANUpdateFailedCode});
        CHECK(f.host->internalEvents.empty());
        CHECK(f.persisted->SKANEvaluationEventTimeMillis() == 1699000000000);
        REQUIRE(t.values->SKANRetryTime());
        f.time.advance(120);
        REQUIRE(f.completeRequest());
        f.time.settle();
        const auto requests = f.requestsTo(kSKANPath);
        REQUIRE(requests.size() == 2);
        const auto second = APMPBSkAdNetworkConversionValueRequest::initWithBuffer(requests[1].body);
        REQUIRE(second);
        CHECK(NANOGetInt64(*second, NANOFieldIndexForTag<APMPBSkAdNetworkConversionValueRequest>(
                                        nano_APMPBSkAdNetworkConversionValueRequest_evaluation_event_time_millis_tag)) ==
              1699000000000);
        CHECK(SKAdNetwork::updates().size() == 2);
        CHECK(f.host->internalEvents.size() == 1);
        CHECK(f.persisted->SKANEvaluationEventTimeMillis() == 1700000000000);
    }
    SUBCASE("a platform that keeps failing is asked only up to the retry limit") {
        Values t;
        auto& f = t.f;
        f.server.answer(kSKANPath, reply(200, Reply().encoded()));
        SKAdNetwork::failNextUpdates(100, {"SKANErrorDomain", 3, "busy"});
        t.fetch();
        for (int i = 0; i < 10 && t.values->SKANRetryTime(); ++i) {
            f.time.advance(120);
            REQUIRE(f.completeRequest());
            f.time.settle();
        }
        CHECK(SKAdNetwork::updates().size() == 5);
        CHECK(t.codes().back() == kAPMSKANRetryLimitCode);
    }
    SUBCASE("which errors count as success") {
        const struct {
            const char* os;
            std::optional<platform::SKANError> error;
            bool success;
        } cases[] = {
            {"16.1", std::nullopt, true},
            {"16.1", platform::SKANError{"SKANErrorDomain", 10, "later"}, true},
            {"16.0", platform::SKANError{"SKANErrorDomain", 10, "later"}, false},
            {"16.1", platform::SKANError{"OtherDomain", 10, "later"}, false},
            {"16.1", platform::SKANError{"SKANErrorDomain", 9, "bad"}, false},
        };
        for (const auto& c : cases) {
            CAPTURE(c.os);
            Values t;
            platform::ProcessInfo::setOSVersion(c.os);
            const auto response = APMPBSkAdNetworkConversionValueResponse::initWithBuffer(bytesOfHex(kPurchaseReply));
            REQUIRE(response);
            t.f.onWorker([&] { t.values->handleSKANUpdatePostbackCompletion(*response, c.error); });
            CHECK(t.f.host->internalEvents.size() == (c.success ? 1u : 0u));
            CHECK(t.f.capture.hasCode(kAPMSKANUpdateFailedCode) == !c.success);
            CHECK(t.f.persisted->SKANEvaluationEventTimeMillis() == (c.success ? 1700000000000 : 0));
        }
    }
    SUBCASE("no second fetch while the platform has not answered") {
        Values t;
        auto& f = t.f;
        f.server.answer(kSKANPath, reply(200, Reply().encoded()));
        t.fetchOnWorkerOnly();
        CHECK(t.values->isSKANUpdateInProgress());
        CHECK_FALSE(t.values->shouldFetchSKANConversionValue());
        f.time.settle();
        CHECK_FALSE(t.values->isSKANUpdateInProgress());
        CHECK(t.values->shouldFetchSKANConversionValue());
    }
    SUBCASE("an answer after the component has gone reaches nothing") {
        Values t;
        auto& f = t.f;
        f.server.answer(kSKANPath, reply(200, Reply().encoded()));
        SKAdNetwork::failNextUpdates(1, {"SKANErrorDomain", 3, "busy"});
        t.fetchOnWorkerOnly();
        t.values.reset();
        f.time.settle();
        CHECK(SKAdNetwork::updates().size() == 1);
        CHECK_FALSE(f.capture.hasCode(kAPMSKANUpdateFailedCode));
    }
}

TEST_CASE("before OS 16.1 nothing is applied, even when a reply arrives") {
    Values t;
    platform::ProcessInfo::setOSVersion("15.7");
    const auto response = APMPBSkAdNetworkConversionValueResponse::initWithBuffer(bytesOfHex(kPurchaseReply));
    REQUIRE(response);
    t.f.onWorker([&] { t.values->updateSKANPostbackConversionValueFromResponse(*response); });
    CHECK(SKAdNetwork::updates().empty());
    CHECK(t.codes().empty());
}
