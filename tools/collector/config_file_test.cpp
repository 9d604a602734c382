// Tests of the collector's configuration files.
#include <doctest/doctest.h>

#include <chrono>
#include <cstdio>
#include <fstream>

#include "measurement/foundation/messages.h"
#include "measurement/script/text/program_text.h"
#include "platform/foundation/json_codec.h"
#include "testsupport/file_text.h"
#include "testsupport/temp_dir.h"
#include "tools/collector/config_file.h"

using tools::collector::Bytes;
using tools::collector::encodeConfigJSON;
using tools::collector::loadConfig;

namespace {

const char* const kFullConfig = R"({
  "version": 12,
  "app_id": "velmora-collector-app",
  "settings": {"measurement.upload.interval": "3600000", "measurement.rb.max": "25"},
  "events": {"kuvo_calculate": {"blocked": false, "custom_conversion": true, "sampling_rate": 4},
             "kuvo_got_error": {"blocked": true}},
  "upload_subdomain": "app",
  "dma_region": true,
  "consent": {"defaults": [{"type": 1, "status": 2}], "delegations": [{"type": 3, "delegated_type": 1}],
              "regional_defaults": [{"type": 2, "status": 1}]},
  "data_controls": ["redact_device_info"],
  "core_platform_services": ["a", "b"]
})";

std::optional<Bytes> encode(const std::string& json, std::string* error = nullptr) {
    auto description = platform::parseJSON(json);
    REQUIRE(description);
    return encodeConfigJSON(*description, error);
}

std::string refusal(const std::string& json) {
    std::string error;
    CHECK_FALSE(encode(json, &error));
    return error;
}

// The standard output of a shell command.
std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    REQUIRE(pipe);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    REQUIRE(pclose(pipe) == 0);
    return out;
}

// protoc's own decoding of the wire format, independent of ours; its text
// puts the fields of one message on lines of their own, so spaces and line
// breaks are dropped before comparing.
std::string rawDecoding(const testsupport::TempDir& dir, const Bytes& bytes) {
    const auto file = dir / "raw.pb";
    testsupport::writeText(file, std::string(bytes.begin(), bytes.end()));
    std::string text = run("protoc --decode_raw < '" + file.string() + "'");
    std::erase_if(text, [](char c) { return c == ' ' || c == '\n'; });
    return text;
}

std::string md5sum(const std::filesystem::path& path) {
    return '"' + run("md5sum '" + path.string() + "'").substr(0, 32) + '"';
}

void setModified(const std::filesystem::path& path, std::int64_t secondsSince1970) {
    const std::chrono::sys_seconds when{std::chrono::seconds(secondsSince1970)};
    std::filesystem::last_write_time(path, std::chrono::file_clock::from_sys(when));
}

}  // namespace

