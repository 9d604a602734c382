// Tests of the deferred deep link: when it is asked for, the request's address, the replies of the loopback service and the hand-off to the application.
#include <doctest/doctest.h>

#include <cstdlib>

#include "measurement/foundation/environment.h"
#include "measurement/upload/attribution/attribution_test_support.h"
#include "measurement/upload/attribution/link_url.h"
#include "platform/foundation/process_info.h"
#include "testsupport/loopback_server.h"
#include "testsupport/scoped_launch_options.h"

using namespace attribution_test;
using platform::Value;

namespace {

testsupport::ScriptedResponse reply(int status, const std::string& body = {}) {
    testsupport::ScriptedResponse response;
    response.status = status;
    response.body = body;
    response.contentType = "application/json";
    return response;
}

// Asks for the deferred link and runs its reply on the worker queue.
void requestAndComplete(LinksFixture& f, testsupport::LoopbackServer& server) {
    const auto before = server.requestCount();
    f.onWorker([](APMDeepLinks& links) { links.requestDeferredDeepLink(); });
    REQUIRE(server.waitForRequests(before + 1, 20));
    REQUIRE(f.completeRequest(20));
}

}  // namespace

TEST_CASE("whether the deferred deep link may be asked for") {
    const struct {
        const char* name;
        bool plistSwitch;
        const char* serverFlag;
        std::optional<Value> complete;
        std::int64_t retries;
        bool adStorageDenied;
        bool hasLAT;
        bool advertisingID;  // limited ad tracking off
        bool allowed;
        long code;
    } cases[] = {
        {"everything in place", true, nullptr, std::nullopt, 0, false, true, true, true, kAPMDeferredDeepLinkEnabledCode},
        {"the server switched it off", true, "false", std::nullopt, 0, false, true, true, false,
         kAPMDeferredDeepLinkDisabledCode},
        {"the application did not switch it on", false, nullptr, std::nullopt, 0, false, true, true, false, 0},
        {"already answered", true, nullptr, Value(0), 0, false, true, true, false,
         kAPMDeferredDeepLinkAlreadyRetrievedCode},
        {"the retry limit reached", true, nullptr, std::nullopt, 5, false, true, true, false,
         kAPMDeferredDeepLinkRetryLimitCode},
        {"ad storage denied", true, nullptr, std::nullopt, 4, true, true, true, false,
         kAPMDeferredDeepLinkAdStorageDeniedCode},
        {"no advertising framework", true, nullptr, std::nullopt, 0, false, false, true, false,
         kAPMDeferredDeepLinkNoIDFACode},
        {"limited ad tracking on", true, nullptr, std::nullopt, 0, false, true, false, false,
         kAPMDeferredDeepLinkNoIDFACode},
    };
    for (const auto& c : cases) {
        CAPTURE(std::string(c.name));
        LinksFixture f(c.plistSwitch ? deferredLinkBundle() : identity_test::BundleFiles{});
        if (c.serverFlag) f.configure({{"measurement.ddl.enabled", c.serverFlag}});
        if (c.complete) f.persisted().setDeferredDeepLinkRetrievalComplete(*c.complete);
        f.persisted().setDeferredDeepLinkRetryCount(c.retries);
        if (c.adStorageDenied) f.setConsent({{"ad_storage", "denied"}});
        f.support()->hasLAT = c.hasLAT;
        f.support()->lat = !c.advertisingID;
        bool allowed = false;
        f.onWorker([&](APMDeepLinks& links) { allowed = links.shouldAllowRequestDeferredDeepLink(); });
        CHECK(allowed == c.allowed);
        if (c.code) CHECK(f.monitor().hasCode(c.code));
        // Reaching the limit ends the requests for good.
        CHECK(f.persisted().deferredDeepLinkRetrievalComplete() ==
              (c.code == kAPMDeferredDeepLinkRetryLimitCode ? std::optional<Value>(1) : c.complete));
    }
}

