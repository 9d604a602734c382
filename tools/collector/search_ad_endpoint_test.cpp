// Tests of the collector answering attribution tokens, and of the search-ad reporter against it.
#include <doctest/doctest.h>

#include <condition_variable>
#include <mutex>
#include <sstream>

#include "measurement/audience/search_ad_reporter.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/http_client.h"
#include "platform/frameworks/ad_services/aa_attribution.h"
#include "testsupport/file_text.h"
#include "testsupport/temp_dir.h"
#include "tools/collector/collector_service.h"

using tools::collector::CollectorOptions;
using tools::collector::CollectorService;

namespace {

platform::HTTPResponse postToken(int port, const std::string& token) {
    platform::HTTPRequest request;
    request.method = "POST";
    request.url = "http://127.0.0.1:" + std::to_string(port) + "/api/v1/";
    request.headers = {{"Content-Type", "text/plain"}};
    request.body.assign(token.begin(), token.end());
    request.timeoutSeconds = 10;
    auto response = platform::CurlHTTPClient().send(request);
    REQUIRE_FALSE(response.failed());
    return response;
}

}  // namespace

TEST_CASE("the collector answers attribution tokens with the reply of a file") {
    testsupport::TempDir dir;
    const auto file = dir / "search-ad.json";
    const std::string document = R"({"attribution": true, "campaignId": 42, "adId": 7})";
    testsupport::writeText(file, document);
    CollectorOptions options;
    options.searchAdReplyPath = file;
    std::ostringstream out;
    CollectorService service(options, out);
    const int port = service.start();

    auto response = postToken(port, "aat-1-abc");
    CHECK(response.statusCode == 200);
    CHECK(std::string(response.body.begin(), response.body.end()) == document);
    CHECK(postToken(port, "").statusCode == 400);
    service.stop();
    const std::string printed = out.str();
    CHECK(printed.find("POST /api/v1/: 200, attribution true, campaignId 42, adId 7\n  token aat-1-abc\n") !=
          std::string::npos);
    CHECK(printed.find("POST /api/v1/: 400, no attribution token\n") != std::string::npos);
}

TEST_CASE("without a reply file the attribution path answers 404; one unreadable or no JSON object is refused at start") {
    std::ostringstream out;
    {
        CollectorService service(CollectorOptions{}, out);
        CHECK(postToken(service.start(), "t").statusCode == 404);
    }
    CollectorOptions options;
    options.searchAdReplyPath = "/nonexistent/search-ad.json";
    CHECK_THROWS_AS(CollectorService(options, out), std::invalid_argument);
    // Nor is JSON that is no object: no reply the engine could read.
    testsupport::TempDir dir;
    options.searchAdReplyPath = dir / "search-ad.json";
    testsupport::writeText(*options.searchAdReplyPath, "[true]");
    CHECK_THROWS_WITH_AS(CollectorService(options, out), doctest::Contains("not a JSON object"), std::invalid_argument);
}

TEST_CASE("the search-ad reporter posts its token to the collector and logs _cmp from its reply") {
    testsupport::TempDir dir;
    const auto file = dir / "search-ad.json";
    testsupport::writeText(file, R"({"attribution": true, "campaignId": 42, "keywordId": "k7"})");
    CollectorOptions collectorOptions;
    collectorOptions.searchAdReplyPath = file;
    std::ostringstream out;
    CollectorService service(collectorOptions, out);
    const int port = service.start();

    platform::AAAttribution::reset();
    auto settings = std::make_shared<measurement::APMPersistedConfig>(dir / "settings.plist");
    settings->setFirstOpenTimestampMilliseconds(5000);
    std::mutex mutex;
    std::condition_variable logged;
    std::optional<platform::Value::Dictionary> event;
    measurement::APMSearchAdReporterOptions options;
    options.serviceBaseURL = "http://127.0.0.1:" + std::to_string(port);
    options.transport = measurement::APMMakeSearchAdNetworkTransport(
        std::make_shared<platform::RULNetwork>("127.0.0.1"));
    options.logInternalEvent = [&](const std::string&, const std::string& name, const platform::Value::Dictionary& p) {
        std::lock_guard lock(mutex);
        if (name == "_cmp") event = p;
        logged.notify_all();
    };
    auto worker = platform::dispatch::makeSerialQueue("worker");
    auto reporter = measurement::APMSearchAdReporter::make(worker, settings, options);
    REQUIRE(reporter);
    worker->sync([&] {
        reporter->setSearchAdReporterEnabled(true);
        reporter->start();
    });
    {
        std::unique_lock lock(mutex);
        logged.wait_for(lock, std::chrono::seconds(20), [&] { return event.has_value(); });
    }
    REQUIRE(event);
    CHECK(*event == platform::Value::Dictionary{{"source", "Apple"}, {"medium", "search"}, {"campaign", "42"},
                                                {"term", "k7"}, {"click_timestamp", 4999}});
    worker->sync([&] { reporter.reset(); });
    CHECK(settings->searchAdCampaignValue() == platform::Value(true));
    platform::AAAttribution::reset();
}