TEST_CASE("the JSON form of a configuration encodes the message it describes") {
    testsupport::TempDir dir;

    SUBCASE("every key reaches its field, as protoc reads the bytes") {
        const auto bytes = encode(kFullConfig);
        REQUIRE(bytes);
        const std::string raw = rawDecoding(dir, *bytes);
        CHECK(raw.find("1:12") != std::string::npos);
        CHECK(raw.find("2:\"velmora-collector-app\"") != std::string::npos);
        CHECK(raw.find("3{1:\"measurement.rb.max\"2:\"25\"}") != std::string::npos);
        CHECK(raw.find("3{1:\"measurement.upload.interval\"2:\"3600000\"}") != std::string::npos);
        CHECK(raw.find("4{1:\"kuvo_calculate\"2:03:14:4}") != std::string::npos);
        CHECK(raw.find("4{1:\"kuvo_got_error\"2:1}") != std::string::npos);
        CHECK(raw.find("5:\"app\"") != std::string::npos);
        CHECK(raw.find("7:1") != std::string::npos);
        CHECK(raw.find("8{1{1:12:2}2{1:32:1}3{1:22:1}}") != std::string::npos);
        CHECK(raw.find("10:\"redact_device_info\"") != std::string::npos);
        CHECK(raw.find("11:\"a\"11:\"b\"") != std::string::npos);
    }

    SUBCASE("the engine's message class reads the application identifier back") {
        const auto bytes = encode(kFullConfig);
        REQUIRE(bytes);
        const auto config = measurement::APMPBMeasurementConfig::initWithBuffer(*bytes);
        REQUIRE(config);
        CHECK(measurement::NANOGetString(*config, 1) == "velmora-collector-app");
        CHECK(measurement::NANOGetInt64(*config, 0) == 12);
    }

    SUBCASE("an empty description is an empty configuration") {
        CHECK(encode("{}") == Bytes{});
    }

    SUBCASE("mistakes are named by their path") {
        CHECK(refusal("[]") == "the configuration must be an object");
        CHECK(refusal(R"({"app": "x"})") == "unknown key \"app\"");
        CHECK(refusal(R"({"settings": {"interval": 5}})") == "\"settings.interval\" must be text");
        CHECK(refusal(R"({"version": 1.5})") == "\"version\" must be a whole number");
        CHECK(refusal(R"({"events": {"e": {"sampling_rate": 3000000000}}})") ==
              "\"events.e.sampling_rate\" must be a 32-bit whole number");
        CHECK(refusal(R"({"events": {"e": {"blocked": 1}}})") == "\"events.e.blocked\" must be true or false");
        CHECK(refusal(R"({"consent": {"defaults": [{"kind": 1}]}})") == "unknown key \"consent.defaults[].kind\"");
        CHECK(refusal(R"({"data_controls": "x"})") == "\"data_controls\" must be a list");
        CHECK(refusal(R"({"programs": {}})") == "\"programs\" must be a list");
        CHECK(refusal(R"({"programs": [5]})") == "\"programs[0]\" must be an object");
        CHECK(refusal(R"json({"programs": ["(add 1 2)", {"path": "x"}]})json") ==
              "\"programs[1]\" must be program text or {\"file\": NAME}");
        CHECK(refusal(R"json({"programs": ["(add 1"]})json").rfind("\"programs[0]\": line 1: ", 0) == 0);
        CHECK(refusal(R"({"audiences": [{"event_filters": [{"name": "e"}]}]})") ==
              "unknown key \"audiences[].event_filters[].name\"");
        CHECK(refusal(R"({"audiences": [{"property_filters": [{"filter": {"string_filter": {"match_type": -1}}}]}]})") ==
              "\"audiences[].property_filters[].filter.string_filter.match_type\" must be a whole number from 0 to "
              "4294967295");
        CHECK(refusal(R"({"audiences": {"audience_id": 1}})") == "\"audiences\" must be a list");
    }
}

TEST_CASE("programs in the JSON form: text, or files beside the configuration") {
    testsupport::TempDir dir;
    const std::string first = "(var \"x\") (set \"x\" 1) [activity \"go\" (object \"type\" \"edit\")]";
    const std::string second = "(add 2 3)";
    const auto encodedProgram = [](const std::string& text) {
        return measurement::script_text::encodeProgram(measurement::script_text::assemble(text).program);
    };
    testsupport::writeText(dir / "second.txt", second);
    const auto third = encodedProgram("(return 7)");
    testsupport::writeText(dir / "third.pb", std::string(third.begin(), third.end()));
    using platform::Value;
    const Value description = Value::Dictionary{
        {"version", 2},
        {"programs",
         Value::Array{first, Value::Dictionary{{"file", "second.txt"}}, Value::Dictionary{{"file", "third.pb"}}}}};
    testsupport::writeText(dir / "config.json", platform::writeJSON(description));
    std::string error;
    const auto served = loadConfig(dir / "config.json", &error);
    INFO(error);
    REQUIRE(served);
    const auto config = measurement::APMPBMeasurementConfig::initWithBuffer(served->body);
    REQUIRE(config);
    const auto index = measurement::NANOFieldIndexForTag<measurement::APMPBMeasurementConfig>(
        nano_APMPBMeasurementConfig_programs_tag);
    const auto programs = measurement::NANOGetArray<measurement::APMPBProgram>(*config, index);
    REQUIRE(programs.size() == 3);
    CHECK(programs[0].protoBuffer() == encodedProgram(first));
    CHECK(programs[1].protoBuffer() == encodedProgram(second));
    CHECK(programs[2].protoBuffer() == third);
    CHECK(measurement::NANOGetInt64(*config, 0) == 2);

    SUBCASE("program files that will not do") {
        testsupport::writeText(dir / "broken.pb", "\xff\xff");
        testsupport::writeText(dir / "bad.json", R"({"programs": [{"file": "broken.pb"}]})");
        CHECK_FALSE(loadConfig(dir / "bad.json", &error));
        CHECK(error.find("\"programs[0].file\": ") != std::string::npos);
        CHECK(error.find("broken.pb is not an encoded program") != std::string::npos);
        testsupport::writeText(dir / "absent.json", R"({"programs": [{"file": "absent.txt"}]})");
        CHECK_FALSE(loadConfig(dir / "absent.json", &error));
        CHECK(error.find("absent.txt cannot be read") != std::string::npos);
    }
}

TEST_CASE("audience definitions in the JSON form") {
    testsupport::TempDir dir;
    const char* const json = R"({"audiences": [
      {"audience_id": 3,
       "event_filters": [{"filter_id": 0, "event_name": "kuvo_calculate",
                          "event_count_filter": {"comparison_type": 2, "comparison_value": "3"},
                          "parameter_filters": [{"parameter_name": "n", "complement": true,
                                                 "number_filter": {"comparison_type": 4, "min_comparison_value": "1",
                                                                   "max_comparison_value": "9"}}],
                          "dynamic": true, "session_scoped": true}],
       "property_filters": [{"filter_id": 1, "property_name": "tier", "sequence": true,
                             "filter": {"string_filter": {"match_type": 7, "expression": "gold",
                                                          "case_sensitive": true,
                                                          "expression_list": ["a", "b"]}}}]},
      {"audience_id": 4294967295000}]})";
    CHECK(refusal(json) == "\"audiences[].audience_id\" must be a 32-bit whole number");
    std::string valid = json;
    valid.replace(valid.find("4294967295000"), 13, "5");
    const auto bytes = encode(valid);
    REQUIRE(bytes);
    // protoc's reading: audience 3 with its property filter (tag 2) and
    // event filter (tag 3); the unknown match type 7 is kept as it is.
    const std::string raw = rawDecoding(dir, *bytes);
    CHECK(raw ==
          "6{1:3"
          "2{1:12:\"tier\"3{1{1:72:\"gold\"3:14:\"a\"4:\"b\"}}5:1}"
          "3{1:02:\"kuvo_calculate\"3{2{1:44:\"1\"5:\"9\"}3:14:\"n\"}5{1:23:\"3\"}6:18:1}}"
          "6{1:5}");
}

