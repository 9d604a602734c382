// Tests of the collector service.
#include <arpa/inet.h>
#include <doctest/doctest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "measurement/foundation/messages.h"
#include "platform/foundation/http_client.h"
#include "platform/foundation/json_codec.h"
#include "platform/frameworks/utilities/gzip.h"
#include "testsupport/file_text.h"
#include "testsupport/temp_dir.h"
#include "tools/collector/collector_service.h"
#include "tools/collector/endpoints.h"
#include "tools/collector/sample_batch.h"

using platform::HTTPRequest;
using platform::HTTPResponse;
using platform::Value;
using tools::collector::Bytes;
using tools::collector::CollectorOptions;
using tools::collector::CollectorService;
using tools::collector::testing::sampleBatch;

namespace {

const char* const kConfig = R"({"app_id": "velmora-collector-app", "version": 3,
                                "settings": {"measurement.upload.interval": "60000"}})";

// A collector on a free loopback port, with its printed output; the output
// is read once the service has stopped.
struct RunningCollector {
    explicit RunningCollector(CollectorOptions options) : service(std::move(options), out) { port = service.start(); }

    std::string url(const std::string& pathAndQuery) const {
        return "http://127.0.0.1:" + std::to_string(port) + pathAndQuery;
    }
    std::string output() {
        service.stop();
        return out.str();
    }

    std::ostringstream out;
    CollectorService service;
    int port = 0;
};

HTTPResponse send(HTTPRequest request) {
    request.timeoutSeconds = 10;
    const HTTPResponse response = platform::CurlHTTPClient().send(request);
    REQUIRE_FALSE(response.failed());
    return response;
}

HTTPResponse post(const std::string& url, const Bytes& body, platform::HTTPHeaders headers = {}) {
    HTTPRequest request;
    request.method = "POST";
    request.url = url;
    request.body = body;
    request.headers = std::move(headers);
    return send(request);
}

HTTPResponse get(const std::string& url, platform::HTTPHeaders headers = {}) {
    HTTPRequest request;
    request.url = url;
    request.headers = std::move(headers);
    return send(request);
}

std::vector<Value> logEntries(const std::filesystem::path& path) {
    std::vector<Value> entries;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        auto entry = platform::parseJSON(line);
        REQUIRE(entry);
        entries.push_back(*entry);
    }
    return entries;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Sends bytes that no HTTP client would and answers what comes back.
std::string rawExchange(int port, const std::string& request) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    REQUIRE(fd >= 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    REQUIRE(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
    REQUIRE(write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size()));
    std::string reply;
    char buffer[512];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) reply.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return reply;
}

}  // namespace

