// On-device conversion measurement against the client stand-in and a loopback service.
#include <doctest/doctest.h>

#include <cmath>

#include "measurement/foundation/scheduler.h"
#include "measurement/upload/conversion/conversion_codes.h"
#include "measurement/upload/conversion/conversion_test_support.h"
#include "measurement/upload/conversion/on_device_conversion.h"
#include "platform/foundation/class_registry.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/url.h"
#include "platform/frameworks/on_device_conversion/private_set_membership_client.h"

using namespace conversion_test;
using platform::Value;
using platform::ondevice::PrivateSetMembership;

namespace {

constexpr const char* kQueryPath = "/psm/query";
constexpr double kDay = 86400;

// The client library linked and pointed at the fixture's service; the
// component over the fixture's engine stand-in.
struct Conversion {
    ConversionFixture f;
    std::shared_ptr<APMOnDeviceConversion> conversion;

    explicit Conversion(bool linked = true) {
        PrivateSetMembership::reset();
        if (linked) PrivateSetMembership::link();
        PrivateSetMembership::setServiceBaseURL(f.server.url(""));
        conversion = std::make_shared<APMOnDeviceConversion>(f.inputs());
    }
    ~Conversion() {
        conversion.reset();
        PrivateSetMembership::reset();
    }

    void start(const Value::Dictionary& userData) {
        f.onWorker([&] { conversion->setUserDataOnWorkerQueue(userData); });
    }
    // The codes of this component logged so far, in order.
    std::vector<long> codes() const {
        std::vector<long> ours;
        for (long code : f.capture.codes()) {
            if (code >= kAPMPSMInitiatedCode && code <= kAPMPSMHashedUnsupportedCode) ours.push_back(code);
        }
        return ours;
    }
    std::vector<testsupport::RecordedRequest> queries() const { return f.requestsTo(kQueryPath); }
    // The query items of the n-th query by name.
    std::map<std::string, std::string> queryItems(std::size_t n) const {
        const auto all = queries();
        REQUIRE(n < all.size());
        std::map<std::string, std::string> items;
        auto url = platform::URL::parse("http://x/?" + all[n].query);
        REQUIRE(url);
        for (const auto& item : url->queryItems().value_or(std::vector<platform::URLQueryItem>{})) {
            items[item.name] = item.value.value_or("");
        }
        return items;
    }
    std::int64_t count(const std::string& name) {
        auto property = f.property(name);
        return property && property->value().isInt64() ? property->value().int64Value() : 0;
    }
};

Value hashed(const std::string& hex) { return Value(platform::Data{bytesOfHex(hex)}); }

const std::string kDigest = "86e0b9e56c17cc4d12387e1949b85053fbe73bc3ce5a1188713a9d300cc6133d";

}  // namespace

TEST_CASE("user data: the inputs in their order, each with its checks") {
    const struct {
        const char* name;
        bool linked;
        Value::Dictionary userData;
        std::vector<long> codes;
        int startedType;  // 0: no request
    } cases[] = {
        {"e-mail", true, {{"email_address", "jane@example.com"}}, {23225, 23230}, 1},
        {"e-mail before phone", true, {{"email_address", "jane@example.com"}, {"phone_number", "+4915112345678"}}, {23225, 23230}, 1},
        {"empty e-mail, then phone", true, {{"email_address", ""}, {"phone_number", "+4915112345678"}}, {23234, 23225, 23230}, 2},
        {"e-mail of another kind counts as empty", true, {{"email_address", 5}}, {23234}, 0},
        {"empty phone", true, {{"phone_number", ""}}, {23239}, 0},
        {"hashed e-mail", true, {{"hashed_email_address", hashed(kDigest)}}, {23225, 23230}, 3},
        {"hashed phone", true, {{"hashed_phone_number", hashed(kDigest)}}, {23225, 23230}, 4},
        {"empty hashed", true, {{"hashed_phone_number", Value(platform::Data{})}}, {23264}, 0},
        {"not linked: e-mail", false, {{"email_address", "jane@example.com"}}, {23233}, 0},
        {"not linked: phone", false, {{"phone_number", "+4915112345678"}}, {23262}, 0},
        {"not linked: hashed", false, {{"hashed_email_address", hashed(kDigest)}}, {23265}, 0},
        {"not linked: all four", false,
         {{"email_address", "a@b.c"}, {"phone_number", "+4915112345678"}, {"hashed_email_address", hashed(kDigest)},
          {"hashed_phone_number", hashed(kDigest)}},
         {23233, 23262, 23265, 23265}, 0},
        {"a client the library refuses, then the next input", true,
         {{"email_address", "no address"}, {"phone_number", "+4915112345678"}}, {23225, 23230}, 2},
        {"nothing usable", true, {{"other", "x"}}, {}, 0},
    };
    for (const auto& c : cases) {
        const std::string name = c.name;
        INFO(name);
        Conversion t(c.linked);
        t.f.server.answer(kQueryPath, reply(204));
        t.start(c.userData);
        REQUIRE(t.f.completeRequest());
        CHECK(t.codes() == c.codes);
        CHECK(t.queries().size() == (c.startedType ? 1u : 0u));
        if (c.startedType) {
            CHECK(t.queryItems(0)["type"] == std::to_string(c.startedType));
            CHECK(t.conversion->PSMStartCount() == 1);
        }
    }
}

