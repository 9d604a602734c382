// Tests of the remote-configuration client: documents, fetch and activation, throttling, state across launches, sources.
#include <doctest/doctest.h>

#include <climits>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/timer.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/user_defaults.h"
#include "platform/frameworks/remote_config/remote_values_document.h"
#include "platform/frameworks/remote_config/remote_values_store.h"
#include "platform/frameworks/remote_config/vez_remote_config.h"
#include "testsupport/file_text.h"
#include "testsupport/loopback_server.h"
#include "testsupport/temp_dir.h"
#include "testsupport/test_hooks.h"

using platform::RemoteValues;
using platform::VEZRemoteConfig;
using platform::VEZRemoteConfigError;
using platform::VEZRemoteConfigErrorCode;
using platform::VEZRemoteConfigFetchStatus;
using platform::VEZRemoteConfigOptions;
using Status = VEZRemoteConfigFetchStatus;

namespace {

struct FetchResult {
    Status status = Status::noFetchYet;
    std::optional<VEZRemoteConfigError> error;
    bool onClientQueue = false;
};

// A client on a manual queue of its own, with its data in a folder that
// outlives it, so that a second "launch" can be made on the same folder.
struct Launch {
    Launch(const std::filesystem::path& dataDirectory, std::string source,
           std::shared_ptr<platform::HTTPClient> http = nullptr)
        : queue(std::make_shared<platform::dispatch::ManualQueue>("remote config test")),
          client(VEZRemoteConfigOptions{dataDirectory, std::move(source), std::move(http), queue}) {
        // As the application sets it; the throttling test sets its own.
        auto settings = client.configSettings();
        settings.setMinimumFetchInterval(0);
        client.setConfigSettings(settings);
    }

    FetchResult fetch(double expiration) {
        std::optional<FetchResult> result;
        client.fetch(expiration, [&](Status status, const std::optional<VEZRemoteConfigError>& error) {
            result = FetchResult{status, error, queue->isCurrent()};
        });
        CHECK_FALSE(result);  // nothing happens before the queue runs
        queue->drain();
        REQUIRE(result);
        return *result;
    }

    bool activate() {
        std::optional<bool> changed;
        client.activate([&](bool didChange, const std::optional<VEZRemoteConfigError>& error) {
            CHECK(queue->isCurrent());
            CHECK_FALSE(error);
            changed = didChange;
        });
        queue->drain();
        REQUIRE(changed);
        return *changed;
    }

    std::string text(const std::string& key) const { return client.configValue(key).stringValue(); }

    std::shared_ptr<platform::dispatch::ManualQueue> queue;
    VEZRemoteConfig client;
};

}  // namespace

TEST_CASE("a source document gives each key its text") {
    struct Case {
        const char* document;
        std::optional<RemoteValues> values;
    };
    const Case cases[] = {
        {R"({"entries": {"apps": "{\"apps\": []}"}})", RemoteValues{{"apps", R"({"apps": []})"}}},
        {R"({"entries": {"ads": "{not json"}})", RemoteValues{{"ads", "{not json"}}},
        {R"({"entries": {"u": {"z": 1, "a": [true, null, 2.5]}}})", RemoteValues{{"u", R"({"z":1,"a":[true,null,2.5]})"}}},
        {R"({"entries": {"n": 5, "b": false, "x": null, "s": ""}})",
         RemoteValues{{"n", "5"}, {"b", "false"}, {"x", "null"}, {"s", ""}}},
        {R"({"entries": {}, "comment": "ignored"})", RemoteValues{}},
        {R"({"entries": {"é": "\u00e9"}})", RemoteValues{{"\xc3\xa9", "\xc3\xa9"}}},
        {"", std::nullopt},
        {"{", std::nullopt},
        {"[]", std::nullopt},
        {R"({"values": {}})", std::nullopt},
        {R"({"entries": []})", std::nullopt},
        {R"({"entries": "apps"})", std::nullopt},
        {"{\"entries\": {\"a\": \"\xff\"}}", std::nullopt},
    };
    for (const auto& c : cases) {
        CAPTURE(std::string(c.document));
        std::string error;
        const auto values = platform::parseRemoteValuesDocument(c.document, &error);
        CHECK(values == c.values);
        CHECK(error.empty() == c.values.has_value());
    }
    SUBCASE("nesting beyond 128 levels is refused without building it") {
        const std::string deep = R"({"entries": {"a": )" + std::string(200, '[') + std::string(200, ']') + "}}";
        std::string error;
        CHECK_FALSE(platform::parseRemoteValuesDocument(deep, &error));
        CHECK(error.find("nested") != std::string::npos);
        const std::string fine = R"({"entries": {"a": )" + std::string(100, '[') + std::string(100, ']') + "}}";
        CHECK(platform::parseRemoteValuesDocument(fine));
    }
}