TEST_CASE("batches posted to /a are printed, logged and acknowledged") {
    testsupport::TempDir dir;
    CollectorOptions options;
    options.logPath = dir / "batches.jsonl";

    SUBCASE("a plain batch: 204, every bundle printed, the log holds what was sent") {
        RunningCollector collector(options);
        const auto response = post(collector.url("/a"), sampleBatch());
        CHECK(response.statusCode == 204);
        CHECK(collector.service.batchCount() == 1);
        const std::string out = collector.output();
        CHECK(out.rfind("listening on 127.0.0.1:" + std::to_string(collector.port) + "\n", 0) == 0);
        CHECK(contains(out, "POST /a: batch of 2 bundles, " + std::to_string(sampleBatch().size()) + " bytes -> 204\n"
                            "bundle 1 of 2\n  app identifier: velmora-collector-app\n"));
        CHECK(contains(out, "      p = 0.3 (double)\n"));
        CHECK(contains(out, "bundle 2 of 2\n"));

        const auto entries = logEntries(*options.logPath);
        REQUIRE(entries.size() == 1);
        CHECK(entries[0]["status"] == Value(204));
        const auto& bundles = entries[0]["bundles"].asArray();
        REQUIRE(bundles.size() == 2);
        CHECK(bundles[0]["bundle_index"] == Value(7));
        CHECK(bundles[0]["start_time"]["millis"] == Value(1714564800123LL));
        const auto& params = bundles[0]["events"].asArray().at(0)["params"].asArray();
        REQUIRE(params.size() == 4);
        CHECK(params[0] == Value(Value::Dictionary{{"name", "k"}, {"string", "2"}}));
        CHECK(params[1] == Value(Value::Dictionary{{"name", "n"}, {"int", 5}}));
        CHECK(params[2] == Value(Value::Dictionary{{"name", "p"}, {"double", 0.3}}));
        CHECK(params[3]["list"].asArray().size() == 2);
        CHECK(params[3]["list"].asArray()[1].asArray()[1] == Value(Value::Dictionary{{"name", "quantity"}, {"int", 2}}));
        CHECK(bundles[1]["events"].asArray().at(0)["name"] == Value("kuvo_got_error"));
    }

    SUBCASE("a gzip-compressed body is read as the batch it carries") {
        RunningCollector collector(options);
        const auto compressed = platform::rul_dataByGzippingData(sampleBatch());
        REQUIRE(compressed);
        const auto response = post(collector.url("/a"), *compressed, {{"Content-Encoding", "gzip"}});
        CHECK(response.statusCode == 204);
        CHECK(contains(collector.output(), "POST /a: batch of 2 bundles, "));
        CHECK(logEntries(*options.logPath).at(0)["bundles"].asArray().size() == 2);
    }

    SUBCASE("an undecodable body: 400 and a one-line reason, printed and logged") {
        RunningCollector collector(options);
        const auto response = post(collector.url("/a"), Bytes{0xff, 0xff, 0xff});
        CHECK(response.statusCode == 400);
        CHECK(collector.service.batchCount() == 0);
        CHECK(contains(collector.output(), "POST /a: 400, not a measurement batch (3 bytes): "));
        const auto entries = logEntries(*options.logPath);
        REQUIRE(entries.size() == 1);
        CHECK(entries[0]["status"] == Value(400));
        CHECK(entries[0]["error"].stringValue().rfind("not a measurement batch", 0) == 0);
    }

    SUBCASE("a body that claims gzip but does not inflate: 400, printed") {
        RunningCollector collector(options);
        const auto response = post(collector.url("/a"), Bytes{0x1f, 0x8b, 0x08, 0x00, 0x01}, {{"Content-Encoding", "gzip"}});
        CHECK(response.statusCode == 400);
        CHECK(contains(collector.output(), "POST /a: 400, "));
        CHECK(collector.service.batchCount() == 0);
    }

    SUBCASE("an encoding the collector does not know: 400, named") {
        RunningCollector collector(options);
        CHECK(post(collector.url("/a"), sampleBatch(), {{"Content-Encoding", "br"}}).statusCode == 400);
        CHECK(contains(collector.output(), "POST /a: 400, unsupported Content-Encoding \"br\"\n"));
    }

    SUBCASE("--status-a simulates failures") {
        for (const int status : {503, 429, 500}) {
            options.batchStatus = status;
            RunningCollector collector(options);
            CHECK(post(collector.url("/a"), sampleBatch()).statusCode == status);
            CHECK(contains(collector.output(), "bytes -> " + std::to_string(status) + "\n"));
        }
    }

    SUBCASE("the batch limit finishes the service after the answer") {
        options.stopAfterBatches = 2;
        RunningCollector collector(options);
        CHECK(post(collector.url("/a"), sampleBatch()).statusCode == 204);
        CHECK(post(collector.url("/a"), Bytes{0xff}).statusCode == 400);
        CHECK(post(collector.url("/a"), sampleBatch()).statusCode == 204);
        collector.service.waitUntilFinished();
        CHECK(collector.service.batchCount() == 2);
        CHECK(logEntries(*options.logPath).size() == 3);
    }
}