TEST_CASE("a library without the phone or hashed forms refuses that input") {
    const struct {
        bool phone;
        bool hashed;
        Value::Dictionary userData;
        long code;
    } cases[] = {
        {false, true, {{"phone_number", "+4915112345678"}}, 23262},
        {true, false, {{"hashed_email_address", hashed(kDigest)}}, 23265},
        {true, false, {{"hashed_phone_number", hashed(kDigest)}}, 23265},
    };
    for (const auto& c : cases) {
        Conversion t;
        PrivateSetMembership::setOffersPhoneNumbers(c.phone);
        PrivateSetMembership::setOffersHashedIdentifiers(c.hashed);
        t.start(c.userData);
        CHECK(t.codes() == std::vector<long>{c.code});
        CHECK(t.queries().empty());
    }
}

TEST_CASE("the general checks, first failing step wins") {
    Conversion t;
    auto& f = t.f;
    const Value::Dictionary email{{"email_address", "jane@example.com"}};

    SUBCASE("switched off by the server: refused without a word") {
        f.configure(config_test::ConfigBuilder().setting("measurement.psm_enabled", "false"));
        t.start(email);
        CHECK(t.codes().empty());
        CHECK(t.queries().empty());
    }
    SUBCASE("the first-open window: 60 days by default, at most 90 by the server") {
        const struct {
            double daysSinceFirstOpen;
            std::optional<std::string> delay;
            bool refused;
        } cases[] = {{59.9, std::nullopt, false}, {60, std::nullopt, false}, {61, std::nullopt, true},
                     {61, "90", false},           {61, "91", true},          {-61, std::nullopt, true}};
        for (const auto& c : cases) {
            CAPTURE(c.daysSinceFirstOpen);
            f.capture.clear();
            config_test::ConfigBuilder builder;
            if (c.delay) builder.setting("measurement.psm_signin_delay", *c.delay);
            f.configure(builder);
            const double firstOpen = f.time.now() - c.daysSinceFirstOpen * kDay;
            f.persisted->setFirstOpenTimestampMilliseconds(static_cast<std::int64_t>(firstOpen * 1000));
            f.onWorker([&] { CHECK(t.conversion->shouldRetrievePSMResponse() == !c.refused); });
            CHECK(f.capture.hasCode(kAPMPSMOutsideFirstOpenWindowCode) == c.refused);
        }
    }
    SUBCASE("without a stored first open the engine's creation time counts") {
        f.host->created = f.time.now() - 61 * kDay;
        t.start(email);
        CHECK(t.codes() == std::vector<long>{23261});
    }
    SUBCASE("one request at a time") {
        f.server.answer(kQueryPath, [] {
            auto held = reply(204);
            held.hold = true;
            return held;
        }());
        t.start(email);
        REQUIRE(f.server.waitForHeld(1, 20));
        t.start(email);
        CHECK(t.codes() == std::vector<long>{23225, 23235});
        f.server.release();
        REQUIRE(f.completeRequest());
    }
    SUBCASE("three starts a run by default; the fourth is refused") {
        f.server.answer(kQueryPath, reply(204));
        for (int i = 0; i < 4; ++i) {
            t.start(email);
            REQUIRE(f.completeRequest());
        }
        CHECK(t.queries().size() == 3);
        CHECK(t.codes().back() == kAPMPSMStartLimitCode);
        // A data wipe starts the count of the run afresh.
        f.onWorker([&] { t.conversion->resetPSMCounts(); });
        t.start(email);
        REQUIRE(f.completeRequest());
        CHECK(t.queries().size() == 4);
    }
    SUBCASE("a stored match blocks every start") {
        f.storeProperty("_psmvalue", APMValue(std::string("m")), f.time.now());
        t.start(email);
        CHECK(t.codes() == std::vector<long>{23237});
    }
}

