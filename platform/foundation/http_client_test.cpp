#include <doctest/doctest.h>

#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/http_client.h"
#include "testsupport/loopback_server.h"

using platform::CurlHTTPClient;
using platform::HTTPRequest;
using platform::HTTPResponse;
using platform::TransportError;
using testsupport::LoopbackServer;
using testsupport::ScriptedResponse;

namespace {

std::vector<std::uint8_t> bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

std::string text(const std::vector<std::uint8_t>& data) {
    return {data.begin(), data.end()};
}

// Every byte value once, zeros included, so that nothing treats the body as
// a C string or as text.
std::string allByteValues() {
    std::string all;
    for (int i = 0; i < 256; ++i) {
        all.push_back(static_cast<char>(i));
    }
    return all + std::string(3, '\0');
}

HTTPRequest post(const std::string& url, const std::string& body) {
    HTTPRequest request;
    request.method = "POST";
    request.url = url;
    request.body = bytes(body);
    request.timeoutSeconds = 10;
    return request;
}

HTTPRequest get(const std::string& url) {
    HTTPRequest request;
    request.url = url;
    request.timeoutSeconds = 10;
    return request;
}

}  // namespace

TEST_CASE("the libcurl client carries requests and replies intact") {
    LoopbackServer server;
    CurlHTTPClient client;

    SUBCASE("a binary POST body and its headers reach the server; the binary reply comes back") {
        ScriptedResponse reply;
        reply.status = 200;
        reply.body = allByteValues();
        reply.headers = {{"X-Reply-Tag", "seven"}};
        server.answer("/a", reply);
        HTTPRequest request = post(server.url("/a"), allByteValues());
        request.headers = {{"X-Batch-Id", "42 and more"}, {"Content-Type", "application/x-protobuf"}};

        const HTTPResponse response = client.send(request);

        REQUIRE_FALSE(response.failed());
        CHECK(response.statusCode == 200);
        CHECK(text(response.body) == allByteValues());
        CHECK(response.expectedContentLength == 259);
        CHECK(response.header("x-reply-tag") == "seven");
        REQUIRE(server.requestCount() == 1);
        const auto received = server.requests().front();
        CHECK(received.method == "POST");
        CHECK(received.path == "/a");
        CHECK(received.body == allByteValues());
        CHECK(received.header("X-Batch-Id") == "42 and more");
        CHECK(received.header("Content-Type") == "application/x-protobuf");
    }

    SUBCASE("a body without a declared type is sent without one") {
        server.answer("/sdk-exp", ScriptedResponse{});
        client.send(post(server.url("/sdk-exp"), "payload"));
        REQUIRE(server.requestCount() == 1);
        CHECK_FALSE(server.requests().front().header("Content-Type").has_value());
        CHECK(server.requests().front().body == "payload");
    }

    SUBCASE("a conditional GET keeps its query and validators; 304 is an answer, not a failure") {
        ScriptedResponse notModified;
        notModified.status = 304;
        server.answer("/config/app/velmora-sample-app", notModified);
        HTTPRequest request = get(server.url("/config/app/velmora-sample-app?platform=ios&ruz_version=110"));
        request.headers = {{"If-Modified-Since", "Tue, 07 Nov 2023 10:00:00 GMT"}, {"If-None-Match", "\"etag-1\""}};

        const HTTPResponse response = client.send(request);

        CHECK_FALSE(response.failed());
        CHECK(response.statusCode == 304);
        CHECK(response.body.empty());
        const auto received = server.requests().front();
        CHECK(received.method == "GET");
        CHECK(received.query == "platform=ios&ruz_version=110");
        CHECK(received.header("If-Modified-Since") == "Tue, 07 Nov 2023 10:00:00 GMT");
        CHECK(received.header("If-None-Match") == "\"etag-1\"");
    }

    SUBCASE("a compressed reply is handed over exactly as the server sent it") {
        ScriptedResponse reply;
        reply.headers = {{"Content-Encoding", "gzip"}};
        reply.body = "\x1f\x8b not really compressed";
        server.answer("/skan", reply);
        HTTPRequest request = post(server.url("/skan"), "x");
        request.headers = {{"Accept-Encoding", "gzip"}};

        const HTTPResponse response = client.send(request);

        CHECK(response.statusCode == 200);
        CHECK(response.header("content-encoding") == "gzip");
        CHECK(text(response.body) == reply.body);
        CHECK(server.requests().front().header("Accept-Encoding") == "gzip");
    }

    SUBCASE("error statuses are answers; repeated headers fold into one list") {
        ScriptedResponse busy;
        busy.status = 503;
        busy.headers = {{"Retry-After", "10"}, {"Retry-After", "20"}};
        server.answer("/a", busy);
        const HTTPResponse response = client.send(post(server.url("/a"), ""));
        CHECK_FALSE(response.failed());
        CHECK(response.statusCode == 503);
        CHECK(response.header("RETRY-AFTER") == "10, 20");
    }

    SUBCASE("unscripted paths get 404") {
        const HTTPResponse response = client.send(get(server.url("/nowhere")));
        CHECK(response.statusCode == 404);
    }
}