TEST_CASE("the configuration is served with a conditional GET") {
    testsupport::TempDir dir;
    CollectorOptions options;
    options.configPath = dir / "config.json";
    testsupport::writeText(*options.configPath, kConfig);
    options.appId = "velmora-collector-app";
    const std::string path = "/config/app/velmora-collector-app?platform=ios&ruz_version=110200&runtime_version=3";

    SUBCASE("200 with the configuration and its validators, then 304 for either validator") {
        RunningCollector collector(options);
        const auto first = get(collector.url(path));
        REQUIRE(first.statusCode == 200);
        const auto etag = first.header("ETag");
        const auto lastModified = first.header("Last-Modified");
        REQUIRE(etag);
        REQUIRE(lastModified);
        const auto config = measurement::APMPBMeasurementConfig::initWithBuffer(first.body);
        REQUIRE(config);
        CHECK(measurement::NANOGetString(*config, 1) == "velmora-collector-app");
        CHECK(measurement::NANOGetInt64(*config, 0) == 3);

        CHECK(get(collector.url(path), {{"If-None-Match", *etag}}).statusCode == 304);
        CHECK(get(collector.url(path), {{"If-Modified-Since", *lastModified}}).statusCode == 304);
        CHECK(get(collector.url(path), {{"If-None-Match", "\"other\""}, {"If-Modified-Since", *lastModified}})
                  .statusCode == 200);
        CHECK(get(collector.url(path), {{"If-Modified-Since", "Thu, 01 Jan 1970 00:00:00 GMT"}}).statusCode == 200);

        const std::string out = collector.output();
        CHECK(contains(out, "GET /config/app/velmora-collector-app?platform=ios&ruz_version=110200&runtime_version=3: "
                            "200, ETag " + *etag));
        CHECK(contains(out, "  query platform = ios\n  query ruz_version = 110200\n  query runtime_version = 3\n"));
        CHECK(contains(out, ": 304, ETag " + *etag + "\n"));
        CHECK(contains(out, "  If-None-Match: " + *etag + "\n"));
    }

    SUBCASE("a changed file gets a new ETag, so the old one no longer matches") {
        RunningCollector collector(options);
        const auto etag = get(collector.url(path)).header("ETag");
        REQUIRE(etag);
        testsupport::writeText(*options.configPath, R"({"app_id": "velmora-collector-app", "version": 4})");
        const auto changed = get(collector.url(path), {{"If-None-Match", *etag}});
        CHECK(changed.statusCode == 200);
        CHECK(changed.header("ETag") != etag);
    }

    SUBCASE("404 for another application, and without a configuration") {
        {
            RunningCollector collector(options);
            CHECK(get(collector.url("/config/app/another-app?platform=ios")).statusCode == 404);
            CHECK(contains(collector.output(), "GET /config/app/another-app?platform=ios: 404, the configuration is for "
                                               "velmora-collector-app\n  query platform = ios\n"));
        }
        options.configPath.reset();
        RunningCollector collector(options);
        CHECK(get(collector.url(path)).statusCode == 404);
        CHECK(contains(collector.output(), "404, no configuration given"));
    }

    SUBCASE("without --app-id every application gets the configuration") {
        options.appId.reset();
        RunningCollector collector(options);
        CHECK(get(collector.url("/config/app/another-app")).statusCode == 200);
    }
}

TEST_CASE("anything else is 404, and options that will not do are refused") {
    SUBCASE("other paths and methods") {
        RunningCollector collector(CollectorOptions{});
        CHECK(get(collector.url("/b")).statusCode == 404);
        CHECK(get(collector.url("/a")).statusCode == 404);
        CHECK(post(collector.url("/config/app/x"), Bytes{1}).statusCode == 404);
        const std::string out = collector.output();
        CHECK(contains(out, "GET /b: 404, nothing here\n"));
        CHECK(contains(out, "GET /a: 404, nothing here\n"));
        CHECK(contains(out, "POST /config/app/x: 404, nothing here\n"));
    }


    SUBCASE("refusals") {
        std::ostringstream out;
        testsupport::TempDir dir;
        CollectorOptions options;
        options.address = "0.0.0.0";
        CHECK_THROWS_WITH_AS(CollectorService(options, out), "the collector listens on 127.0.0.1 only, not 0.0.0.0",
                             std::invalid_argument);
        options = {};
        options.batchStatus = 99;
        CHECK_THROWS_AS(CollectorService(options, out), std::invalid_argument);
        options = {};
        options.port = 70000;
        CHECK_THROWS_AS(CollectorService(options, out), std::invalid_argument);
        options = {};
        options.configPath = dir / "missing.json";
        CHECK_THROWS_AS(CollectorService(options, out), std::invalid_argument);
        options = {};
        options.logPath = dir / "no-such-folder" / "log.jsonl";
        CHECK_THROWS_AS(CollectorService(options, out), std::invalid_argument);
    }

    SUBCASE("a port already taken") {
        RunningCollector first(CollectorOptions{});
        std::ostringstream out;
        CollectorOptions options;
        options.port = first.port;
        CollectorService second(options, out);
        CHECK_THROWS_AS(second.start(), std::runtime_error);
    }
}

