// Tests of the search-ad reporter over simulated days and the service's replies.
#include <doctest/doctest.h>

#include <deque>

#include "measurement/audience/search_ad_reporter.h"
#include "measurement/foundation/monitor.h"
#include "platform/dispatch/timer.h"
#include "platform/foundation/process_info.h"
#include "platform/frameworks/ad_services/aa_attribution.h"
#include "testsupport/temp_dir.h"

using namespace measurement;
using platform::AAAttribution;

namespace {

constexpr double kDay = 86400;

APMSearchAdReply reply(int status, const std::string& body) {
    APMSearchAdReply r;
    r.statusCode = status;
    r.body.assign(body.begin(), body.end());
    return r;
}

APMSearchAdReply transportFailure() {
    APMSearchAdReply r;
    r.transportError = "cannot connect";
    return r;
}

// Answers each request from a script (a failure once it runs out), at
// once, or keeps the completion for the test to call.
struct ScriptedService : APMSearchAdTransport {
    std::deque<APMSearchAdReply> script;
    bool hold = false;
    std::vector<platform::HTTPRequest> requests;
    std::vector<double> requestTimes;
    std::vector<std::function<void(APMSearchAdReply)>> held;

    void send(const platform::HTTPRequest& request, std::function<void(APMSearchAdReply)> completion) override {
        requests.push_back(request);
        requestTimes.push_back(platform::dispatch::currentClock()->now());
        if (hold) {
            held.push_back(std::move(completion));
            return;
        }
        APMSearchAdReply next = reply(500, "");
        if (!script.empty()) {
            next = script.front();
            script.pop_front();
        }
        completion(next);
    }
};

struct Fixture {
    Fixture() {
        AAAttribution::reset();
        platform::ProcessInfo::reset();
        settings = std::make_shared<APMPersistedConfig>(dir.path() / "settings.plist");
        settings->setFirstOpenTimestampMilliseconds(1700000000000);
    }
    ~Fixture() {
        reporter.reset();
        time.settle();
        AAAttribution::reset();
        platform::ProcessInfo::reset();
    }

    APMSearchAdReporterOptions options() {
        APMSearchAdReporterOptions o;
        o.serviceBaseURL = serviceBaseURL;
        o.transport = service;
        o.logInternalEvent = [this](const std::string& origin, const std::string& name,
                                    const platform::Value::Dictionary& parameters) {
            logged.push_back({origin, name, parameters});
        };
        return o;
    }
    std::shared_ptr<APMSearchAdReporter> make() { return APMSearchAdReporter::make(worker, settings, options()); }
    // Made, enabled and started at the time of the call, as the engine does.
    void start() {
        reporter = make();
        REQUIRE(reporter);
        worker->sync([&] {
            reporter->setSearchAdReporterEnabled(true);
            reporter->start();
        });
        time.settle();
    }

    struct Logged {
        std::string origin;
        std::string name;
        platform::Value::Dictionary parameters;
    };

    std::string serviceBaseURL = "http://127.0.0.1:1";
    platform::dispatch::ManualTime time;
    testsupport::TempDir dir;
    std::shared_ptr<platform::dispatch::Queue> worker = platform::dispatch::makeSerialQueue("worker");
    std::shared_ptr<APMPersistedConfig> settings;
    std::shared_ptr<ScriptedService> service = std::make_shared<ScriptedService>();
    std::shared_ptr<APMSearchAdReporter> reporter;
    std::vector<Logged> logged;
    APMMonitorCapture capture;
};

}  // namespace

TEST_CASE("the token goes to the service's path beneath its address, given with or without a trailing slash") {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"http://127.0.0.1:1", "http://127.0.0.1:1/api/v1/"},
        {"http://127.0.0.1:1/", "http://127.0.0.1:1/api/v1/"},
        {"http://127.0.0.1:1//", "http://127.0.0.1:1/api/v1/"},
        {"http://127.0.0.1:1/attribution/", "http://127.0.0.1:1/attribution/api/v1/"},
    };
    for (const auto& row : cases) {
        const std::string& base = row.first;
        CAPTURE(base);
        Fixture f;
        f.serviceBaseURL = base;
        f.start();
        REQUIRE(f.service->requests.size() == 1);
        CHECK(f.service->requests[0].url == row.second);
    }
}