TEST_CASE("a configuration file is served with its validators") {
    testsupport::TempDir dir;

    SUBCASE("JSON: the ETag is the MD5 digest of the encoded body, Last-Modified the file's time") {
        const auto file = dir / "config.json";
        testsupport::writeText(file, kFullConfig);
        setModified(file, 1714564800);
        std::string error;
        const auto served = loadConfig(file, &error);
        INFO(error);
        REQUIRE(served);
        CHECK(served->body == *encode(kFullConfig));
        const auto encoded = dir / "encoded";
        testsupport::writeText(encoded, std::string(served->body.begin(), served->body.end()));
        CHECK(served->etag == md5sum(encoded));
        CHECK(served->lastModified == "Wed, 01 May 2024 12:00:00 GMT");
    }

    SUBCASE("an encoded file is served byte for byte") {
        const auto file = dir / "config.pb";
        const auto bytes = *encode(kFullConfig);
        testsupport::writeText(file, std::string(bytes.begin(), bytes.end()));
        const auto served = loadConfig(file);
        REQUIRE(served);
        CHECK(served->body == bytes);
        CHECK(served->etag == md5sum(file));
    }

    SUBCASE("files that will not do are refused with the reason") {
        std::string error;
        CHECK_FALSE(loadConfig(dir / "missing.json", &error));
        CHECK(error.find("missing.json: cannot be read") != std::string::npos);
        testsupport::writeText(dir / "bad.pb", "\xff\xff\xff");
        CHECK_FALSE(loadConfig(dir / "bad.pb", &error));
        CHECK(error.find("not an encoded measurement configuration") != std::string::npos);
        testsupport::writeText(dir / "bad.json", "{\"version\": ");
        CHECK_FALSE(loadConfig(dir / "bad.json", &error));
        CHECK(error.find("bad.json: malformed JSON") != std::string::npos);
        testsupport::writeText(dir / "wrong.json", R"({"app_id": 5})");
        CHECK_FALSE(loadConfig(dir / "wrong.json", &error));
        CHECK(error.find("\"app_id\" must be text") != std::string::npos);
    }
}