TEST_CASE("malformed requests are answered 400 with the reason, printed, and never reach an endpoint") {
    struct Case {
        const char* request;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"GARBAGE\r\n\r\n", "malformed request line"},
        {"POST /a HTTP/1.1\r\nHost: x\r\nContent-Length: abc\r\n\r\n", "Content-Length is not a number"},
        {"POST /a HTTP/1.1\r\nHost: x\r\nContent-Length: -1\r\n\r\n", "Content-Length is not a number"},
        {"POST /a HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nxy", "conflicting Content-Length"},
        {"POST /a HTTP/1.1\r\nHost: x\r\nno colon here\r\nContent-Length: 0\r\n\r\n", "without a colon"},
        {"POST /a HTTP/1.1\r\nHost: x\r\n folded\r\n\r\n", "folded header line"},
        {"POST /a HTTP/1.1\r\nBad Name: 1\r\n\r\n", "malformed header name"},
        {"POST /a HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\nabc",
         "both Content-Length and Transfer-Encoding"},
        {"GET /a HTTP/2.0\r\n\r\n", "unsupported HTTP version"},
        {"GET /a\nHost: x HTTP/1.1\r\n\r\n", "stray line break"},
    };
    CollectorOptions options;
    RunningCollector collector(options);
    for (const auto& entry : cases) {
        CAPTURE(entry.request);
        const std::string reply = rawExchange(collector.port, entry.request);
        CHECK(reply.rfind("HTTP/1.1 400 Bad Request\r\n", 0) == 0);
        CHECK(contains(reply, entry.reason));
    }
    const std::string head(70 * 1024, 'x');
    CHECK(rawExchange(collector.port, "GET /" + head + " HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 431", 0) == 0);
    const std::string out = collector.output();
    CHECK(contains(out, "GARBAGE: 400, malformed request line\n"));
    CHECK(contains(out, "POST /a HTTP/1.1: 400, Content-Length is not a number\n"));
    CHECK(collector.service.batchCount() == 0);
    CHECK_FALSE(contains(out, "empty"));
}

namespace {

// A request with a body of its own, sent whole.
std::string posted(const std::string& path, const std::string& body, const std::string& headers = "") {
    return "POST " + path + " HTTP/1.1\r\nHost: x\r\n" + headers + "Content-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

// Bytes a terminal acts on: C0 controls but the line break, DEL, and the
// C1 controls as UTF-8 or as single bytes.
bool holdsControls(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte < 0x20 && byte != '\n') || byte == 0x7f || (byte >= 0x80 && byte <= 0x9f && (i == 0 || text[i - 1] != '\xC2')) ||
            (byte == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9f)) {
            return true;
        }
    }
    return false;
}

}  // namespace