TEST_CASE("the deferred request's address for a known state") {
    testsupport::ScopedLaunchOptions address([](platform::LaunchOptions& o) { o.deepLinkServiceURL = "http://127.0.0.1:9/"; });
    SUBCASE("the query for each consent and region") {
        const std::string base = "http://127.0.0.1:9/pagead/conversion/app/deeplink?sdk_version=110100&rdid=" +
                                 std::string(identity_test::kAdvertisingID) +
                                 "&id_type=idfa&bundleid=com.example.identity&retry=2";
        // A configuration for the fixture's application.
        auto builder = [] { return config_test::ConfigBuilder(identity_test::kMeasurementAppID); };
        const struct {
            const char* name;
            config_test::ConfigBuilder config;
            APMConsentSettingsUtil::Settings consent;
            bool debugArgument;
            std::string query;
        } cases[] = {
            {"no consent set", builder(), {}, false, "&gcs=G1--&dma=0"},
            {"storage set, personalisation denied, debug launch", builder(),
             {{"ad_storage", "granted"}, {"analytics_storage", "denied"}, {"ad_personalization", "denied"}}, true,
             "&ddl_test=1&gcs=G110&dma=0&npa=1"},
            {"a DMA region with its services, sorted and joined",
             builder().dmaRegion(true).corePlatformServices({"zeta", "alpha", "mid"}),
             {{"ad_personalization", "granted"}}, false, "&gcs=G1--&dma=1&dma_cps=alphamidzeta&npa=0"},
            {"services outside a DMA region are not sent", builder().corePlatformServices({"alpha"}), {}, false,
             "&gcs=G1--&dma=0"},
            {"ad user data denied", builder().dmaRegion(true).corePlatformServices({"alpha"}),
             {{"ad_user_data", "denied"}}, false, "&gcs=G1--&dma=1&dma_cps=-"},
            {"DMA consent off: no consent parameters",
             builder().setting("measurement.upload.dma_consent_enabled", "false"), {{"ad_storage", "granted"}},
             false, ""},
        };
        for (const auto& c : cases) {
            CAPTURE(std::string(c.name));
            LinksFixture f(deferredLinkBundle());
            f.configure(c.config);
            if (!c.consent.empty()) f.setConsent(c.consent);
            f.persisted().setDeferredDeepLinkRetryCount(2);
            if (c.debugArgument) platform::ProcessInfo::setArguments({"velmora", "-DebugDeferredDeepLink"});
            std::optional<std::string> url;
            f.onWorker([&](APMDeepLinks& links) { url = links.deferredDeepLinkRequestURL(); });
            CHECK(url == base + c.query);
        }
    }
    SUBCASE("every value is escaped") {
        identity_test::BundleFiles files = deferredLinkBundle();
        files.info["CFBundleIdentifier"] = "com.example.a b&c=d";
        LinksFixture f(files);
        f.support()->idfa = "ID+/?#";
        std::optional<std::string> url;
        f.onWorker([&](APMDeepLinks& links) { url = links.deferredDeepLinkRequestURL(); });
        REQUIRE(url);
        CHECK(url->find("&rdid=ID%2B%2F%3F%23&id_type=idfa&bundleid=com.example.a%20b%26c%3Dd&retry=0") !=
              std::string::npos);
    }
    SUBCASE("no advertising identifier, or ad storage denied since it was allowed: no request") {
        for (bool denied : {false, true}) {
            LinksFixture f(deferredLinkBundle());
            platform::ProcessInfo::setOSVersion("13.7");
            if (denied) {
                f.setConsent({{"ad_storage", "denied"}});
            } else {
                f.support()->idfa.reset();
            }
            std::optional<std::string> url = "unset";
            f.onWorker([&](APMDeepLinks& links) { url = links.deferredDeepLinkRequestURL(); });
            CHECK_FALSE(url);
            CHECK(f.monitor().hasCode(denied ? kAPMDeferredDeepLinkAdStorageDeniedCode : kAPMDeferredDeepLinkNoIDFACode));
        }
    }
}