TEST_CASE("the search-ad schedule: a try at once, then one a day, ten in all; then no reporter is made") {
    Fixture f;
    const double start = f.time.now();
    f.start();
    REQUIRE(f.service->requests.size() == 1);
    const auto& request = f.service->requests[0];
    CHECK(request.method == "POST");
    CHECK(request.url == "http://127.0.0.1:1/api/v1/");
    CHECK(request.headers.at("Content-Type") == "text/plain");
    CHECK(request.headers.at("cache-control") == "no-cache");
    CHECK(request.timeoutSeconds == 10);
    CHECK(std::string(request.body.begin(), request.body.end()).rfind("aat-", 0) == 0);
    CHECK(f.reporter->scheduledTimestamp() == start + kDay);

    f.time.advance(kDay - 1);
    CHECK(f.service->requests.size() == 1);
    f.time.advance(20 * kDay);
    REQUIRE(f.service->requests.size() == 10);
    for (std::size_t i = 0; i < 10; ++i) CHECK(f.service->requestTimes[i] == start + static_cast<double>(i) * kDay);
    CHECK(f.settings->searchAdRetryCount() == 10);
    CHECK(f.settings->lastSearchAdLookUpTimestamp() == start + 9 * kDay);
    CHECK_FALSE(f.settings->searchAdCampaignValue());
    CHECK(f.capture.hasCode(kAPMSearchAdRetriesExceededCode));
    CHECK_FALSE(f.reporter->scheduledTimestamp());
    CHECK(f.make() == nullptr);
}

TEST_CASE("the schedule resumes one day after the last try, across launches") {
    Fixture f;
    const double start = f.time.now();
    f.start();
    f.reporter.reset();
    f.time.advance(3600);
    f.start();
    CHECK(f.service->requests.size() == 1);
    CHECK(f.reporter->scheduledTimestamp() == start + kDay);
}

TEST_CASE("the service's replies: only a 2xx JSON answer is stored; attributed installs log one _cmp") {
    struct Case {
        const char* label;
        APMSearchAdReply answer;
        std::optional<bool> stored;
        long code;
        std::optional<platform::Value::Dictionary> event;
    };
    const std::int64_t click = 1700000000000 - 1;
    const std::vector<Case> cases = {
        {"transport failure", transportFailure(), std::nullopt, kAPMSearchAdRequestFailedCode, std::nullopt},
        {"server error with an attributed body", reply(500, R"({"attribution": true, "campaignId": 1})"), std::nullopt,
         kAPMSearchAdRequestFailedCode, std::nullopt},
        {"not found", reply(404, ""), std::nullopt, kAPMSearchAdRequestFailedCode, std::nullopt},
        {"not JSON", reply(200, "attribution=true"), std::nullopt, kAPMSearchAdJSONFailedCode, std::nullopt},
        {"a JSON list", reply(200, "[1]"), std::nullopt, 0, std::nullopt},
        {"an empty object", reply(200, "{}"), std::nullopt, 0, std::nullopt},
        {"test data", reply(200, R"({"attribution": true, "adId": 1234567890, "campaignId": "1234567890"})"),
         std::nullopt, kAPMSearchAdTestDataCode, std::nullopt},
        {"not attributed", reply(200, R"({"attribution": false, "campaignId": 5})"), false, 0, std::nullopt},
        {"attributed, campaign 42, no keyword", reply(201, R"({"attribution": true, "campaignId": 42, "adId": 7})"),
         true, 0,
         platform::Value::Dictionary{{"source", "Apple"}, {"medium", "search"}, {"campaign", "42"},
                                     {"click_timestamp", click}}},
        {"attributed with a keyword", reply(200, R"({"attribution": true, "campaignId": "c9", "keywordId": 12})"), true,
         0,
         platform::Value::Dictionary{{"source", "Apple"}, {"medium", "search"}, {"campaign", "c9"}, {"term", "12"},
                                     {"click_timestamp", click}}},
    };
    for (const auto& c : cases) {
        SUBCASE(c.label) {
            Fixture f;
            const double start = f.time.now();
            f.service->script.push_back(c.answer);
            f.start();
            if (c.stored) {
                REQUIRE(f.settings->searchAdCampaignValue());
                CHECK(f.settings->searchAdCampaignValue()->boolValue() == *c.stored);
                CHECK_FALSE(f.reporter->scheduledTimestamp());
                f.time.advance(5 * kDay);
                CHECK(f.service->requests.size() == 1);
            } else {
                CHECK_FALSE(f.settings->searchAdCampaignValue());
                CHECK(f.reporter->scheduledTimestamp() == start + kDay);
            }
            if (c.code != 0) CHECK(f.capture.hasCode(c.code));
            if (c.event) {
                REQUIRE(f.logged.size() == 1);
                CHECK(f.logged[0].name == "_cmp");
                CHECK(f.logged[0].origin == "auto");
                CHECK(f.logged[0].parameters == *c.event);
            } else {
                CHECK(f.logged.empty());
            }
        }
    }
}