TEST_CASE("what clients send is printed with its controls escaped: no title set, no screen cleared, no line forged") {
    testsupport::TempDir dir;
    CollectorOptions options;
    options.searchAdReplyPath = dir / "search-ad.json";
    testsupport::writeText(*options.searchAdReplyPath, R"({"attribution": true})");
    const struct {
        std::string request;
        std::string printed;  // a whole line of the output
    } cases[] = {
        {"GET /\x1b]0;owned\x07 HTTP/1.1\r\n\r\n", "GET /\\x1b]0;owned\\x07: 404, nothing here"},
        {"GET /x%0aPOST%20/a:%20batch%20of%2099%20bundles%20-%3E%20204 HTTP/1.1\r\n\r\n",
         "GET /x\\nPOST /a: batch of 99 bundles -> 204: 404, refused by the HTTP server"},
        {"GET /\nPOST /a: batch of 99 bundles -> 204\r\n\r\n",
         "GET /\\nPOST /a: batch of 99 bundles -> 204: 400, stray line break or NUL in the request head"},
        {"GET /config/app/%1b%5b2J%1b%5bH HTTP/1.1\r\n\r\n", "GET /config/app/\\x1b[2J\\x1b[H: 404, no configuration given"},
        {"GET /config/app/x?ruz_version=%1b%5b2J HTTP/1.1\r\nIf-None-Match: \x1b[31m\r\n\r\n",
         "GET /config/app/x?ruz_version=%1b%5b2J: 404, no configuration given"},
        {posted("/api/v1/", "aat\x1b[2J\xC2\x9B" "31m\nPOST /a: batch of 99 bundles -> 204"),
         "  token aat\\x1b[2J\\xc2\\x9b31m\\nPOST /a: batch of 99 bundles -> 204"},
        {posted("/a", "x", "Content-Encoding: \x1b]2;title\x07\r\n"),
         "POST /a: 400, unsupported Content-Encoding \"\\x1b]2;title\\x07\""},
    };
    RunningCollector collector(options);
    for (const auto& c : cases) rawExchange(collector.port, c.request);
    const std::string out = collector.output();
    CHECK_FALSE(holdsControls(out));
    for (const auto& c : cases) {
        CAPTURE(c.request);
        CHECK(contains(out, "\n" + c.printed + "\n"));
    }
    // The query and the validator of a configuration request, on lines of
    // their own.
    CHECK(contains(out, "\n  query ruz_version = \\x1b[2J\n  If-None-Match: \\x1b[31m\n"));
    CHECK_FALSE(contains(out, "\nPOST /a: batch of 99"));
    // The printer's last guard, for what no endpoint escaped (a reply file's name, say).
    std::ostringstream guarded;
    tools::collector::Printer(guarded, std::nullopt).print("500, /r/\x1b[2J\xC2\x9B.json: bad\n");
    CHECK(guarded.str() == "500, /r/\\x1b[2J\\xc2\\x9b.json: bad\n");
}

TEST_CASE("a log that takes no more is said once, with the system's reason, and logs nothing after it") {
    // Standard error read as the collector's user reads it.
    std::ostringstream said;
    auto* const error = std::cerr.rdbuf(said.rdbuf());
    std::ostringstream out;
    tools::collector::Printer printer(out, std::filesystem::path("/dev/full"));
    CHECK_FALSE(printer.logFailure());
    for (int batch = 0; batch < 3; ++batch) printer.log(platform::Value(platform::Value::Dictionary{{"n", batch}}));
    std::cerr.rdbuf(error);
    REQUIRE(printer.logFailure());
    CHECK(*printer.logFailure() == "No space left on device");
    CHECK(said.str() == "velmora collector: the log /dev/full could not be written, and logs no more batches: No "
                        "space left on device\n");
    // The output is another matter: it still takes every block.
    printer.print("POST /a: 204\n");
    CHECK(out.str() == "POST /a: 204\n");
}

