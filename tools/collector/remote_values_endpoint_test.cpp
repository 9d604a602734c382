// Tests of the collector serving remote-configuration values to the client.
#include <doctest/doctest.h>

#include <sstream>
#include <stdexcept>

#include "platform/dispatch/queue.h"
#include "platform/foundation/http_client.h"
#include "platform/frameworks/remote_config/vez_remote_config.h"
#include "testsupport/file_text.h"
#include "testsupport/temp_dir.h"
#include "tools/collector/collector_service.h"

using tools::collector::CollectorOptions;
using tools::collector::CollectorService;

namespace {

platform::HTTPResponse get(int port, const std::string& path) {
    platform::HTTPRequest request;
    request.url = "http://127.0.0.1:" + std::to_string(port) + path;
    request.timeoutSeconds = 10;
    auto response = platform::CurlHTTPClient().send(request);
    REQUIRE_FALSE(response.failed());
    return response;
}

std::string text(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

TEST_CASE("the collector serves the remote-configuration document of a file") {
    testsupport::TempDir dir;
    const auto file = dir / "values.json";
    const std::string document = R"({"entries": {"apps": {"apps": []}, "ads": "{broken"}})";
    testsupport::writeText(file, document);
    CollectorOptions options;
    options.remoteValuesPath = file;
    std::ostringstream out;
    CollectorService service(options, out);
    const int port = service.start();

    SUBCASE("as it stands, read anew for each request") {
        auto response = get(port, "/remote-values");
        CHECK(response.statusCode == 200);
        CHECK(text(response.body) == document);
        CHECK(response.header("Content-Type").value_or("").find("application/json") == 0);
        testsupport::writeText(file, "{not a document");
        response = get(port, "/remote-values");
        CHECK(response.statusCode == 200);
        CHECK(text(response.body) == "{not a document");
        std::filesystem::remove(file);
        CHECK(get(port, "/remote-values").statusCode == 500);
        service.stop();
        const std::string printed = out.str();
        CHECK(printed.find("GET /remote-values: 200, 2 entries\n") != std::string::npos);
        CHECK(printed.find("GET /remote-values: 200, not a remote-configuration document (not JSON") !=
              std::string::npos);
        CHECK(printed.find("GET /remote-values: 500, ") != std::string::npos);
    }
    SUBCASE("a client fetches and activates it") {
        auto queue = std::make_shared<platform::dispatch::ManualQueue>("client");
        platform::VEZRemoteConfig client(platform::VEZRemoteConfigOptions{
            dir / "data", "http://127.0.0.1:" + std::to_string(port) + "/remote-values", nullptr, queue});
        std::optional<platform::VEZRemoteConfigFetchStatus> status;
        client.fetch(0, [&](platform::VEZRemoteConfigFetchStatus s, const auto&) { status = s; });
        client.activate(nullptr);
        queue->drain();
        CHECK(status == platform::VEZRemoteConfigFetchStatus::success);
        CHECK(client.configValue("apps").stringValue() == R"({"apps":[]})");
        CHECK(client.configValue("ads").stringValue() == "{broken");
    }
}

TEST_CASE("without a document the path answers 404, and an unreadable one is refused at start") {
    std::ostringstream out;
    {
        CollectorService service(CollectorOptions{}, out);
        const int port = service.start();
        CHECK(get(port, "/remote-values").statusCode == 404);
    }
    CHECK(out.str().find("GET /remote-values: 404, no remote values given") != std::string::npos);

    testsupport::TempDir dir;
    CollectorOptions options;
    options.remoteValuesPath = dir / "absent.json";
    CHECK_THROWS_AS(CollectorService(options, out), std::invalid_argument);
    // What no client would take is refused too, as the collector's other
    // files are.
    for (const auto& text : {std::string("not json"), std::string("{\"values\": {}}"), std::string("[1]")}) {
        CAPTURE(text);
        testsupport::writeText(*options.remoteValuesPath, text);
        CHECK_THROWS_WITH_AS(CollectorService(options, out), doctest::Contains("no remote-configuration document"),
                             std::invalid_argument);
    }
}