TEST_CASE("the query: the count of its input kind, the first open and the debug key") {
    Conversion t;
    auto& f = t.f;
    f.server.answer(kQueryPath, reply(204));

    SUBCASE("the count and key of each input kind") {
        const struct {
            Value::Dictionary userData;
            const char* property;
            const char* key;
        } cases[] = {
            {{{"email_address", "jane@example.com"}}, "_psmcount", "psm_count"},
            {{{"phone_number", "+4915112345678"}}, "_psmcountph", "psm_phone_count"},
            {{{"hashed_email_address", hashed(kDigest)}}, "_psmcounth", "psm_count"},
            {{{"hashed_phone_number", hashed(kDigest)}}, "_psmcounthph", "psm_phone_count"},
        };
        std::size_t n = 0;
        for (const auto& c : cases) {
            CAPTURE(c.property);
            f.storeProperty(c.property, APMValue(std::int64_t{4}), f.time.now());
            f.onWorker([&] { t.conversion->resetPSMCounts(); });
            t.start(c.userData);
            REQUIRE(f.completeRequest());
            CHECK(t.queryItems(n++)[c.key] == "4");
            // Answered: one more.
            CHECK(t.count(c.property) == 5);
        }
    }
    SUBCASE("the first open rounded up to the next whole minute") {
        const struct {
            std::int64_t firstOpenMillis;
            std::optional<std::string> item;
        } cases[] = {
            {1700000040500, "1700000100"}, {1700000040000, "1700000100"}, {1700000099999, "1700000100"},
            {1700000100000, "1700000160"}, {0, std::nullopt},            {999, std::nullopt},
        };
        std::size_t n = 0;
        for (const auto& c : cases) {
            CAPTURE(c.firstOpenMillis);
            f.persisted->setFirstOpenTimestampMilliseconds(c.firstOpenMillis);
            // Within the first-open window either way.
            f.time.clock().setNow(c.firstOpenMillis != 0 ? static_cast<double>(c.firstOpenMillis) / 1000 + 5
                                                          : f.host->created);
            f.onWorker([&] { t.conversion->resetPSMCounts(); });
            t.start({{"email_address", "jane@example.com"}});
            REQUIRE(f.completeRequest());
            const auto items = t.queryItems(n++);
            const auto found = items.find("timestamp_first_open");
            CHECK((found == items.end() ? std::nullopt : std::optional<std::string>(found->second)) == c.item);
        }
    }
    SUBCASE("the debug key only in debug runs launched with the switch") {
        struct Restore {
            ~Restore() {
                platform::ProcessInfo::reset();
                APMMonitor::shared().reloadLaunchArguments();
            }
        } restore;
        const struct {
            bool debug;
            bool verbose;
            bool argument;
            bool clientKey;
            bool sent;
        } cases[] = {
            {true, false, true, true, true},   {false, true, true, true, true},  {false, false, true, true, false},
            {true, false, false, true, false}, {true, false, true, false, false},
        };
        std::size_t n = 0;
        for (const auto& c : cases) {
            platform::ProcessInfo::setArguments(c.argument ? std::vector<std::string>{"app", kAPMDebugOnDeviceConversionArgument}
                                                           : std::vector<std::string>{"app"});
            APMMonitor::shared().setDebugModeEnabled(c.debug);
            APMMonitor::shared().setVerboseLoggingEnabled(c.verbose);
            PrivateSetMembership::setDebugKey(c.clientKey ? std::optional<std::string>("dk&1") : std::nullopt);
            f.onWorker([&] { t.conversion->resetPSMCounts(); });
            t.start({{"email_address", "jane@example.com"}});
            REQUIRE(f.completeRequest());
            const auto items = t.queryItems(n++);
            CHECK(items.count("debug_psm_key") == (c.sent ? 1u : 0u));
            if (c.sent) CHECK(items.at("debug_psm_key") == "dk&1");
        }
    }
}