namespace {

// A client that connects and sends the bytes, then holds the connection.
struct HeldClient {
    HeldClient(int port, const std::string& bytes) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        REQUIRE(fd >= 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        REQUIRE(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
        if (!bytes.empty()) REQUIRE(write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
    }
    ~HeldClient() { close(fd); }
    HeldClient(const HeldClient&) = delete;
    HeldClient& operator=(const HeldClient&) = delete;
    // Everything the service sends until it closes the connection.
    std::string answer() const {
        std::string reply;
        char buffer[512];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) reply.append(buffer, static_cast<std::size_t>(n));
        return reply;
    }
    int fd = -1;
};

}  // namespace

TEST_CASE("slow and idle clients hold up no one, and a stop does not wait for them") {
    CollectorOptions options;
    options.requestDeadlineSeconds = 600;
    auto collector = std::make_unique<RunningCollector>(options);
    std::vector<std::unique_ptr<HeldClient>> held;
    // Eight clients part-way through their heads, and 200 that send nothing.
    for (int i = 0; i < 8; ++i) held.push_back(std::make_unique<HeldClient>(collector->port, "POST /a HTTP/1.1\r\nHo"));
    for (int i = 0; i < 200; ++i) held.push_back(std::make_unique<HeldClient>(collector->port, ""));
    // Meanwhile a whole batch is taken at once.
    CHECK(post(collector->url("/a"), sampleBatch()).statusCode == 204);
    CHECK(collector->service.batchCount() == 1);

    // The stop comes back while every one of them is still connected.
    std::promise<void> stopped;
    std::thread stopper([&] {
        collector->service.stop();
        stopped.set_value();
    });
    const bool prompt = stopped.get_future().wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    CHECK(prompt);
    stopper.join();
    for (const auto& client : held) CHECK(client->answer().empty());
}

namespace {

// The process may open as many files as it is allowed to, while it lasts.
struct MostDescriptors {
    MostDescriptors() {
        REQUIRE(getrlimit(RLIMIT_NOFILE, &before) == 0);
        rlimit raised = before;
        raised.rlim_cur = before.rlim_max;
        REQUIRE(setrlimit(RLIMIT_NOFILE, &raised) == 0);
    }
    ~MostDescriptors() { setrlimit(RLIMIT_NOFILE, &before); }
    std::size_t count() const {
        return before.rlim_max == RLIM_INFINITY ? 100000 : static_cast<std::size_t>(before.rlim_max);
    }
    rlimit before{};
};

}  // namespace

TEST_CASE("a request is answered while more connections than the collector reads at once sit idle or half-sent") {
    MostDescriptors descriptors;
    CollectorOptions options;
    options.requestDeadlineSeconds = 600;
    RunningCollector collector(options);
    // Two thousand, or as many as leave room for the collector's side of
    // them: more than it reads at once (a quarter of the descriptors).
    const std::size_t count = std::min<std::size_t>(2000, (descriptors.count() - 128) / 2);
    std::vector<std::unique_ptr<HeldClient>> held;
    for (std::size_t i = 0; i < count; ++i) {
        held.push_back(std::make_unique<HeldClient>(collector.port, i % 2 == 0 ? "" : "POST /a HTTP/1.1\r\nHo"));
    }
    CHECK(post(collector.url("/a"), sampleBatch()).statusCode == 204);
    CHECK(collector.service.batchCount() == 1);
    // The oldest gave their places up: the idle one is closed without a
    // word, the one part-way through its head is told why.
    CHECK(held[0]->answer().empty());
    const std::string told = held[1]->answer();
    CHECK(told.rfind("HTTP/1.1 408 Request Timeout\r\n", 0) == 0);
    CHECK(contains(told, "closed to make room for newer connections"));
    const std::string out = collector.output();
    CHECK(contains(out, "POST /a HTTP/1.1: 408, closed to make room for newer connections\n"));
    CHECK(contains(out, "POST /a: batch of "));
}

TEST_CASE("a client that waits to be told to go on is told, and its body then taken") {
    RunningCollector collector(CollectorOptions{});
    const Bytes batch = sampleBatch();
    const std::string body(batch.begin(), batch.end());
    HeldClient client(collector.port, "POST /a HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: " +
                                          std::to_string(body.size()) + "\r\n\r\n");
    std::string interim;
    char byte = 0;
    while (!interim.ends_with("\r\n\r\n") && read(client.fd, &byte, 1) == 1) interim += byte;
    CHECK(interim == "HTTP/1.1 100 Continue\r\n\r\n");
    REQUIRE(write(client.fd, body.data(), body.size()) == static_cast<ssize_t>(body.size()));
    CHECK(client.answer().rfind("HTTP/1.1 204 No Content\r\n", 0) == 0);
    CHECK(collector.service.batchCount() == 1);
}

TEST_CASE("a request not complete within the deadline is answered 408 and cut off") {
    CollectorOptions options;
    options.requestDeadlineSeconds = 0.2;
    RunningCollector collector(options);
    HeldClient slow(collector.port, "POST /a HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc");
    HeldClient partial(collector.port, "POST /a HTTP/1.1\r\nHost");
    CHECK(slow.answer().rfind("HTTP/1.1 408 Request Timeout\r\n", 0) == 0);
    CHECK(partial.answer().rfind("HTTP/1.1 408 Request Timeout\r\n", 0) == 0);
    const std::string out = collector.output();
    CHECK(contains(out, "POST /a HTTP/1.1: 408, no complete request within the deadline\n"));
    CHECK(collector.service.batchCount() == 0);
}