TEST_CASE("an attributed install without a usable first-open time logs _cmp without click_timestamp") {
    Fixture f;
    f.settings->setFirstOpenTimestampMilliseconds(1);
    f.service->script.push_back(reply(200, R"({"attribution": true, "campaignId": 3})"));
    f.start();
    REQUIRE(f.logged.size() == 1);
    CHECK_FALSE(f.logged[0].parameters.contains("click_timestamp"));
    CHECK(f.capture.hasCode(kAPMSearchAdNoClickTimestampCode));
}

TEST_CASE("while collection is off nothing is tried, and an answer arriving then is not stored") {
    SUBCASE("a pending try does not run; switching on again schedules nothing until the next start") {
        Fixture f;
        f.start();
        f.worker->sync([&] { f.reporter->setSearchAdReporterEnabled(false); });
        f.time.advance(kDay);
        CHECK(f.service->requests.size() == 1);
        CHECK(f.settings->searchAdRetryCount() == 1);
        CHECK(AAAttribution::tokenRequestCount() == 1);
        CHECK_FALSE(f.reporter->scheduledTimestamp());
        f.worker->sync([&] { f.reporter->setSearchAdReporterEnabled(true); });
        f.time.advance(3 * kDay);
        CHECK(f.service->requests.size() == 1);
    }
    SUBCASE("a reply that arrives after collection went off") {
        Fixture f;
        f.service->hold = true;
        f.start();
        REQUIRE(f.service->held.size() == 1);
        f.worker->sync([&] { f.reporter->setSearchAdReporterEnabled(false); });
        f.service->held[0](reply(200, R"({"attribution": true, "campaignId": 1})"));
        f.time.settle();
        CHECK_FALSE(f.settings->searchAdCampaignValue());
        CHECK(f.logged.empty());
        CHECK(f.make() != nullptr);
    }
}

TEST_CASE("two replies for one installation store and log once") {
    Fixture f;
    f.service->hold = true;
    f.start();
    f.worker->sync([&] { f.reporter->maybeLogIAdCampaignEvent(); });
    REQUIRE(f.service->held.size() == 2);
    for (auto& completion : f.service->held) completion(reply(200, R"({"attribution": true, "campaignId": 8})"));
    f.time.settle();
    CHECK(f.logged.size() == 1);
    CHECK(f.capture.hasCode(kAPMSearchAdAlreadyTrackedCode));
}

TEST_CASE("where the reporter does not start, and when it is not made") {
    struct Case {
        const char* label;
        std::function<void(Fixture&)> setting;
        long code;
    };
    const std::vector<Case> cases = {
        {"in a simulator", [](Fixture&) { platform::ProcessInfo::setDeviceModel("x86_64"); }, kAPMSearchAdSimulatorCode},
        {"without the attribution class", [](Fixture&) { AAAttribution::setLinked(false); },
         kAPMSearchAdFrameworkMissingCode},
        {"before operating system 14.3", [](Fixture&) { platform::ProcessInfo::setOSVersion("14.2.1"); },
         kAPMSearchAdFrameworkMissingCode},
    };
    for (const auto& c : cases) {
        SUBCASE(c.label) {
            Fixture f;
            c.setting(f);
            f.start();
            CHECK(f.capture.hasCode(c.code));
            CHECK_FALSE(f.reporter->scheduledTimestamp());
            CHECK(f.service->requests.empty());
        }
    }
    SUBCASE("a token error is logged and the try still counts") {
        Fixture f;
        AAAttribution::failNextTokenRequests(1, {3, "no token"});
        f.start();
        CHECK(f.capture.hasCode(kAPMSearchAdTokenFailedCode));
        CHECK(f.settings->searchAdRetryCount() == 1);
        CHECK(f.service->requests.empty());
        CHECK(f.reporter->scheduledTimestamp());
    }
    SUBCASE("no reporter once an answer is stored, after ten tries, or without settings or queue") {
        Fixture f;
        f.settings->setSearchAdCampaignValue(platform::Value(false));
        CHECK(f.make() == nullptr);
        CHECK(f.capture.hasCode(kAPMSearchAdAlreadyReportedAtInitCode));
        f.settings->setSearchAdCampaignValue(std::nullopt);
        f.settings->setSearchAdRetryCount(9);
        CHECK(f.make() != nullptr);
        f.settings->setSearchAdRetryCount(10);
        CHECK(f.make() == nullptr);
        CHECK(APMSearchAdReporter::make(nullptr, f.settings, f.options()) == nullptr);
        CHECK(f.capture.hasCode(kAPMSearchAdNoQueueCode));
        CHECK(APMSearchAdReporter::make(f.worker, nullptr, f.options()) == nullptr);
        CHECK(f.capture.hasCode(kAPMSearchAdNoPersistedConfigCode));
    }
}