TEST_CASE("query items are appended whether or not the client's address has a query") {
    const struct {
        const char* url;
        const char* expected;
    } cases[] = {
        {"https://s.test/q", "https://s.test/q?psm_count=3"},
        {"https://s.test/q?a=1", "https://s.test/q?a=1&psm_count=3"},
        {"https://s.test/q?", "https://s.test/q?psm_count=3"},
        {"https://s.test/q?a=1&", "https://s.test/q?a=1&psm_count=3"},
        {"https://s.test/q#top", "https://s.test/q?psm_count=3#top"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.url);
        CHECK(APMURLByAppendingQueryItem(c.url, "psm_count", "3") == c.expected);
    }
    CHECK(APMURLByAppendingQueryItem("https://s.test/q", "debug_psm_key", "a b&c") ==
          "https://s.test/q?debug_psm_key=a%20b%26c");
}

namespace {

// A client library whose query has no query part of its own.
class BareClient : public platform::RuntimeObject {
public:
    explicit BareClient(std::string url) : url_(std::move(url)) {}
    bool respondsToSelector(const std::string& selector) const override {
        return selector == "PSMRequestURLWithRetryCount:" || selector == "inputType";
    }
    Value performSelector(const std::string& selector) override { return selector == "inputType" ? Value(1) : Value(); }
    Value performSelectorWithArguments(const std::string&, const Value::Array&) override { return Value(url_); }

private:
    std::string url_;
};

class BareClientClass : public platform::RuntimeObject {
public:
    explicit BareClientClass(std::string url) : url_(std::move(url)) {}
    bool respondsToSelector(const std::string& selector) const override {
        return selector == "initWithEmailAddress:appID:";
    }
    std::shared_ptr<platform::RuntimeObject> performObjectSelectorWithArguments(const std::string&,
                                                                                const Value::Array&) override {
        return std::make_shared<BareClient>(url_);
    }

private:
    std::string url_;
};

}  // namespace

TEST_CASE("a client address without a query gets one") {
    Conversion t(false);
    auto& f = t.f;
    platform::ClassRegistry::registerClass("APMPrivateSetMembershipClient",
                                           std::make_shared<BareClientClass>(f.server.url("/bare")));
    f.server.answer("/bare", reply(204));
    t.start({{"email_address", "jane@example.com"}});
    REQUIRE(f.completeRequest());
    const auto requests = f.requestsTo("/bare");
    REQUIRE(requests.size() == 1);
    CHECK(requests[0].query == "psm_count=0");
}