TEST_CASE("fetched values become active only on activation, and expire") {
    testsupport::TempDir dir;
    platform::dispatch::ManualTime time(/*manualQueues=*/false);
    const auto source = dir / "values.json";
    testsupport::writeText(source, R"({"entries": {"apps": "first", "ads": {"k": []}}})");
    Launch launch(dir / "data", source.string());

    CHECK(launch.client.lastFetchStatus() == Status::noFetchYet);
    CHECK_FALSE(launch.client.lastFetchTime());
    CHECK_FALSE(launch.client.configValue("apps").hasValue());
    CHECK(launch.client.configValue("apps").dataValue().bytes.empty());

    const auto first = launch.fetch(21600);
    CHECK(first.status == Status::success);
    CHECK_FALSE(first.error);
    CHECK(first.onClientQueue);
    CHECK(launch.client.lastFetchTime() == platform::Date{time.now()});
    CHECK(launch.text("apps").empty());  // fetched, not yet active
    CHECK(launch.activate());
    CHECK(launch.text("apps") == "first");
    CHECK(launch.client.configValue("apps").dataValue().bytes == std::vector<std::uint8_t>{'f', 'i', 'r', 's', 't'});
    CHECK(launch.text("ads") == R"({"k":[]})");
    CHECK_FALSE(launch.activate());  // nothing pending

    SUBCASE("within the expiry the source is not read again") {
        testsupport::writeText(source, R"({"entries": {"apps": "second"}})");
        time.advance(21599);
        CHECK(launch.fetch(21600).status == Status::success);
        CHECK_FALSE(launch.activate());
        CHECK(launch.text("apps") == "first");
        SUBCASE("once expired it is") {
            time.advance(1);
            CHECK(launch.fetch(21600).status == Status::success);
            CHECK(launch.activate());
            CHECK(launch.text("apps") == "second");
            CHECK(launch.text("ads").empty());  // the new document has no "ads"
        }
        SUBCASE("a shorter expiry asks at once") {
            CHECK(launch.fetch(0).status == Status::success);
            CHECK(launch.activate());
            CHECK(launch.text("apps") == "second");
        }
    }
    SUBCASE("the same values fetched again do not count as a change") {
        CHECK(launch.fetch(0).status == Status::success);
        CHECK_FALSE(launch.activate());
    }
}

TEST_CASE("fetches that fail say why and keep what was fetched") {
    testsupport::TempDir dir;
    platform::dispatch::ManualTime time(/*manualQueues=*/false);
    const auto source = dir / "values.json";
    testsupport::writeText(source, R"({"entries": {"apps": "good"}})");
    Launch launch(dir / "data", source.string());
    REQUIRE(launch.fetch(0).status == Status::success);

    struct Case {
        std::string name;
        std::optional<std::string> document;  // none: the file is removed
        VEZRemoteConfigErrorCode code;
    };
    const Case cases[] = {
        {"missing file", std::nullopt, VEZRemoteConfigErrorCode::sourceUnavailable},
        {"not JSON", "{entries", VEZRemoteConfigErrorCode::badDocument},
        {"no entries", R"({"apps": "x"})", VEZRemoteConfigErrorCode::badDocument},
    };
    for (const auto& c : cases) {
        CAPTURE(c.name);
        if (c.document) {
            testsupport::writeText(source, *c.document);
        } else {
            std::filesystem::remove(source);
        }
        const auto result = launch.fetch(0);
        CHECK(result.status == Status::failure);
        REQUIRE(result.error);
        CHECK(result.error->code == c.code);
        CHECK(result.error->description().find("platform.remoteconfig") == 0);
        CHECK(launch.client.lastFetchStatus() == Status::failure);
    }
    // The values of the last good fetch are still pending.
    CHECK(launch.activate());
    CHECK(launch.text("apps") == "good");

    SUBCASE("no source: every fetch fails") {
        Launch none(dir / "other", "");
        const auto result = none.fetch(21600);
        CHECK(result.status == Status::failure);
        REQUIRE(result.error);
        CHECK(result.error->code == VEZRemoteConfigErrorCode::noSource);
    }
}

