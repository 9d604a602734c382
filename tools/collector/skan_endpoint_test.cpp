// Tests of the collector answering conversion-value requests at /skan.
#include <doctest/doctest.h>

#include <sstream>

#include "measurement/foundation/messages.h"
#include "platform/foundation/http_client.h"
#include "platform/foundation/json_codec.h"
#include "platform/frameworks/utilities/gzip.h"
#include "testsupport/file_text.h"
#include "testsupport/temp_dir.h"
#include "tools/collector/collector_service.h"
#include "tools/collector/skan_endpoint.h"

using measurement::APMPBSkAdNetworkConversionValueRequest;
using measurement::APMPBSkAdNetworkConversionValueResponse;
using measurement::NANOFieldIndexForTag;
using tools::collector::CollectorOptions;
using tools::collector::CollectorService;
using tools::collector::SKANEndpoint;
using tools::collector::SKANRequestSummary;

namespace {

std::string hexOf(const std::string& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        if (!text.empty()) text += ' ';
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0f];
    }
    return text;
}

platform::Value json(const std::string& text) {
    auto value = platform::parseJSON(text);
    REQUIRE(value);
    return *value;
}

std::string requestBody(const std::string& instanceID, std::int64_t lastUploaded) {
    APMPBSkAdNetworkConversionValueRequest request;
    auto index = [](pb_size_t tag) { return NANOFieldIndexForTag<APMPBSkAdNetworkConversionValueRequest>(tag); };
    NANOSetInt64(request, index(nano_APMPBSkAdNetworkConversionValueRequest_library_version_tag), 110100);
    NANOSetString(request, index(nano_APMPBSkAdNetworkConversionValueRequest_app_id_tag), "com.velmora.bernoulli");
    NANOSetString(request, index(nano_APMPBSkAdNetworkConversionValueRequest_app_instance_id_tag), instanceID);
    NANOSetString(request, index(nano_APMPBSkAdNetworkConversionValueRequest_skan_version_tag), "4.0");
    NANOSetInt64(request, index(nano_APMPBSkAdNetworkConversionValueRequest_last_uploaded_event_time_millis_tag),
                 lastUploaded);
    const auto bytes = request.protoBuffer();
    return std::string(bytes.begin(), bytes.end());
}

platform::HTTPResponse postRequest(int port, const std::string& body) {
    platform::HTTPRequest request;
    request.method = "POST";
    request.url = "http://127.0.0.1:" + std::to_string(port) + "/skan";
    request.headers = {{"Accept-Encoding", "gzip"}};
    request.body.assign(body.begin(), body.end());
    request.timeoutSeconds = 10;
    auto response = platform::CurlHTTPClient().send(request);
    REQUIRE_FALSE(response.failed());
    return response;
}

}  // namespace

TEST_CASE("a reply description encodes to the service's bytes") {
    const SKANRequestSummary request{110100, "com.velmora.bernoulli", "ID", "4.0", 0, 1699999000000};
    const struct {
        const char* description;
        const char* bytes;
    } cases[] = {
        {R"({"status": 1, "label": "purchase", "fine_value": 5, "coarse_value": 2, "lock_window": true,
             "result_time_millis": 1700000600000, "event_time_millis": 1700000000000,
             "update_backoff_millis": 3600000})",
         "08 02 12 08 70 75 72 63 68 61 73 65 18 05 20 04 28 01 30 c0 9f ba ff bc 31 38 80 d0 95 ff bc 31 40 80 dd db "
         "01"},
        {R"({"status": 2})", "08 04"},
        {R"({})", ""},
        {R"({"fine_value": 4294967295})", "18 ff ff ff ff 0f"},
        {R"({"coarse_value": -1})", "20 01"},
        // Relative times: now (1700000000000) plus a minute; the request's
        // last uploaded event.
        {R"({"result_valid_seconds": 60, "event_time_from_request": true})",
         "30 e0 a4 99 ff bc 31 38 c0 cb d8 fe bc 31"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.description);
        std::string reason;
        const auto reply = SKANEndpoint::replyFor(json(c.description), request, 1700000000000, &reason);
        REQUIRE(reply);
        CHECK(reply->status == 200);
        CHECK(hexOf(reply->body) == c.bytes);
    }
}