TEST_CASE("answers: a match, no match, and failures with their retries") {
    Conversion t;
    auto& f = t.f;
    const Value::Dictionary email{{"email_address", "jane@example.com"}};

    SUBCASE("a match is stored and reported as a real-time \"_fx\"") {
        f.server.answer(kQueryPath, reply(200, R"({"value": "campaign-7"})"));
        t.start(email);
        REQUIRE(f.completeRequest());
        CHECK(t.codes() == std::vector<long>{23225, 23229});
        const auto value = f.property("_psmvalue");
        REQUIRE(value);
        CHECK(value->value() == APMValue(std::string("campaign-7")));
        CHECK(value->origin() == "auto");
        CHECK(value->lastSetTimestamp() == f.time.now());
        CHECK(t.count("_psmcount") == 1);
        REQUIRE(f.host->writtenEvents.size() == 1);
        const auto& event = f.host->writtenEvents[0];
        CHECK(event.name() == "_fx");
        CHECK(event.origin() == "auto");
        CHECK_FALSE(event.isPublic());
        CHECK(event.isRealtime());
        CHECK(event.previousTimestamp() == 0);
        REQUIRE(event.parameter("_fxs"));
        CHECK(*event.parameter("_fxs") == APMValue(std::string("psm")));
        CHECK_FALSE(t.conversion->privateSetMembershipClient());
        CHECK_FALSE(t.conversion->isPSMRequestInProgress());
        CHECK(f.host->scheduleUpdates == 1);
        CHECK_FALSE(f.host->isNetworkRequestPending());
        // A later start finds the match.
        t.start(email);
        CHECK(t.codes().back() == kAPMPSMExistingMatchCode);
    }
    SUBCASE("answered without a match: counted, ended, no retry") {
        const struct {
            int status;
            const char* body;
        } cases[] = {{200, R"({"value": ""})"}, {204, ""}, {304, "{}"}, {200, "not json"}};
        int n = 0;
        for (const auto& c : cases) {
            CAPTURE(c.status);
            f.server.enqueue(reply(c.status, c.body));
            f.onWorker([&] { t.conversion->resetPSMCounts(); });
            t.start(email);
            REQUIRE(f.completeRequest());
            CHECK(t.codes().back() == kAPMPSMNoMatchCode);
            CHECK(t.count("_psmcount") == ++n);
            CHECK_FALSE(f.property("_psmvalue"));
            CHECK_FALSE(t.conversion->PSMRetryTime());
            CHECK_FALSE(t.conversion->privateSetMembershipClient());
        }
        CHECK(f.host->writtenEvents.empty());
    }
    SUBCASE("the retry ladder: 300, 600, 1200, 2400 s, and the fifth failure stops") {
        f.server.answer(kQueryPath, reply(500));
        t.start(email);
        REQUIRE(f.completeRequest());
        const double expected[] = {300, 600, 1200, 2400};
        for (double delay : expected) {
            CAPTURE(delay);
            const auto failedAt = f.time.now();
            CHECK(t.codes().back() == kAPMPSMQueryFailedCode);
            REQUIRE(t.conversion->PSMRetryTime());
            CHECK(*t.conversion->PSMRetryTime() - failedAt == doctest::Approx(delay));
            CHECK(t.conversion->privateSetMembershipClient());
            f.time.advance(delay);
            REQUIRE(f.completeRequest());
        }
        CHECK(t.queries().size() == 5);
        CHECK(t.codes().back() == kAPMPSMRetryLimitReachedCode);
        CHECK(t.count("_psmcount") == 5);
        CHECK_FALSE(t.conversion->PSMRetryTime());
        // The client goes at the limit; this run takes no more starts.
        CHECK_FALSE(t.conversion->privateSetMembershipClient());
        t.start(email);
        CHECK(t.codes().back() == kAPMPSMRetryLimitCode);
        // The retries a query carried, as the client was asked for them.
        CHECK(PrivateSetMembership::queryRetryCounts() == std::vector<std::int64_t>{0, 1, 2, 3, 4});
    }
    SUBCASE("a transport failure retries like an error status") {
        PrivateSetMembership::setServiceBaseURL("http://127.0.0.1:1");
        t.start(email);
        REQUIRE(f.completeRequest());
        const auto failures = f.capture.entriesWithCode(kAPMPSMQueryFailedCode);
        REQUIRE(failures.size() == 1);
        CHECK(failures[0].level == kAPMMonitorLevelError);
        CHECK(failures[0].contexts[0] == Value(0));
        CHECK(t.conversion->PSMRetryTime());
    }
    SUBCASE("the server's retry settings") {
        f.configure(config_test::ConfigBuilder()
                        .setting("measurement.psm_retry_count", "2")
                        .setting("measurement.psm_retry_interval", "30"));
        f.server.answer(kQueryPath, reply(503));
        t.start(email);
        REQUIRE(f.completeRequest());
        CHECK(*t.conversion->PSMRetryTime() - f.time.now() == doctest::Approx(30));
        f.time.advance(30);
        REQUIRE(f.completeRequest());
        CHECK(t.codes().back() == kAPMPSMRetryLimitReachedCode);
        CHECK(t.queries().size() == 2);
    }
}