TEST_CASE("asking the source again sooner than the minimum interval is throttled") {
    testsupport::TempDir dir;
    platform::dispatch::ManualTime time(/*manualQueues=*/false);
    const auto source = dir / "values.json";
    testsupport::writeText(source, R"({"entries": {"apps": "a"}})");
    Launch launch(dir / "data", source.string());
    auto settings = launch.client.configSettings();
    settings.setMinimumFetchInterval(100);
    launch.client.setConfigSettings(settings);

    CHECK(launch.fetch(0).status == Status::success);
    time.advance(99);
    const auto throttled = launch.fetch(0);
    CHECK(throttled.status == Status::throttled);
    REQUIRE(throttled.error);
    CHECK(throttled.error->code == VEZRemoteConfigErrorCode::throttled);
    CHECK(throttled.error->message.find("1 s") != std::string::npos);
    // An answer within the expiry does not ask the source, so it is never throttled.
    CHECK(launch.fetch(3600).status == Status::success);
    time.advance(1);
    CHECK(launch.fetch(0).status == Status::success);

    SUBCASE("an interval of 0 never throttles") {
        settings.setMinimumFetchInterval(0);
        launch.client.setConfigSettings(settings);
        for (int i = 0; i < 3; ++i) CHECK(launch.fetch(0).status == Status::success);
    }
    SUBCASE("a failed request counts as asking") {
        std::filesystem::remove(source);
        time.advance(100);
        CHECK(launch.fetch(0).status == Status::failure);
        CHECK(launch.fetch(0).status == Status::throttled);
    }
}

TEST_CASE("the next launch starts from the activated values") {
    testsupport::TempDir dir;
    platform::dispatch::ManualTime time(/*manualQueues=*/false);
    const auto source = dir / "values.json";
    testsupport::writeText(source, R"({"entries": {"apps": "one", "ads": "two"}})");
    {
        Launch first(dir / "data", source.string());
        REQUIRE(first.fetch(0).status == Status::success);
        REQUIRE(first.activate());
        testsupport::writeText(source, R"({"entries": {"apps": "three"}})");
        REQUIRE(first.fetch(0).status == Status::success);  // pending, not activated
    }
    Launch second(dir / "data", "");
    CHECK(second.text("apps") == "one");
    CHECK(second.text("ads") == "two");
    CHECK(second.client.lastFetchStatus() == Status::success);
    CHECK(second.client.lastFetchTime() == platform::Date{time.now()});
    // What the first launch fetched and did not activate is still there.
    CHECK(second.activate());
    CHECK(second.text("apps") == "three");
    CHECK_FALSE(second.client.configValue("ads").hasValue());

    SUBCASE("a damaged state file is set aside and the launch starts empty") {
        const auto file = second.client.stateFile();
        testsupport::writeText(file, R"({"version": 1, "active": {"apps": 5}})");
        Launch third(dir / "data", "");
        CHECK_FALSE(third.client.configValue("apps").hasValue());
        CHECK(third.client.lastFetchStatus() == Status::noFetchYet);
        CHECK(platform::readFile(file.string() + ".corrupt") == R"({"version": 1, "active": {"apps": 5}})");
    }
}

TEST_CASE("the state file holds exactly the record") {
    testsupport::TempDir dir;
    platform::RemoteValuesRecord record;
    record.active = {{"apps", "{\"apps\":[]}"}, {"é", "\xc3\xa9"}};
    record.pending = RemoteValues{{"ads", "x"}};
    record.lastFetchStatus = Status::throttled;
    record.lastFetchTime = 1700000000.5;
    record.lastSourceContact = 1700000100.25;
    const auto file = dir / "state.json";
    REQUIRE(platform::saveRemoteValuesRecord(file, record));
    std::string note;
    CHECK(platform::loadRemoteValuesRecord(file, &note) == record);
    CHECK(note.empty());
    CHECK(platform::loadRemoteValuesRecord(dir / "absent.json") == platform::RemoteValuesRecord{});

    const char* damaged[] = {"", "[]", R"({"version": 2})", R"({"version": 1, "lastFetchStatus": "maybe"})",
                             R"({"version": 1, "pending": []})", R"({"version": 1, "lastFetchTime": "now"})",
                             R"({"version": "1"})"};
    for (const std::string text : damaged) {
        CAPTURE(text);
        testsupport::writeText(file, text);
        CHECK(platform::loadRemoteValuesRecord(file, &note) == platform::RemoteValuesRecord{});
        CHECK(note.find("damaged") != std::string::npos);
        CHECK_FALSE(std::filesystem::exists(file));
    }
    // A link at the path, to another state file or to nothing, is not read.
    const auto outside = dir / "outside.json";
    for (const bool dangling : {false, true}) {
        CAPTURE(dangling);
        std::filesystem::remove(outside);
        if (!dangling) REQUIRE(platform::saveRemoteValuesRecord(outside, record));
        std::filesystem::create_symlink(outside, file);
        note.clear();
        CHECK(platform::loadRemoteValuesRecord(file, &note) == platform::RemoteValuesRecord{});
        CHECK(note.find("damaged (it is a link, which is not followed)") != std::string::npos);
        CHECK_FALSE(std::filesystem::exists(std::filesystem::symlink_status(file)));
        CHECK(std::filesystem::exists(outside) != dangling);
    }
}