TEST_CASE("the deferred reply from the service") {
    testsupport::LoopbackServer server;
    testsupport::ScopedLaunchOptions address([&](platform::LaunchOptions& o) { o.deepLinkServiceURL = server.url(""); });

    SUBCASE("200 with a link: the delegate gets it with the reply's timestamp, then the campaign event") {
        LinksFixture f(deferredLinkBundle());
        f.persisted().setDeferredDeepLinkRetryCount(1);
        server.enqueue(reply(200, R"({"deeplink":"bern://solve?k=2&utm_campaign=c1","gclid":"G7","gbraid":"B7",)"
                                  R"("timestamp":1699990000})"));
        requestAndComplete(f, server);
        const auto request = server.requests().back();
        CHECK(request.method == "GET");
        CHECK(request.path == "/pagead/conversion/app/deeplink");
        CHECK(request.query.find("retry=1") != std::string::npos);
        CHECK(f.persisted().deferredDeepLinkRetrievalComplete() == Value(0));
        CHECK(f.monitor().hasCode(kAPMDeferredDeepLinkRetrievedCode));
        REQUIRE(f.delegateRequests.size() == 1);
        CHECK(f.delegateRequests[0].first == "bern://solve?k=2&utm_campaign=c1");
        CHECK(f.delegateRequests[0].second == Value::Dictionary{{"timestamp", 1699990000}});
        REQUIRE(f.host->events.size() == 1);
        const auto& event = f.host->events[0];
        CHECK(event.name() == "_cmp");
        CHECK(event.parameter("campaign")->stringValue() == "c1");
        CHECK(event.parameter("_cis")->stringValue() == "ddp");
        CHECK(event.parameter("gclid")->stringValue() == "G7");
        CHECK(event.parameter("gbraid")->stringValue() == "B7");
        CHECK_FALSE(event.parameter("timestamp"));
        CHECK(event.timestamp() == f.time().now());
        CHECK(f.host->blockIDs == std::vector<std::string>{"APMMeasurement:368"});
    }
    SUBCASE("a delegate that refuses the link: no event") {
        LinksFixture f(deferredLinkBundle());
        f.delegateTakes = false;
        server.enqueue(reply(200, R"({"deeplink":"bern://solve?utm_source=x"})"));
        requestAndComplete(f, server);
        CHECK(f.delegateRequests.size() == 1);
        CHECK(f.delegateRequests[0].second.empty());
        CHECK(f.host->events.empty());
        CHECK(f.monitor().hasCode(kAPMDeferredDeepLinkNotHandledCode));
    }
    SUBCASE("204 without a body: retrieval complete, no link, no retry") {
        LinksFixture f(deferredLinkBundle());
        server.enqueue(reply(204));
        requestAndComplete(f, server);
        CHECK(f.persisted().deferredDeepLinkRetrievalComplete() == Value(0));
        CHECK(f.persisted().deferredDeepLinkRetryCount() == 0);
        CHECK(f.delegateRequests.empty());
        CHECK(f.monitor().hasCode(kAPMDeferredDeepLinkEmptyResponseCode));
        CHECK(f.host->scheduleUpdates == 1);
    }
    SUBCASE("500: one retry more, and the next start may ask again") {
        LinksFixture f(deferredLinkBundle());
        f.persisted().setDeferredDeepLinkRetryCount(3);
        server.enqueue(reply(500));
        requestAndComplete(f, server);
        CHECK_FALSE(f.persisted().deferredDeepLinkRetrievalComplete());
        CHECK(f.persisted().deferredDeepLinkRetryCount() == 4);
        const auto failures = f.monitor().entriesWithCode(kAPMDeferredDeepLinkFailedCode);
        REQUIRE(failures.size() == 1);
        CHECK(failures[0].contexts[0] == Value(500));
        CHECK(f.host->scheduleUpdates == 1);
        CHECK_FALSE(f.host->pending);
        bool allowed = false;
        f.onWorker([&](APMDeepLinks& links) { allowed = links.shouldAllowRequestDeferredDeepLink(); });
        CHECK(allowed);
    }
    SUBCASE("replies that hold no link") {
        const struct {
            const char* body;
            long code;
        } cases[] = {
            {"{not json", kAPMDeferredDeepLinkParseFailedCode},
            {R"({"deeplink":"not a url"})", 0},
            {R"({"deeplink":7})", 0},
            {R"(["bern://x"])", 0},
        };
        for (const auto& c : cases) {
            CAPTURE(std::string(c.body));
            LinksFixture f(deferredLinkBundle());
            server.enqueue(reply(200, c.body));
            requestAndComplete(f, server);
            CHECK(f.persisted().deferredDeepLinkRetrievalComplete() == Value(0));
            CHECK(f.delegateRequests.empty());
            CHECK(f.host->scheduleUpdates == 1);
            if (c.code) CHECK(f.monitor().hasCode(c.code));
        }
    }
}

TEST_CASE("links as libcurl reads them") {
    const struct {
        const char* text;
        bool url;
        const char* query;
    } cases[] = {
        {"bern://solve?k=2&utm_source=a", true, "k=2&utm_source=a"},
        {"https://example.org/p#frag", true, ""},
        {"https://example.org/p?x=1#frag", true, "x=1"},
        {"not a url", false, ""},
        {"(not set)", false, ""},
        {"", false, ""},
    };
    for (const auto& c : cases) {
        CAPTURE(std::string(c.text));
        const auto parsed = APMParseLinkURL(c.text);
        CHECK(parsed.has_value() == c.url);
        if (parsed) CHECK(parsed->query == c.query);
    }
    CHECK(APMEscapeQueryValue("a-Z_0.~ +/&=%") == "a-Z_0.~%20%2B%2F%26%3D%25");
}