TEST_CASE("a call whose checks all fail leaves the request waiting for its retry alone") {
    Conversion t;
    auto& f = t.f;
    f.server.answer(kQueryPath, reply(500));
    t.start({{"email_address", "jane@example.com"}});
    REQUIRE(f.completeRequest());
    REQUIRE(t.conversion->PSMRetryCount() == 1);
    const auto retryAt = t.conversion->PSMRetryTime();
    REQUIRE(retryAt);

    SUBCASE("an empty e-mail address restarts nothing") {
        t.start({{"email_address", ""}});
        CHECK(t.codes().back() == kAPMPSMEmptyEmailCode);
        CHECK(t.conversion->PSMRetryCount() == 1);
        CHECK(t.conversion->PSMStartCount() == 1);
        CHECK(t.conversion->PSMRetryTime() == retryAt);
        CHECK(t.queries().size() == 1);
    }
    SUBCASE("later inputs wait while the earlier client is held") {
        t.start({{"phone_number", "+4915112345678"}});
        CHECK(t.queries().size() == 1);
        CHECK(t.conversion->PSMStartCount() == 1);
        CHECK(t.conversion->privateSetMembershipClient()->inputType() == 1);
    }
    SUBCASE("a new e-mail address replaces the held client and starts afresh") {
        f.server.answer(kQueryPath, reply(204));
        t.start({{"email_address", "joe@example.com"}});
        REQUIRE(f.completeRequest());
        CHECK(t.queries().size() == 2);
        CHECK(t.conversion->PSMStartCount() == 2);
        CHECK_FALSE(t.conversion->PSMRetryTime());
    }
    SUBCASE("released at the limit, a wiped run takes another input") {
        f.configure(config_test::ConfigBuilder().setting("measurement.psm_retry_count", "2"));
        f.time.advance(300);
        REQUIRE(f.completeRequest());
        REQUIRE(t.codes().back() == kAPMPSMRetryLimitReachedCode);
        f.onWorker([&] { t.conversion->resetPSMCounts(); });
        f.server.answer(kQueryPath, reply(204));
        t.start({{"phone_number", "+4915112345678"}});
        REQUIRE(f.completeRequest());
        CHECK(t.queryItems(2)["type"] == "2");
    }
}

TEST_CASE("waiting for the network, and queries that cannot be made") {
    Conversion t;
    auto& f = t.f;
    f.server.answer(kQueryPath, reply(204));

    SUBCASE("an upload under way postpones the query until the upload hands it back") {
        f.host->uploading = true;
        t.start({{"email_address", "jane@example.com"}});
        CHECK(t.codes() == std::vector<long>{23232, 23225});
        CHECK(t.conversion->isPSMRequestPostponed());
        CHECK(t.queries().empty());
        f.host->uploading = false;
        bool waiting = false;
        f.onWorker([&] {
            waiting = t.conversion->takePostponedPSMRequest();
            if (waiting) t.conversion->retrievePSMResponse();
        });
        CHECK(waiting);
        REQUIRE(f.completeRequest());
        CHECK(t.queries().size() == 1);
        CHECK_FALSE(t.conversion->isPSMRequestPostponed());
        f.onWorker([&] { CHECK_FALSE(t.conversion->takePostponedPSMRequest()); });
    }
    SUBCASE("no query address: the attempt ends, and later input is taken") {
        PrivateSetMembership::setServiceBaseURL(std::nullopt);
        t.start({{"email_address", "jane@example.com"}});
        CHECK(t.codes() == std::vector<long>{23227, 23225});
        CHECK_FALSE(t.conversion->privateSetMembershipClient());
        CHECK_FALSE(t.conversion->PSMRetryTime());
        PrivateSetMembership::setServiceBaseURL(f.server.url(""));
        t.start({{"phone_number", "+4915112345678"}});
        REQUIRE(f.completeRequest());
        CHECK(t.queries().size() == 1);
    }
    SUBCASE("the timeout and session of the engine's requests") {
        f.configure(config_test::ConfigBuilder().setting("measurement.network.network_timeout", "45"));
        t.start({{"email_address", "jane@example.com"}});
        CHECK(f.network->timeoutInterval() == 45);
        REQUIRE(f.completeRequest());
    }
    SUBCASE("a reply after the component has gone reaches nothing") {
        f.server.answer(kQueryPath, [] {
            auto held = reply(200, R"({"value": "late"})");
            held.hold = true;
            return held;
        }());
        t.start({{"email_address", "jane@example.com"}});
        REQUIRE(f.server.waitForHeld(1, 20));
        t.conversion.reset();
        f.server.release();
        CHECK(f.completeRequest());
        CHECK_FALSE(f.property("_psmvalue"));
        CHECK_FALSE(f.property("_psmcount"));
    }
}