TEST_CASE("the libcurl client reports failures with status 0 and a reason") {
    CurlHTTPClient client;

    SUBCASE("nobody listening") {
        std::string url;
        {
            LoopbackServer gone;
            url = gone.url("/a");
        }
        const HTTPResponse response = client.send(post(url, "x"));
        CHECK(response.statusCode == 0);
        CHECK(response.error == TransportError::CannotConnect);
        CHECK_FALSE(response.errorMessage.empty());
    }

    SUBCASE("the server answers too late") {
        LoopbackServer server;
        ScriptedResponse slow;
        slow.delaySeconds = 60;
        server.answer("/a", slow);
        HTTPRequest request = post(server.url("/a"), "x");
        request.timeoutSeconds = 0.2;
        const HTTPResponse response = client.send(request);
        CHECK(response.statusCode == 0);
        CHECK(response.error == TransportError::TimedOut);
        CHECK(response.body.empty());
    }

    SUBCASE("a stop request abandons a held exchange") {
        LoopbackServer server;
        ScriptedResponse held;
        held.hold = true;
        server.answer("/a", held);
        std::stop_source stop;
        std::jthread stopper([&] {
            REQUIRE(server.waitForHeld(1, 10));
            stop.request_stop();
        });
        const HTTPResponse response = client.send(post(server.url("/a"), "x"), stop.get_token());
        CHECK(response.statusCode == 0);
        CHECK(response.error == TransportError::Cancelled);
    }

    SUBCASE("a reply beyond the size limit is refused") {
        LoopbackServer server;
        ScriptedResponse big;
        big.body = std::string(4096, 'z');
        server.answer("/a", big);
        CurlHTTPClient small(1024);
        const HTTPResponse response = small.send(get(server.url("/a")));
        CHECK(response.statusCode == 0);
        CHECK(response.error == TransportError::ResponseTooLarge);
        CHECK(response.body.empty());
    }

    SUBCASE("requests that cannot be sent as given are refused before anything leaves") {
        LoopbackServer server;
        HTTPRequest injected = get(server.url("/a"));
        injected.headers = {{"X-Note", "a\r\nX-Evil: 1"}};
        CHECK(client.send(injected).error == TransportError::InvalidRequest);
        HTTPRequest badName = get(server.url("/a"));
        badName.headers = {{"Bad Name", "1"}};
        CHECK(client.send(badName).error == TransportError::InvalidRequest);
        CHECK(client.send(get("ftp://127.0.0.1/a")).error == TransportError::InvalidRequest);
        CHECK(client.send(get("http://[::1")).error == TransportError::InvalidRequest);
        CHECK(server.requestCount() == 0);
    }
}

TEST_CASE("the recording client answers from its script, then with its fallback") {
    platform::RecordingHTTPClient client;
    client.enqueue(platform::makeHTTPResponse(204));
    client.enqueue(platform::makeHTTPResponse(200, "second", {{"ETag", "e2"}}));
    HTTPRequest request = post("https://example.invalid/a", "one");
    request.headers = {{"X-Test", "1"}};

    CHECK(client.send(request).statusCode == 204);
    const HTTPResponse second = client.send(get("https://example.invalid/b"));
    CHECK(second.header("etag") == "e2");
    CHECK(text(second.body) == "second");
    const HTTPResponse third = client.send(get("https://example.invalid/c"));
    CHECK(third.statusCode == 0);
    CHECK(third.failed());

    const auto seen = client.requests();
    REQUIRE(seen.size() == 3);
    CHECK(seen[0].method == "POST");
    CHECK(text(seen[0].body) == "one");
    CHECK(seen[0].headers.at("x-test") == "1");
    CHECK(seen[2].url == "https://example.invalid/c");
}