TEST_CASE("the remote-values and preferences writers remove what writers killed before their rename left") {
    testsupport::TempDir dir;
    platform::ScopedDataDirectory preferences(dir / "Preferences");
    const std::filesystem::path state = dir / "state.json", suite = platform::UserDefaults::fileForSuite("suite");
    const std::pair<std::filesystem::path, std::function<bool()>> writers[] = {
        {state, [&] { return platform::saveRemoteValuesRecord(state, {}); }},
        {suite, [] { return platform::UserDefaults("suite").setObject(platform::Value(1), "written"); }},
    };
    for (const auto& writer : writers) {
        const std::filesystem::path& file = writer.first;
        CAPTURE(file);
        // No process has the largest number.
        const std::string abandoned = file.string() + ".tmp-" + std::to_string(INT_MAX) + "-0";
        testsupport::writeText(abandoned, "half a write");
        REQUIRE(writer.second());
        CHECK_FALSE(std::filesystem::exists(abandoned));
    }
}

TEST_CASE("an http source on this machine serves the document") {
    testsupport::TempDir dir;
    testsupport::LoopbackServer server;
    server.answer("/values", {200, {}, R"({"entries": {"apps": "from http"}})", "application/json"});
    server.answer("/broken", {500, {}, "no", "text/plain"});

    Launch launch(dir / "data", server.url("/values"));
    CHECK(launch.fetch(0).status == Status::success);
    CHECK(launch.activate());
    CHECK(launch.text("apps") == "from http");
    REQUIRE(server.requestCount() == 1);
    CHECK(server.requests()[0].method == "GET");

    Launch broken(dir / "broken", server.url("/broken"));
    const auto result = broken.fetch(0);
    CHECK(result.status == Status::failure);
    REQUIRE(result.error);
    CHECK(result.error->code == VEZRemoteConfigErrorCode::sourceUnavailable);
    CHECK(result.error->message.find("HTTP 500") != std::string::npos);

    SUBCASE("other hosts and schemes are never asked") {
        auto http = std::make_shared<platform::RecordingHTTPClient>();
        for (const std::string address : {"http://example.com/values", "https://127.0.0.1/values", "http://127.0.0.1.example/v",
                                    "ftp://127.0.0.1/values"}) {
            CAPTURE(address);
            Launch elsewhere(dir / "elsewhere", address, http);
            const auto refused = elsewhere.fetch(0);
            CHECK(refused.status == Status::failure);
            REQUIRE(refused.error);
            CHECK(refused.error->code == VEZRemoteConfigErrorCode::sourceUnavailable);
        }
        CHECK(http->requestCount() == 0);
        Launch local(dir / "local", "http://localhost:1/values", http);
        CHECK(local.fetch(0).status == Status::failure);
        CHECK(http->requestCount() == 1);
    }
}

TEST_CASE("one shared client per process, made with the shared options") {
    testsupport::TempDir dir;
    test_hooks::resetSharedRemoteConfig();
    VEZRemoteConfig::setSharedOptions(VEZRemoteConfigOptions{dir / "shared", "", nullptr, nullptr});
    const auto client = VEZRemoteConfig::remoteConfig();
    CHECK(VEZRemoteConfig::remoteConfig() == client);
    CHECK(client->stateFile() == dir / "shared" / "remote_values_state.json");
    test_hooks::resetSharedRemoteConfig();
    VEZRemoteConfig::setSharedOptions(VEZRemoteConfigOptions{dir / "again", "", nullptr, nullptr});
    CHECK(VEZRemoteConfig::remoteConfig() != client);
    test_hooks::resetSharedRemoteConfig();
}