TEST_CASE("start-up: the dependency note and the expiry of a match") {
    SUBCASE("linked, or not linked with counts stored") {
        const struct {
            bool linked;
            const char* stored;
            std::vector<long> codes;
        } cases[] = {
            {true, nullptr, {23253}},
            {false, "_psmcount", {23254}},
            {false, "_psmcountph", {23254}},
            {false, "_psmcounth", {}},
            {false, nullptr, {}},
        };
        for (const auto& c : cases) {
            Conversion t(c.linked);
            if (c.stored) t.f.storeProperty(c.stored, APMValue(std::int64_t{1}), t.f.time.now());
            t.f.onWorker([&] { t.conversion->checkPSMDependencyOnWorkerQueue(); });
            CHECK(t.codes() == c.codes);
        }
    }
    SUBCASE("a match 90 days old goes with every count") {
        const struct {
            double age;
            bool removed;
        } cases[] = {{90 * kDay, true}, {90 * kDay - 1, false}, {-90 * kDay, true}, {0, false}};
        for (const auto& c : cases) {
            CAPTURE(c.age);
            Conversion t;
            auto& f = t.f;
            const double now = f.time.now();
            f.storeProperty("_psmvalue", APMValue(std::string("m")), now - c.age);
            for (const char* count : {"_psmcount", "_psmcountph", "_psmcounth"}) {
                f.storeProperty(count, APMValue(std::int64_t{2}), now - c.age);
            }
            f.storeProperty("_other", APMValue(std::int64_t{2}), now - c.age);
            f.onWorker([&] { t.conversion->maybeDeleteExpiredPSMValueOnWorkerQueue(); });
            for (const char* name : {"_psmvalue", "_psmcount", "_psmcountph", "_psmcounth"}) {
                CAPTURE(name);
                CHECK(f.property(name).has_value() == !c.removed);
            }
            CHECK(f.property("_other"));
        }
    }
    SUBCASE("counts without a match stay") {
        Conversion t;
        t.f.storeProperty("_psmcount", APMValue(std::int64_t{2}), t.f.time.now() - 200 * kDay);
        t.f.onWorker([&] { t.conversion->maybeDeleteExpiredPSMValueOnWorkerQueue(); });
        CHECK(t.f.property("_psmcount"));
    }
}

TEST_CASE("user data handed over from another queue arrives on the worker queue") {
    Conversion t;
    t.f.server.answer(kQueryPath, reply(204));
    t.conversion->setUserData({{"email_address", "jane@example.com"}});
    CHECK_FALSE(t.conversion->privateSetMembershipClient());
    t.f.time.settle();
    CHECK(t.f.host->blockIDs == std::vector<std::string>{"APMMeasurement:3190"});
    REQUIRE(t.f.completeRequest());
    CHECK(t.queries().size() == 1);
    CHECK_FALSE(t.f.capture.hasCode(kAPMSchedulerNotOnBackgroundThreadCode));
}