TEST_CASE("the answer's status and compression, and descriptions that will not do") {
    const SKANRequestSummary request;
    SUBCASE("status and gzip") {
        std::string reason;
        const auto reply =
            SKANEndpoint::replyFor(json(R"({"status": 2, "http_status": 503, "gzip": true})"), request, 0, &reason);
        REQUIRE(reply);
        CHECK(reply->status == 503);
        CHECK(reply->headers.at("Content-Encoding") == "gzip");
        const auto inflated =
            platform::rul_dataByInflatingGzippedData(std::vector<std::uint8_t>(reply->body.begin(), reply->body.end()));
        REQUIRE(inflated);
        CHECK(*inflated == std::vector<std::uint8_t>{0x08, 0x04});
    }
    SUBCASE("refused descriptions name the reason") {
        const struct {
            const char* description;
            const char* reason;
        } cases[] = {
            {"[1]", "the reply must be a JSON object"},
            {R"({"fine": 5})", "unknown key \"fine\""},
            {R"({"fine_value": -1})", "\"fine_value\" must be a whole number from 0 to 4294967295"},
            {R"({"status": 1.5})", "\"status\" must be a whole number from -2147483648 to 2147483647"},
            {R"({"label": 5})", "\"label\" must be a string"},
            {R"({"gzip": "yes"})", "\"gzip\" must be true or false"},
            {R"({"http_status": 99})", "\"http_status\" must be a whole number from 200 to 599"},
        };
        for (const auto& c : cases) {
            CAPTURE(c.description);
            std::string reason;
            CHECK_FALSE(SKANEndpoint::replyFor(json(c.description), request, 0, &reason));
            CHECK(reason == c.reason);
        }
    }
}

TEST_CASE("the collector answers /skan with the reply of a file, read anew each time") {
    testsupport::TempDir dir;
    const auto file = dir / "skan.json";
    testsupport::writeText(file, R"({"status": 1, "fine_value": 5, "coarse_value": 2, "lock_window": true,
                        "result_valid_seconds": 3600, "event_time_from_request": true})");
    CollectorOptions options;
    options.skanReplyPath = file;
    std::ostringstream out;
    CollectorService service(options, out);
    const int port = service.start();

    auto response = postRequest(port, requestBody("A1B2", 1700000000000));
    CHECK(response.statusCode == 200);
    const auto reply = APMPBSkAdNetworkConversionValueResponse::initWithBuffer(response.body);
    REQUIRE(reply);
    auto index = [](pb_size_t tag) { return NANOFieldIndexForTag<APMPBSkAdNetworkConversionValueResponse>(tag); };
    CHECK(NANOGetInt32(*reply, index(nano_APMPBSkAdNetworkConversionValueResponse_status_tag)) == 1);
    CHECK(NANOGetInt32(*reply, index(nano_APMPBSkAdNetworkConversionValueResponse_fine_value_tag)) == 5);
    CHECK(NANOGetInt64(*reply, index(nano_APMPBSkAdNetworkConversionValueResponse_event_time_millis_tag)) ==
          1700000000000);

    testsupport::writeText(file, R"({"status": 2, "gzip": true})");
    response = postRequest(port, requestBody("A1B2", 1700000000000));
    CHECK(response.statusCode == 200);
    CHECK(response.headers.at("Content-Encoding") == "gzip");

    testsupport::writeText(file, R"({"status": "one"})");
    CHECK(postRequest(port, requestBody("A1B2", 0)).statusCode == 500);
    CHECK(postRequest(port, "\xff\xff").statusCode == 400);
    service.stop();
    const std::string printed = out.str();
    CHECK(printed.find("POST /skan: 200, status 1, fine 5, coarse 2, lock\n"
                       "  app com.velmora.bernoulli, instance A1B2, library 110100, version 4.0\n"
                       "  evaluated up to none, uploaded up to 2023-11-14T22:13:20.000Z\n") != std::string::npos);
    CHECK(printed.find("POST /skan: 200, status 2, gzip\n") != std::string::npos);
    CHECK(printed.find("POST /skan: 500, " + file.string() + ": \"status\" must be a whole number") !=
          std::string::npos);
    CHECK(printed.find("POST /skan: 400, not a conversion-value request\n") != std::string::npos);
}

TEST_CASE("without a reply file /skan answers 404, and a broken one is refused at start") {
    std::ostringstream out;
    {
        CollectorService service(CollectorOptions{}, out);
        CHECK(postRequest(service.start(), requestBody("", 0)).statusCode == 404);
    }
    CHECK(out.str().find("POST /skan: 404, no conversion-value reply given\n"
                         "  app com.velmora.bernoulli, instance none, library") != std::string::npos);
    testsupport::TempDir dir;
    testsupport::writeText(dir / "broken.json", R"({"fine": 1})");
    const struct {
        std::filesystem::path path;
        const char* reason;
    } cases[] = {{"/nonexistent/skan.json", "cannot be read"}, {dir / "broken.json", "unknown key \"fine\""}};
    for (const auto& c : cases) {
        CollectorOptions options;
        options.skanReplyPath = c.path;
        try {
            CollectorService service(options, out);
            FAIL("accepted");
        } catch (const std::invalid_argument& refusal) {
            CHECK(std::string(refusal.what()).find(c.reason) != std::string::npos);
        }
    }
}
