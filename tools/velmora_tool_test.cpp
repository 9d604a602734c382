// The built velmora tool driven as a user drives it: what its commands print
// and the status they exit with, up to an upload that reaches the local
// collector. Every wait is bounded; the collector listens on loopback only.
#include <doctest/doctest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <numbers>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "measurement/script/text/program_text.h"
#include "platform/foundation/json_codec.h"
#include "platform/foundation/plist_codec.h"
#include "testsupport/child_process.h"
#include "testsupport/file_text.h"
#include "testsupport/loopback_server.h"
#include "testsupport/sqlite_file.h"
#include "testsupport/temp_dir.h"

namespace {

using platform::Value;

constexpr double kCommandTimeoutSeconds = 60;

// Starts the tool with the arguments and the variables (the tool's own
// variables of this process are left out); its standard output and error
// go to the given descriptors.
pid_t spawnTool(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& variables,
                int out, int err) {
    std::vector<std::string> argv{VELMORA_TOOL_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> added;
    for (const auto& [name, value] : variables) added.push_back(name + "=" + value);
    return testsupport::spawnChild(argv, testsupport::environmentWith(added, "VELMORA_"), out, err);
}

std::chrono::steady_clock::time_point deadlineAfter(double seconds) {
    return std::chrono::steady_clock::now() +
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

int remainingMillis(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// One command run to its end.
Outcome runTool(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& variables = {}) {
    testsupport::TempDir folder;
    const auto outPath = folder / "out";
    const auto errPath = folder / "err";
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    REQUIRE((out >= 0 && err >= 0));
    const pid_t pid = spawnTool(arguments, variables, out, err);
    close(out);
    close(err);
    Outcome outcome;
    outcome.status = testsupport::waitForChild(pid, kCommandTimeoutSeconds);
    outcome.out = testsupport::readText(outPath);
    outcome.err = testsupport::readText(errPath);
    return outcome;
}

Value jsonOf(const std::string& text) {
    auto value = platform::parseJSON(text);
    REQUIRE_MESSAGE(value, "not JSON: " << text);
    return *value;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The example README.md gives after the text, up to its closing backquote.
std::string readmeExample(const std::string& after) {
    const auto readme = testsupport::readText(VELMORA_SOURCE_DIR "/README.md");
    const auto start = readme.find(after);
    REQUIRE(start != std::string::npos);
    const auto from = start + after.size();
    return readme.substr(from, readme.find('`', from) - from);
}

// `velmora collector` in the background, its standard output read through a
// pipe as it comes.
class Collector {
public:
    explicit Collector(const std::vector<std::string>& arguments) {
        int ends[2];
        REQUIRE(pipe2(ends, O_CLOEXEC) == 0);
        const int err = open("/dev/null", O_WRONLY);
        std::vector<std::string> command{"collector", "--port", "0"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        pid_ = spawnTool(command, {}, ends[1], err);
        close(ends[1]);
        close(err);
        output_ = ends[0];
    }
    ~Collector() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            testsupport::waitForChild(pid_, 10);
        }
        close(output_);
    }
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // Reads until the text so far holds a match (answering its first group),
    // the end of the output or the limit.
    std::optional<std::string> waitFor(const std::regex& pattern, double timeoutSeconds) {
        const auto deadline = deadlineAfter(timeoutSeconds);
        std::smatch match;
        while (!std::regex_search(text_, match, pattern)) {
            if (!readMore(deadline)) return std::nullopt;
        }
        return match[1].str();
    }

    // Everything it printed, once it has ended by itself (within the limit).
    std::string outputUntilExit(double timeoutSeconds) {
        const auto deadline = deadlineAfter(timeoutSeconds);
        while (readMore(deadline)) {
        }
        exitStatus_ = testsupport::waitForChild(pid_, std::max(0.0, remainingMillis(deadline) / 1000.0));
        pid_ = -1;
        return text_;
    }
    int exitStatus() const { return exitStatus_; }

private:
    // False at the end of the output or at the limit.
    bool readMore(std::chrono::steady_clock::time_point deadline) {
        pollfd readable{output_, POLLIN, 0};
        if (poll(&readable, 1, remainingMillis(deadline)) <= 0) return false;
        char buffer[4096];
        const ssize_t count = read(output_, buffer, sizeof buffer);
        if (count <= 0) return false;
        text_.append(buffer, static_cast<std::size_t>(count));
        return true;
    }

    pid_t pid_ = -1;
    int output_ = -1;
    int exitStatus_ = -1;
    std::string text_;
};

}  // namespace

TEST_CASE("velmora calc solves one calculation and stores its event") {
    testsupport::TempDir data;
    const std::map<std::string, std::string> variables{{"VELMORA_DATA", data.path().string()}};

    SUBCASE("as JSON: the probability, the steps and the charts") {
        const auto run = runTool({"calc", "--k", "2", "--n", "5", "--p", "0.3", "--json"}, variables);
        REQUIRE(run.status == 0);
        const auto result = jsonOf(run.out).asDictionary();
        CHECK(result.at("ok") == Value(true));
        // C(5, 2) * 0.3^2 * 0.7^3 = 10 * 0.09 * 0.343
        CHECK(result.at("probability") == Value("0.3087"));
        CHECK(result.at("steps").asArray().size() > 1);
        CHECK(result.at("charts").asArray().size() == 3);

        const auto dump = runTool({"analytics", "dump"}, variables);
        REQUIRE(dump.status == 0);
        const auto stored = jsonOf(dump.out);
        std::vector<std::string> names;
        for (const auto& event : stored.asDictionary().at("raw_events").asArray()) {
            names.push_back(event.asDictionary().at("name").asString());
        }
        CHECK(names == std::vector<std::string>{"_f", "kuvo_calculate"});
    }
    SUBCASE("refused inputs: their error key, the fields concerned and status 1") {
        struct Case {
            std::vector<std::string> inputs;
            std::string error;
            std::string field;
        };
        const std::vector<Case> cases = {
            {{"--k", "2", "--n", "5", "--p", "1.5"}, "mustBeBiggerThanXAndLessThanY\u00a70\u00a71", "pTextField"},
            {{"--k", "x", "--n", "5", "--p", "0.3"}, "inputParameterError", "kTextField"},
        };
        for (const auto& refused : cases) {
            CAPTURE(refused.error);
            auto arguments = std::vector<std::string>{"calc"};
            arguments.insert(arguments.end(), refused.inputs.begin(), refused.inputs.end());
            arguments.push_back("--json");
            const auto run = runTool(arguments, variables);
            CHECK(run.status == 1);
            const auto result = jsonOf(run.out).asDictionary();
            CHECK(result.at("ok") == Value(false));
            CHECK(result.at("error") == Value(refused.error));
            CHECK(result.at("fields") == Value(Value::Array{Value(refused.field)}));
        }
    }
}

TEST_CASE("velmora analytics log stores an event that dump reads back") {
    testsupport::TempDir data;
    const std::string folder = data.path().string();

    // Only plain decimals are numbers; double quotes keep a value as text.
    const auto logged = runTool({"analytics", "log", "tapped_try", "count=7", "share=0.5", "label=seven", "hex=0x10",
                                 "code=1e5", "quoted=\"-7\"", "dot=.5", "most=9223372036854775807",
                                 "least=-9223372036854775808", "past=\"9223372036854775808\"", "--data", folder});
    REQUIRE(logged.status == 0);
    const auto dump = runTool({"analytics", "dump", "--data", folder});
    REQUIRE(dump.status == 0);
    const auto stored = jsonOf(dump.out).asDictionary();
    const auto& events = stored.at("raw_events").asArray();
    REQUIRE(events.size() == 2);
    const auto event = events[1].asDictionary();
    CHECK(event.at("name") == Value("tapped_try"));
    CHECK(event.at("public") == Value(true));
    const auto parameters = event.at("parameters").asDictionary();
    CHECK(parameters.at("count") == Value(7));
    CHECK(parameters.at("share") == Value(0.5));
    CHECK(parameters.at("label") == Value("seven"));
    CHECK(parameters.at("hex") == Value("0x10"));
    CHECK(parameters.at("code") == Value("1e5"));
    CHECK(parameters.at("quoted") == Value("-7"));
    CHECK(parameters.at("dot") == Value(".5"));
    // The integers at the ends of 64 bits are kept as given; past them only
    // as text.
    CHECK(parameters.at("most") == Value(9223372036854775807LL));
    CHECK(parameters.at("least") == Value(-9223372036854775807LL - 1));
    CHECK(parameters.at("past") == Value("9223372036854775808"));
    CHECK(event.at("metadata").asDictionary().at("measurement_app_id") == Value("velmora-bernoulli-ios"));

    SUBCASE("a parameter that is no key=value is refused with status 2 and nothing is stored") {
        const auto refused = runTool({"analytics", "log", "tapped_again", "novalue", "--data", folder});
        CHECK(refused.status == 2);
        CHECK(contains(refused.err, "parameters are key=value, not \"novalue\""));
        const auto after = jsonOf(runTool({"analytics", "dump", "--data", folder}).out).asDictionary();
        CHECK(after.at("raw_events").asArray().size() == 2);
    }
}

TEST_CASE("velmora analytics open stores a link's campaign event; identity prints the same identifiers on every run") {
    testsupport::TempDir data;
    const std::map<std::string, std::string> variables{{"VELMORA_DATA", data.path().string()},
                                                       {"VELMORA_IDENTIFIER_FOR_VENDOR", "0F0E0D0C-0B0A-4908-8706-050403020100"}};
    const auto opened = runTool({"analytics", "open", "bern://open?utm_source=mail&utm_campaign=spring&foo=1"}, variables);
    REQUIRE(opened.status == 0);
    const auto events = jsonOf(runTool({"analytics", "dump"}, variables).out).asDictionary().at("raw_events").asArray();
    REQUIRE(events.size() == 2);
    const auto campaign = events[1].asDictionary();
    CHECK(campaign.at("name") == Value("_cmp"));
    CHECK(campaign.at("parameters") ==
          Value(Value::Dictionary{{"_o", "auto"}, {"source", "mail"}, {"campaign", "spring"}}));

    const auto first = runTool({"analytics", "identity", "--json"}, variables);
    const auto second = runTool({"analytics", "identity", "--json"}, variables);
    REQUIRE(first.status == 0);
    REQUIRE(second.status == 0);
    const auto identity = jsonOf(first.out).asDictionary();
    CHECK(identity.at("app_instance_id").asString().size() == 32);
    CHECK(identity.at("vendor_device_id") == Value("0F0E0D0C-0B0A-4908-8706-050403020100"));
    CHECK(identity.at("resettable_device_id").isNull());
    CHECK(identity.at("library_version") == Value(110100));
    CHECK(identity.at("app_instance_id") == jsonOf(second.out).asDictionary().at("app_instance_id"));
    CHECK(identity.at("diversion_key") == jsonOf(second.out).asDictionary().at("diversion_key"));

    const auto refused = runTool({"analytics", "open"}, variables);
    CHECK(refused.status != 0);
}

TEST_CASE("velmora experiments prints the experiments client's state") {
    testsupport::TempDir data;
    const auto run = runTool({"experiments", "--json"}, {{"VELMORA_DATA", data.path().string()}});
    REQUIRE(run.status == 0);
    const auto state = jsonOf(run.out).asDictionary();
    // No service is named: nothing is fetched, nothing is in force.
    CHECK(state.at("service") == Value(""));
    CHECK(state.at("experiment_ids") == Value(Value::Array{}));
    CHECK(state.at("regional_defaults_enabled") == Value(true));
    const auto& tables = state.at("tables").asDictionary();
    for (const char* table : {"activated_snapshot_table", "pending_snapshot_table", "launched_snapshot_table"}) {
        CAPTURE(table);
        CHECK(tables.at(table) == Value(Value::Array{}));
    }
    CHECK(std::filesystem::exists(data.path() / "Application Support" / "Rozeda" / "Measurement" /
                                  "rozeda_experimentation_database.sql"));
}

TEST_CASE("velmora script eval runs a program and prints its value") {
    testsupport::TempDir folder;
    const auto write = [&](const std::string& name, const std::string& contents) {
        std::ofstream(folder / name, std::ios::binary) << contents;
        return (folder / name).string();
    };
    const std::string sum =
        "; 0 + 1 + ... + 9: the body runs before the step\n"
        "(var \"i\" \"s\") (set \"i\" 0) (set \"s\" 0)\n"
        "(while (lt $i 10) (set \"i\" (add $i 1)) false (code (set \"s\" (add $s $i))))\n"
        "$s\n";
    const auto encoded = measurement::script_text::encodeProgram(measurement::script_text::assemble(sum).program);

    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string printed;
    };
    const std::vector<Case> cases = {
        {{"--text", write("sum.txt", sum)}, 0, "45\n"},
        {{write("sum.pb", std::string(encoded.begin(), encoded.end()))}, 0, "45\n"},
        // A loop whose body is no code.
        {{"--text", write("failing.txt", "(while false 1 false 5)")}, 1, "error: measurement.script 10\n"},
        {{"--text", write("broken.txt", "(add 1")}, 2, ""},
        {{(folder / "absent.txt").string()}, 2, ""},
    };
    for (const auto& run : cases) {
        CAPTURE(run.arguments.back());
        auto arguments = std::vector<std::string>{"script", "eval"};
        arguments.insert(arguments.end(), run.arguments.begin(), run.arguments.end());
        const auto outcome = runTool(arguments);
        CHECK(outcome.status == run.status);
        CHECK(outcome.out.rfind(run.printed, 0) == 0);
        if (run.status == 0) CHECK(contains(outcome.out, "evaluations: "));
        if (run.status == 2) CHECK_FALSE(outcome.err.empty());
    }
}

TEST_CASE("velmora script run edits one event and prints what the engine would store") {
    testsupport::TempDir folder;
    const auto write = [&](const std::string& name, const std::string& contents) {
        std::ofstream(folder / name, std::ios::binary) << contents;
        return (folder / name).string();
    };
    // Moves "value" to "amount" (failing on events named "bad"), and creates
    // "copy" with the setting "tag" for every event.
    const auto program = write("edit.txt",
                               "(var \"reg\" \"log\" \"kv\")\n"
                               "(set \"reg\" (\"require\" \"internal.registerCallback\"))\n"
                               "(set \"log\" (\"require\" \"internal.eventLogger\"))\n"
                               "(set \"kv\" (\"require\" \"internal.remoteConfig\"))\n"
                               "(function \"edit\" (array \"e\")\n"
                               "  (if (is (call $e \"getEventName\" (array)) \"bad\")\n"
                               "      (code (call null \"x\" (array))))\n"
                               "  (call $e \"setParamValue\"\n"
                               "        (array \"amount\" (call $e \"getParamValue\" (array \"value\"))))\n"
                               "  (call $e \"setParamValue\" (array \"value\" null)) (return 0))\n"
                               "(function \"make\" (array \"e\") (\"log\" \"copy\" 5.5 "
                               "(object \"tag\" (call $kv \"getValue\" (array \"tag\" \"none\")))))\n"
                               "(\"reg\" 0 $edit (object \"type\" \"edit\"))\n"
                               "(\"reg\" 0 $make (object \"type\" \"create\"))\n");
    const auto eventOf = [](const Value& event) {
        const auto& fields = event.asDictionary();
        return fields.at("name").asString() + "@" + platform::writeJSON(fields.at("timestamp")) + " " +
               platform::writeJSON(fields.at("parameters"));
    };

    SUBCASE("an edited event and a created one") {
        const auto run =
            runTool({"script", "run", "--text", program, "--setting", "tag=blue", "--event",
                     "{\"name\": \"purchase\", \"timestamp\": 100.5, \"parameters\": {\"value\": 12}}"});
        REQUIRE(run.status == 0);
        const auto result = jsonOf(run.out).asDictionary();
        CHECK(result.at("edited") == Value(true));
        CHECK(eventOf(result.at("event")) == "purchase@100.5 {\"amount\":12.0}");
        REQUIRE(result.at("created").asArray().size() == 1);
        CHECK(eventOf(result.at("created").asArray()[0]) == "copy@5.0 {\"tag\":\"blue\"}");
    }
    SUBCASE("the default event, without the setting") {
        const auto run = runTool({"script", "run", "--text", program});
        REQUIRE(run.status == 0);
        const auto result = jsonOf(run.out).asDictionary();
        CHECK(result.at("edited") == Value(false));
        CHECK(eventOf(result.at("event")) == "event@0.0 {}");
        CHECK(eventOf(result.at("created").asArray()[0]) == "copy@5.0 {\"tag\":\"none\"}");
    }
    SUBCASE("a failing program: the unedited event, nothing created, status 1") {
        const auto run = runTool({"script", "run", "--text", program, "--event",
                                  "{\"name\": \"bad\", \"parameters\": {\"value\": \"x\"}}"});
        CHECK(run.status == 1);
        const auto result = jsonOf(run.out).asDictionary();
        CHECK(result.at("error") ==
              Value(Value::Dictionary{{"stage", "event"}, {"domain", "measurement.script"}, {"code", 7}}));
        CHECK(eventOf(result.at("event")) == "bad@0.0 {\"value\":\"x\"}");
        CHECK(result.at("created").asArray().empty());
    }
    SUBCASE("a program that does not load") {
        const auto run = runTool({"script", "run", "--text", write("return.txt", "(return 1)")});
        CHECK(run.status == 1);
        CHECK(jsonOf(run.out).asDictionary().at("error") ==
              Value(Value::Dictionary{{"stage", "load"}, {"domain", "measurement.script.editing"}, {"code", 5}}));
    }
    SUBCASE("refused input: status 2 and the reason") {
        const std::vector<std::vector<std::string>> refused = {
            {"--text", program, "--event", "{\"name\": 5}"},
            {"--text", program, "--event", "{\"parameters\": {\"flag\": null}}"},
            {"--text", program, "--event", "[1]"},
            {"--text", program, "--setting", "novalue"},
            {"--text", write("broken.txt", "(add 1")},
            {write("garbage.pb", "\xff\xff\xff")},
            {write("binary.pb", std::string("\x01\x02\x03", 3))},
        };
        for (const auto& arguments : refused) {
            CAPTURE(arguments.back());
            auto command = std::vector<std::string>{"script", "run"};
            command.insert(command.end(), arguments.begin(), arguments.end());
            const auto run = runTool(command);
            CHECK(run.status == 2);
            CHECK_FALSE(run.err.empty());
            CHECK(run.out.empty());
        }
    }
}

TEST_CASE("an event logged with the service address set is uploaded to velmora collector and decoded there") {
    testsupport::TempDir data;
    Collector collector({"--once", "1", "--log", (data / "batches.jsonl").string()});
    const auto port = collector.waitFor(std::regex("listening on 127\\.0\\.0\\.1:([0-9]+)\n"), 20);
    REQUIRE(port);
    const std::string service = "http://127.0.0.1:" + *port;

    const auto logged = runTool({"analytics", "log", "tapped_upload", "n=5", "--data", data.path().string()},
                                {{"VELMORA_MEASUREMENT_SERVICE_URL", service}});
    CHECK(logged.status == 0);
    CHECK_FALSE(contains(logged.err, "No measurement service address"));

    // The collector stops by itself after the one batch.
    const auto printed = collector.outputUntilExit(30);
    CHECK(collector.exitStatus() == 0);
    CAPTURE(printed);
    CHECK(std::regex_search(printed, std::regex("POST /a: batch of 1 bundle, [0-9]+ bytes -> 204\n")));
    CHECK(contains(printed, "  measurement app identifier: velmora-bernoulli-ios\n"));
    CHECK(contains(printed, "    tapped_upload at "));
    CHECK(contains(printed, "      n = 5 (int)\n"));

    // The batch as JSON in the log file, and nothing left to send.
    const auto lines = testsupport::readText(data / "batches.jsonl");
    REQUIRE_FALSE(lines.empty());
    const auto batch = jsonOf(lines.substr(0, lines.find('\n'))).asDictionary();
    CAPTURE(lines);
    const auto& bundles = batch.at("bundles").asArray();
    REQUIRE(bundles.size() == 1);
    std::vector<std::string> names;
    for (const auto& event : bundles[0].asDictionary().at("events").asArray()) {
        names.push_back(event.asDictionary().at("name").asString());
    }
    CHECK(std::count(names.begin(), names.end(), "tapped_upload") == 1);
    const auto left = jsonOf(runTool({"analytics", "dump", "--data", data.path().string()}).out).asDictionary();
    CHECK(left.at("raw_events").asArray().empty());
    CHECK(left.at("queued_bundles").asArray().empty());
}

TEST_CASE("velmora analytics config takes the collector's program, which edits what the engine uploads") {
    testsupport::TempDir data;
    std::ofstream(data / "rename.txt") << "(var \"reg\") (set \"reg\" (\"require\" \"internal.registerCallback\"))\n"
                                          "(function \"cb\" (array \"e\")\n"
                                          "  (call $e \"setEventName\" (array \"renamed_by_program\")) (return 0))\n"
                                          "(\"reg\" 0 $cb (object \"type\" \"edit\"))\n";
    std::ofstream(data / "config.json") << R"({"version": 4, "app_id": "velmora-bernoulli-ios",
                                               "programs": [{"file": "rename.txt"}]})";
    Collector collector({"--config", (data / "config.json").string(), "--once", "2"});
    const auto port = collector.waitFor(std::regex("listening on 127\\.0\\.0\\.1:([0-9]+)\n"), 20);
    REQUIRE(port);
    const std::map<std::string, std::string> variables{{"VELMORA_DATA", data.path().string()},
                                                       {"VELMORA_MEASUREMENT_SERVICE_URL", "http://127.0.0.1:" + *port}};

    const auto fetched = runTool({"analytics", "config"}, variables);
    CHECK(fetched.status == 0);
    CHECK(fetched.out == "configuration version 4, event editing loaded\n");
    const auto logged = runTool({"analytics", "log", "tapped_upload"}, variables);
    CHECK(logged.status == 0);

    const auto printed = collector.outputUntilExit(30);
    CAPTURE(printed);
    CHECK(contains(printed, "GET /config/app/velmora-bernoulli-ios"));
    CHECK(contains(printed, "    renamed_by_program at "));
    CHECK_FALSE(contains(printed, "tapped_upload"));
}

TEST_CASE("velmora app says each fetch from its remote-configuration source that brought nothing, and fails") {
    testsupport::TempDir data;
    std::ofstream(data / "values.json") << "{\"entries\": {}}";
    std::ofstream(data / "quit.script") << "quit\n";
    Collector collector({"--remote-values", (data / "values.json").string()});
    const auto port = collector.waitFor(std::regex("listening on 127\\.0\\.0\\.1:([0-9]+)\n"), 20);
    REQUIRE(port);
    const std::string source = "http://127.0.0.1:" + *port + "/remote-values";
    // Each on a folder of its own: values fetched on one are fresh there.
    const auto launch = [&](const char* folder) {
        return runTool({"app", "--remote-config", source, "--script", (data / "quit.script").string(), "--data",
                        (data / folder).string()});
    };
    CHECK(launch("fetched").status == 0);
    // Edited once the collector serves it: the bytes go out as they stand.
    std::ofstream(data / "values.json") << "not a document";
    const auto refused = launch("refused");
    CAPTURE(refused.err);
    CHECK(refused.status == 1);
    CHECK(contains(refused.out, "remote configuration was not fetched: " + source + ": not JSON: "));
    CHECK(contains(refused.err, "velmora app: remote configuration was not fetched from the source given: " + source));
}

namespace {

std::vector<std::string> storedEventNames(const std::string& folder) {
    const auto dump = runTool({"analytics", "dump", "--data", folder});
    REQUIRE(dump.status == 0);
    const Value stored = jsonOf(dump.out);
    std::vector<std::string> names;
    for (const auto& event : stored.asDictionary().at("raw_events").asArray()) {
        names.push_back(event.asDictionary().at("name").asString());
    }
    return names;
}

}  // namespace

TEST_CASE("velmora analytics log names the event as stored, and the rule and code of what the engine refused") {
    testsupport::TempDir data;
    const std::string folder = data.path().string();
    std::vector<std::string> many{"many"};
    for (int i = 0; i < 30; ++i) many.push_back("p" + std::to_string(i) + "=1");
    struct Case {
        std::vector<std::string> event;
        int status;
        std::string out;  // the whole standard output
        std::string err;  // a part of standard error
        std::string stored;  // the name the dump then ends with
    };
    const std::vector<Case> cases = {
        {{"screen_view", "screen_name=Main"}, 0, "stored screen_view as \"_vs\"\n", "", "_vs"},
        {{"rozeda_try"}, 1, "",
         "the engine refused the name: the name begins with the reserved prefix \"rozeda_\" (code 13)", "_err"},
        {{"first_open"}, 1, "", "the name is reserved for the engine's own event \"_f\" (code 13)", "_err"},
        {{"9lives"}, 1, "", "the name does not begin with a letter (code 2)", "_err"},
        {{std::string(41, 'a')}, 1, "", "the name is longer than 40 characters (code 2)", "_err"},
        {{"tapped-try"}, 1, "", "the name holds more than letters, digits and \"_\" (code 2)", "_err"},
        {{"long_value", "text=" + std::string(600, 'x')}, 0, "",
         "stored, but the value of \"text\" had 600 characters and was cut to 500 (code 4)", "long_value"},
        {many, 0, "", "stored, but the event had more than 25 parameters: \"p5\" and those after it", "many"},
        {{"prefixed", "rozeda_p=3"}, 0, "",
         "stored, but parameter \"rozeda_p\" was dropped: its name begins with a reserved prefix (code 14)",
         "prefixed"},
        {{"plain", "n=1"}, 0, "", "", "plain"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.event.front());
        std::vector<std::string> arguments{"analytics", "log"};
        arguments.insert(arguments.end(), c.event.begin(), c.event.end());
        arguments.insert(arguments.end(), {"--data", folder});
        const auto run = runTool(arguments);
        CAPTURE(run.err);
        CHECK(run.status == c.status);
        CHECK(run.out == c.out);
        if (!c.err.empty()) CHECK(contains(run.err, c.err));
        if (c.err.empty()) CHECK_FALSE(contains(run.err, "velmora analytics log"));
        CHECK(storedEventNames(folder).back() == c.stored);
    }
}

TEST_CASE("velmora experiments --fetch says at once that no service is configured, else puts what it fetched in force") {
    testsupport::TempDir data;
    SUBCASE("no service: refused before the engine starts") {
        const auto run = runTool({"experiments", "--fetch", "--data", (data / "unused").string()});
        CHECK(run.status == 1);
        CHECK(contains(run.err, "--fetch needs an experiments service, and none is configured"));
        CHECK(run.out.empty());
        CHECK_FALSE(std::filesystem::exists(data / "unused"));
    }
    SUBCASE("a service that refuses the connection: the fetch failed, said with why as it ends") {
        const auto run = runTool({"experiments", "--fetch", "--data", (data / "refused").string()},
                                 {{"VELMORA_EXPERIMENTS_SERVICE_URL", "http://127.0.0.1:9/"}});
        CAPTURE(run.err);
        CHECK(run.status == 1);
        CHECK(contains(run.err, "velmora experiments: the fetch failed: the request failed: cannot connect"));
        CHECK_FALSE(contains(run.err, "no fetch ended"));
        CHECK(contains(run.out, "experiment IDs in bundles: none\n"));
    }
    SUBCASE("a service: the fetched experiments are the IDs of bundles at once") {
        std::ofstream(data / "experiments.json")
            << R"({"snapshots": [{"sdk_name": "doz_urerizarori", "experiments": [
                   {"experiment_id": 0, "flags": [{"name": "launched_to_everybody", "bool_value": true}]},
                   {"experiment_id": 7, "flags": [{"name": "regional_defaults_enabled", "bool_value": false}]},
                   {"experiment_id": 31, "flags": [{"name": "upload_style", "string_value": "batched"}]}]}]})";
        Collector collector({"--experiments", (data / "experiments.json").string()});
        const auto port = collector.waitFor(std::regex("listening on 127\\.0\\.0\\.1:([0-9]+)\n"), 20);
        REQUIRE(port);
        const auto run = runTool({"experiments", "--fetch", "--json", "--data-dir", (data / "folder").string()},
                                 {{"VELMORA_EXPERIMENTS_SERVICE_URL", "http://127.0.0.1:" + *port}});
        CAPTURE(run.err);
        REQUIRE(run.status == 0);
        const auto state = jsonOf(run.out).asDictionary();
        CHECK(state.at("experiment_ids") == Value(Value::Array{7, 31}));
        CHECK(state.at("regional_defaults_enabled") == Value(false));
        const auto& tables = state.at("tables").asDictionary();
        CHECK(tables.at("pending_snapshot_table") == Value(Value::Array{}));
        CHECK(tables.at("activated_snapshot_table").asArray().size() == 1);
    }
}

TEST_CASE("velmora's data folder option, pi, text programs, prices and remote-configuration files") {
    testsupport::TempDir data;
    SUBCASE("calc stores its event in the folder given as --data or --data-dir, not in $VELMORA_DATA") {
        const std::map<std::string, std::string> elsewhere{{"VELMORA_DATA", (data / "environment").string()}};
        for (const char* option : {"--data", "--data-dir"}) {
            CAPTURE(option);
            const std::string folder = (data / option).string();
            const auto run = runTool({"calc", "--k", "2", "--n", "5", "--p", "0.3", option, folder}, elsewhere);
            CHECK(run.status == 0);
            CHECK(storedEventNames(folder) == std::vector<std::string>{"_f", "kuvo_calculate"});
        }
        CHECK_FALSE(std::filesystem::exists(data / "environment"));
    }
    SUBCASE("pi is typed as the keypad's pi") {
        const std::map<std::string, std::string> variables{{"VELMORA_DATA", data.path().string()}};
        const auto ascii = runTool({"calc", "--k", "1", "--n", "2", "--p", "pi/4", "--json"}, variables);
        const auto keypad = runTool({"calc", "--k", "1", "--n", "2", "--p", "\xCF\x80/4", "--json"}, variables);
        REQUIRE(ascii.status == 0);
        const auto result = jsonOf(ascii.out).asDictionary();
        const double p = std::numbers::pi / 4;
        CHECK(std::stod(result.at("probability").asString()) == doctest::Approx(2 * p * (1 - p)).epsilon(1e-3));
        CHECK(ascii.out == keypad.out);
    }
    SUBCASE("refused with the reason and status 2; what help and the application say instead") {
        std::ofstream(data / "sum.txt") << "(add 1 2)\n";
        std::ofstream(data / "quit.script") << "quit\n";
        std::ofstream(data / "values.json") << "{\"entries\": {\"a\": 1,}}\n";
        std::filesystem::create_directories(data / "bundle" / "en.lproj");
        std::ofstream(data / "bundle" / "en.lproj" / "Localizable.strings") << "\"Calculate Title\" = oops\n";
        const std::string folder = data.path().string();
        const std::string tooLong = (data / std::string(5000, 'a')).string();
        const std::string refusedName = " names a path the file system refuses (a part of it is 5000 bytes long";
        const std::string noNumber = "give it in double quotes: s='\"";
        struct Case {
            std::vector<std::string> arguments;
            std::string err;  // a part of standard error; standard output empty
            std::map<std::string, std::string> variables = {};
            int status = 2;
            std::string out = {};  // a part of standard output, for a status other than 2
            std::string notOut = {};  // what standard output must not hold, for a status other than 2
        };
        const std::string quit = (data / "quit.script").string();
        const std::string noAddress = " is not an http address on this machine (give a loopback http address";
        const std::string empty = ": an empty value names nothing: give ";
        const std::string emptyVariable = " is set but empty, and names no ";
        // What no command can use as a file or folder, and data folders
        // whose own folders the engine cannot make.
        const std::string programs = (data / "programs").string();
        const std::string fifo = (data / "fifo").string();
        const std::string sum = (data / "sum.txt").string();
        std::filesystem::create_directories(programs);
        REQUIRE(mkfifo(fifo.c_str(), 0644) == 0);
        const std::string noDatabase = (data / "no-database").string();
        const std::string noPreferences = (data / "no-preferences").string();
        std::filesystem::create_directories(noDatabase);
        std::filesystem::create_directories(noPreferences);
        std::filesystem::create_directories(data / "no-database" / "Application Support");
        std::ofstream(data / "no-database" / "Application Support" / "Rozeda") << "a file where the engine's folder goes\n";
        std::ofstream(data / "no-preferences" / "Preferences") << "a file where the preferences go\n";
        // A preferences folder that takes no write, whoever runs the test:
        // no file can be made in a process's folder of /proc.
        const std::string unwritable = (data / "unwritable-preferences").string();
        std::filesystem::create_directories(unwritable);
        std::filesystem::create_directory_symlink("/proc/self", data / "unwritable-preferences" / "Preferences");
        // TCF data that the engine keeps a copy of in a suite of its own,
        // whose lock another process holds: the copy cannot be written.
        const std::string tcfLocked = (data / "tcf-locked").string();
        std::filesystem::create_directories(data / "tcf-locked" / "Preferences");
        std::ofstream(data / "tcf-locked" / "Preferences" / "com.velmora.bernoulli.plist", std::ios::binary)
            << platform::writePropertyListBinary(Value(Value::Dictionary{{"IABTCF_gdprApplies", 1}}));
        const std::string tcfLock = tcfLocked + "/Preferences/com.rozeda.measurement.tcf.plist.lock";
        testsupport::FileLockHolder tcfHolder(tcfLock, true);
        // A data folder, and a folder above one, that lead to nothing.
        const std::string dangling = (data / "dangling").string();
        std::filesystem::create_directory_symlink(data / "nothing-here", dangling);
        const std::string noEngineFolder = (data / "no-engine-folder").string();
        std::filesystem::create_directories(noEngineFolder);
        std::ofstream(data / "no-engine-folder" / "Application Support") << "a file where the engine's folder goes\n";
        // Long paths are shortened in messages: what lies there is named.
        const std::string noEngineFolderSaid = ": the measurement engine's folder of --data is a file, not a folder: ";
        const std::string noPreferencesSaid = ": the preferences folder of --data is a file, not a folder: ";
        const std::string danglingSaid = ": --data is a link to " + (data / "nothing-here").string() +
                                         ", which is not there: " + dangling;
        std::ofstream(data / "not-json.json") << "{\"entries\": {\"a\": 1}\n";
        // A name that would colour the terminal and is no UTF-8; a link round a
        // loop back to itself; a script an editor began with a byte-order mark.
        const std::string escapeName = (data / "colour\x1b[31m\xff").string();
        std::ofstream(escapeName) << "a file\n";
        const std::string loop = (data / "loop").string();
        std::filesystem::create_directory_symlink(data / "loop", loop);
        std::ofstream(data / "bom.script") << "\xEF\xBB\xBF" << "bogus\nquit\n";
        const std::string notJSON = (data / "not-json.json").string();
        // A TCF copy whose lock another process holds, in a folder whose name
        // would split a line and colour the terminal: every line that names
        // it escapes it.
        const std::string oddTcf = (data / "tcf\nlocked\x1b[31m").string();
        std::filesystem::create_directories(oddTcf + "/Preferences");
        std::ofstream(oddTcf + "/Preferences/com.velmora.bernoulli.plist", std::ios::binary)
            << platform::writePropertyListBinary(Value(Value::Dictionary{{"IABTCF_gdprApplies", 1}}));
        testsupport::FileLockHolder oddTcfHolder(oddTcf + "/Preferences/com.rozeda.measurement.tcf.plist.lock", true);
        const std::string oddTcfLockSaid =
            (data / "tcf\\nlocked\\x1b[31m" / "Preferences" / "com.rozeda.measurement.tcf.plist.lock").string();
        const std::string absent = (data / "absent").string();
        const std::string noLanguage = "\" names no language: give a language of two or three letters";
        const std::string noCurrency = "\" is not a currency code: three capital letters, such as USD";
        const std::string unreachable = "velmora: VELMORA_NETWORK_REACHABLE is 0, no or false (unreachable) or 1, yes "
                                        "or true (reachable), not \"";
        const std::vector<Case> cases = {
            // A fetch that failed is said, with why, and fails the command.
            {{"analytics", "config", "--data", (data / "fetched").string()},
             "velmora analytics config: the fetch failed: the request failed: cannot connect",
             {{"VELMORA_MEASUREMENT_SERVICE_URL", "http://127.0.0.1:9/"}}, 1},
            // Preferences that could never be kept stop every command before
            // it starts; preferences that were not kept fail it as it ends.
            {{"app", "--script", quit, "--data", noPreferences}, "velmora app" + noPreferencesSaid},
            {{"calc", "--k", "1", "--n", "2", "--p", "0.5", "--data", noPreferences}, "velmora calc" + noPreferencesSaid},
            {{"analytics", "log", "x", "--data", noPreferences}, "velmora analytics log" + noPreferencesSaid},
            {{"experiments", "--data", noPreferences}, "velmora experiments" + noPreferencesSaid},
            {{"app", "--script", quit, "--data", noEngineFolder}, "velmora app" + noEngineFolderSaid},
            {{"calc", "--k", "1", "--n", "2", "--p", "0.5", "--data", noEngineFolder}, "velmora calc" + noEngineFolderSaid},
            {{"analytics", "dump", "--data", noEngineFolder}, "velmora analytics dump" + noEngineFolderSaid},
            {{"app", "--script", quit, "--data", unwritable},
             "velmora app: the preferences of this run could not be kept, so the next start will not find them: "
             "cannot write " + unwritable + "/Preferences/", {}, 1},
            {{"analytics", "consent", "ad_storage=granted", "--data", unwritable},
             "velmora analytics consent: the consent given was not kept: ", {}, 1},
            {{"calc", "--k", "1", "--n", "2", "--p", "0.5", "--data", tcfLocked},
             "velmora calc: the preferences of this run could not be kept, so the next start will not find them: " +
                 tcfLock + " ",
             {{"VELMORA_LOCK_WAIT_SECONDS", "0"}}, 1},
            // A data folder that is a link to nothing, from every command.
            {{"app", "--script", quit, "--data", dangling}, "velmora app" + danglingSaid},
            {{"calc", "--k", "1", "--n", "2", "--p", "0.5", "--data", dangling}, "velmora calc" + danglingSaid},
            {{"analytics", "log", "x", "--data", dangling}, "velmora analytics log" + danglingSaid},
            {{"analytics", "dump", "--data", dangling}, "velmora analytics dump" + danglingSaid},
            {{"experiments", "--data", dangling}, "velmora experiments" + danglingSaid},
            // Values no command can use.
            {{"experiments", "--fetch", "--data", folder},
             "velmora: VELMORA_EXPERIMENTS_SERVICE_URL names no http or https address (such as "
             "http://127.0.0.1:PORT/): \"http://[zz]/\": its host [zz] is in brackets, which hold an IPv6 address",
             {{"VELMORA_EXPERIMENTS_SERVICE_URL", "http://[zz]/"}}},
            {{"analytics", "open", "bern://[zz]/?utm_source=mail", "--data", folder},
             "velmora analytics open: \"bern://[zz]/?utm_source=mail\" is no URL: its host [zz] is in brackets"},
            {{"analytics", "purchase", "pro", "--price", "1", "--currency", "", "--data", folder},
             "velmora analytics purchase: --currency: \"" + noCurrency},
            {{"analytics", "purchase", "pro", "--price", "1", "--currency", "US\nD", "--data", folder},
             "--currency: \"US\\nD" + noCurrency},
            // What a refusal quotes is escaped as the engine's log escapes it: one line, nothing for the terminal.
            {{"analytics", "log", "x", "--data", escapeName},
             "velmora analytics log: --data is a file, not a folder: " + (data / "colour\\x1b[31m\\xff").string() + "\n"},
            {{"analytics", "identity", "--data", folder}, "0F0E0D0C-0B0A-4908-8706-05040302010\\n\"\n",
             {{"VELMORA_IDENTIFIER_FOR_VENDOR", "0F0E0D0C-0B0A-4908-8706-05040302010\n"}}},
            // A UUID in either case, kept as the platform writes it.
            {{"analytics", "identity", "--data", (data / "identity").string()}, "", {{"VELMORA_IDENTIFIER_FOR_VENDOR",
             "0f0e0d0c-0b0a-4908-8706-050403020100"}}, 0, "\"0F0E0D0C-0B0A-4908-8706-050403020100\"", "0f0e0d0c"},
            // An empty product, refused at once naming the rule.
            {{"analytics", "purchase", "", "--price", "1", "--data", folder},
             "velmora analytics purchase: product: the product identifier is empty, and the engine reports no "
             "purchase without one"},
            // Help refuses what the command refuses.
            {{"analytics", "log", "--help", "ev", "a=1", "a=2", "--data", folder},
             "velmora analytics log: the parameter \"a\" is given more than once: give each key once"},
            {{"analytics", "consent", "--help", "ad_storage=maybe", "--data", folder},
             "velmora analytics consent: ad_storage is granted or denied, not \"maybe\""},
            {{"analytics", "open", "--help", "open?utm_source=mail", "--data", folder},
             "velmora analytics open: \"open?utm_source=mail\" is no URL: it does not begin with a scheme"},
            {{"script", "run", "--text", sum, "--setting", "tag=blue", "--setting", "tag=red"},
             "velmora script run: the setting \"tag\" is given more than once: give each setting once"},
            // An empty language names none; nor does any value without a
            // language of two or three letters before its region.
            {{"app", "--lang", "", "--script", quit, "--data", folder}, "velmora app: --lang: an empty value names no "
             "language"},
            {{"app", "--lang", ".", "--script", quit, "--data", folder}, "velmora app: --lang: \"." + noLanguage},
            {{"app", "--lang", "C", "--script", quit, "--data", folder}, "velmora app: --lang: \"C" + noLanguage},
            {{"app", "--lang", "_", "--script", quit, "--data", folder}, "velmora app: --lang: \"_" + noLanguage},
            {{"app", "--lang", "@euro", "--script", quit, "--data", folder}, "--lang: \"@euro" + noLanguage},
            {{"app", "--lang", "../../etc", "--script", quit, "--data", folder}, "--lang: \"../../etc" + noLanguage},
            {{"app", "--lang", "POSIX", "--help"}, "velmora app: --lang: \"POSIX" + noLanguage},
            {{"app", "--lang", "de_DE.UTF-8@euro", "--script", quit, "--data", (data / "lang-de").string()}, "", {}, 0,
             "--lang: the application has no texts in \"de\""},
            // A data folder given at both levels: which was meant cannot be told.
            {{"analytics", "--data", folder, "log", "ev", "--data", (data / "other").string()},
             "velmora analytics log: --data is given to velmora analytics and to velmora analytics log: give it "
             "once, to either"},
            {{"analytics", "--data-dir", folder, "dump", "--data", (data / "other").string()},
             "velmora analytics dump: --data is given to velmora analytics and to velmora analytics dump"},
            // Help refuses the files, folders and variables the command
            // refuses, as it refuses its words.
            {{"app", "--help", "--script", absent, "--data", folder},
             "velmora app: --script names nothing that is there: " + absent},
            {{"app", "--help", "--remote-config", "http://192.0.2.1/remote-values", "--data", folder},
             "velmora app: --remote-config cannot be used: http://192.0.2.1/remote-values" + noAddress},
            {{"app", "--help", "--data", dangling}, "velmora app" + danglingSaid},
            {{"collector", "--port", "0", "--help", "--config", absent},
             "velmora collector: --config names nothing that is there: " + absent},
            {{"collector", "--help", "--port", "0", "--host", "10.0.0.1"},
             "velmora collector: the collector listens on 127.0.0.1 only, not 10.0.0.1"},
            {{"script", "eval", "--help", absent}, "velmora script eval: FILE names nothing that is there: " + absent},
            {{"script", "run", "--help", "--text", absent}, "velmora script run: PROGRAM names nothing that is there"},
            {{"app", "--help", "--data", folder},
             "velmora app: $VELMORA_RESOURCES names no application bundle: there is no folder at /nonexistent",
             {{"VELMORA_RESOURCES", "/nonexistent"}}},
            {{"calc", "--help"}, "velmora calc: $VELMORA_RESOURCES names no application bundle",
             {{"VELMORA_RESOURCES", "/nonexistent"}}},
            {{"analytics", "identity", "--help"}, "velmora analytics identity: $VELMORA_RESOURCES names no application",
             {{"VELMORA_RESOURCES", "/nonexistent"}}},
            {{"experiments", "--help", "--data", noPreferences}, "velmora experiments" + noPreferencesSaid},
            {{"analytics", "dump", "--help", "--data", "/dev/null"},
             "velmora analytics dump: --data is a device, not a folder: /dev/null"},
            // An event no program can take is refused before the program is
            // read: the event is named, not the program, help beside it or not.
            {{"script", "run", "--text", sum, "--event", "{\"name\": 5}"}, "velmora script run: --event: "},
            {{"script", "run", "--help", "--text", sum, "--event", "[1]"}, "velmora script run: --event: "},
            {{"script", "run", "--help", "--text", absent, "--event", "[1]"}, "velmora script run: --event: "},
            // What a line quotes from outside is escaped: the preferences'
            // own line, the command's last, and the locale's notice.
            {{"calc", "--k", "1", "--n", "2", "--p", "0.5", "--data", oddTcf},
             "user defaults: cannot save preferences: " + oddTcfLockSaid + " stayed locked by ",
             {{"VELMORA_LOCK_WAIT_SECONDS", "0"}}, 1},
            {{"calc", "--k", "1", "--n", "2", "--p", "0.5", "--data", oddTcf},
             "velmora calc: the preferences of this run could not be kept, so the next start will not find them: " +
                 oddTcfLockSaid + " ",
             {{"VELMORA_LOCK_WAIT_SECONDS", "0"}}, 1},
            {{"app", "--data", (data / "lang-escaped").string(), "--script", quit}, "",
             {{"LC_ALL", ""}, {"LC_MESSAGES", ""}, {"LANG", "fr_FR\n\x1b[31m"}}, 0,
             "locale fr_FR\\n\\x1b[31m: the application has no texts in \"fr\""},
            // A loop of links is called one.
            {{"analytics", "log", "x", "--data", loop},
             "velmora analytics log: --data is a link to " + loop + ", which leads round a loop of links back to itself"},
            // No version line beside a fetch that was never made.
            {{"analytics", "config", "--data", (data / "unfetched").string()},
             "velmora analytics config: no measurement service address to fetch from", {}, 1, "", "configuration version"},
            // An IPv6 address with its zone is one.
            {{"analytics", "config", "--data", (data / "zoned").string()},
             "velmora analytics config: the fetch failed: the request failed: ",
             {{"VELMORA_MEASUREMENT_SERVICE_URL", "http://[::1%25lo]:9/"}}, 1, "", "configuration version"},
            // A byte-order mark before a script's first line is no part of its command.
            {{"app", "--script", (data / "bom.script").string(), "--data", (data / "bom").string()}, "", {}, 0,
             "unknown command \"bogus\""},

            {{"analytics", "purchase", "pro", "--price", "1", "--currency", "usd", "--data", folder},
             "--currency: \"usd" + noCurrency},
            {{"analytics", "log", "probe", "a=1", "a=2", "--data", folder},
             "velmora analytics log: the parameter \"a\" is given more than once: give each key once"},
            {{"analytics", "consent", "ad_storage=granted", "ad_storage=denied", "--data", folder},
             "velmora analytics consent: ad_storage is given more than once: give each consent type once"},
            {{"analytics", "log", "x", "--data", folder}, unreachable + "NO\"", {{"VELMORA_NETWORK_REACHABLE", "NO"}}},
            {{"analytics", "log", "x", "--data", folder}, unreachable + " 0\"", {{"VELMORA_NETWORK_REACHABLE", " 0"}}},
            {{"analytics", "identity", "--data", folder}, "velmora: VELMORA_IDENTIFIER_FOR_VENDOR is a UUID as the",
             {{"VELMORA_IDENTIFIER_FOR_VENDOR", "0F0E0D0C-0B0A-4908-8706-05040302010\n"}}},
            {{"collector", "--port", "0", "--remote-values", notJSON},
             "velmora collector: " + notJSON + ": no remote-configuration document ({\"entries\": {...}}): not JSON"},
            {{"collector", "--port", "0", "--search-ad-reply", notJSON}, "velmora collector: " + notJSON + ": not JSON"},
            // Help answers a command line that reads otherwise.
            {{"calc", "--help", "--bogus"}, "velmora calc: --bogus is no option of velmora calc"},
            {{"calc", "--bogus", "--help"}, "velmora calc: --bogus is no option of velmora calc"},
            {{"calc", "--help", "--k", "1", "--k", "2"}, "velmora calc: --k is given more than once"},
            // The preferences folder of the programs that set no data folder.
            {{"script", "eval", "--text", sum}, "velmora script eval: $VELMORA_PREFERENCES is a file, not a folder: " + sum,
             {{"VELMORA_PREFERENCES", sum}}},
            {{"collector", "--port", "0"}, "velmora collector: $VELMORA_PREFERENCES lies under " + sum,
             {{"VELMORA_PREFERENCES", sum + "/Preferences"}}},

            // Nothing that cannot be used ends a command with a signal.
            {{"analytics", "config", "--data", "/dev/null"},
             "velmora analytics config: --data is a device, not a folder: /dev/null"},
            {{"analytics", "log", "x", "--data", sum + "/data"},
             "velmora analytics log: --data lies under " + sum + ", which is a file, not a folder"},
            {{"analytics", "config", "--data", noDatabase}, "velmora analytics config: the measurement database could "
             "not be opened: Failed to open database", {}, 1},
            {{"script", "eval", programs}, "velmora script eval: FILE is a folder, not a file: " + programs},
            {{"script", "run", "--text", fifo}, "velmora script run: PROGRAM is a fifo, not a file: " + fifo},
            {{"collector", "--port", "0", "--config", programs}, "velmora collector: --config is a folder, not a file"},
            {{"collector", "--port", "0", "--log", fifo}, "velmora collector: --log is a fifo, not a file"},
            // No command says it did what it could not.
            {{"analytics", "open", "bern://open?utm_source=mail", "--data", noDatabase},
             "velmora analytics open: the measurement database could not be opened: ", {}, 1},
            {{"experiments", "--data", noDatabase}, "velmora experiments: the experiments database ", {}, 1},
            // No size, style, address or file taken in silence.
            {{"app", "--script", programs, "--data", folder}, "velmora app: --script is a folder, not a file: "},
            {{"app", "--screen", "", "--script", quit, "--data", folder},
             "velmora app: --screen: \"\" is not WIDTHxHEIGHT in points, 100 to 4096 each"},
            {{"app", "--style", "", "--script", quit, "--data", folder}, "velmora app: --style: \"\" is not dark or light"},
            {{"analytics", "log", "x", "--data", folder},
             "velmora: VELMORA_MEASUREMENT_SERVICE_URL names no http or https address",
             {{"VELMORA_MEASUREMENT_SERVICE_URL", "notaurl"}}},
            {{"app", "--script", quit}, "velmora: VELMORA_CONNECTION_PROBE_URL" + emptyVariable,
             {{"VELMORA_CONNECTION_PROBE_URL", ""}}},
            // Usage errors, all of them status 2.
            {{}, "velmora: a command is missing: give analytics, experiments, script, calc, app or collector"},
            {{"analytics", "identity", "--json", "--json", "--data", folder},
             "velmora analytics identity: --json is given more than once: give it once"},
            {{"collector", "--port", "0", "--host", "10.0.0.1"},
             "velmora collector: the collector listens on 127.0.0.1 only, not 10.0.0.1"},
            // README's example of text that is no absolute URL is one.
            {{"analytics", "open", readmeExample("text that is no absolute URL (`"), "--data", folder}, "\" is no URL: "},
            {{"script", "eval", (data / "sum.txt").string()}, "sum.txt is a program in text form: pass --text"},
            {{"script", "run", (data / "sum.txt").string()}, "sum.txt is a program in text form: pass --text"},
            {{"analytics", "purchase", "pro", "--price", "abc", "--data", folder}, "the price \"abc\" is not a number"},
            {{"analytics", "purchase", "pro", "--price", "1.", "--data", folder}, "the price \"1.\" is not a number"},
            {{"analytics", "purchase", "pro", "--price", "-1", "--data", folder},
             "the price \"-1\" is not a number as the store gives prices: a non-negative decimal"},
            {{"analytics", "purchase", "pro", "--price", "1e300", "--data", folder}, "the price \"1e300\" is not a number"},
            {{"analytics", "purchase", "pro", "--price", "9223372036854.775808", "--data", folder},
             "the price 9223372036854.775808 times the quantity 1 is more than the engine stores: at most "
             "9223372036854.775807"},
            {{"analytics", "purchase", "pro", "--price", "0009999999999999.5", "--data", folder},
             "the price 0009999999999999.5 times the quantity 1 is more than the engine stores"},
            {{"analytics", "purchase", "pro", "--price", "4611686018427.387904", "--quantity", "2", "--data", folder},
             "the price 4611686018427.387904 times the quantity 2 is more than the engine stores"},
            {{"analytics", "purchase", "pro", "--price", "1", "--quantity", "-2", "--data", folder},
             "velmora analytics purchase: --quantity: \"-2\" is not a whole number from 1 to 9223372036854775807"},
            {{"analytics", "purchase", "pro", "--price", "1", "--quantity", "0", "--data", folder},
             "--quantity: \"0\" is not a whole number from 1 to 9223372036854775807"},
            // What the parser cannot read, and the limits, name the value given.
            {{"analytics", "purchase", "pro", "--price", "1", "--quantity", "1.5", "--data", folder},
             "velmora analytics purchase: --quantity: \"1.5\" is not a whole number from 1 to 9223372036854775807"},
            {{"analytics", "purchase", "pro", "--price", "1", "--quantity", "99999999999999999999", "--data", folder},
             "--quantity: \"99999999999999999999\" is not a whole number from 1 to 9223372036854775807"},
            {{"analytics", "purchase", "pro", "--price", "1", "--quantity", "0x10", "--data", folder},
             "--quantity: \"0x10\" is not a whole number"},
            {{"analytics", "purchase", "pro", "--price", "1", "--quantity", "", "--data", folder},
             "--quantity: \"\" is not a whole number"},
            {{"analytics", "purchase", "pro", "--price", "0.000001", "--quantity", "9223372036854775808", "--data",
              folder},
             "--quantity: \"9223372036854775808\" is not a whole number from 1 to 9223372036854775807"},
            {{"analytics", "purchase", "pro", "--price", "1", "--quantity", "010000000000000", "--data", folder},
             "the price 1 times the quantity 10000000000000 is more than the engine stores"},
            {{"analytics", "purchase", "pro", "--price", "1", "--type", "7", "--data", folder},
             "--type: \"7\" is not 0 (non-consumable), 1 (consumable), 2 (non-renewing) or 3 (auto-renewable)"},
            {{"analytics", "purchase", "pro", "--price", "0.0000001", "--data", folder},
             "velmora analytics purchase: --price: the price 0.0000001 has more decimals than the engine keeps: at "
             "most 6"},
            {{"analytics", "consent", "--json=maybe", "--data", folder},
             "velmora analytics consent: --json: \"maybe\" cannot be read: --json is a flag"},
            {{"collector", "--port", "x"}, "velmora collector: --port: \"x\" is not a whole number from 0 to 65535"},
            {{"collector", "--port", "70000"}, "--port: \"70000\" is not a whole number from 0 to 65535"},
            {{"collector", "--port", "0", "--status-a", "20x"}, "--status-a: \"20x\" is not a whole number from 200 to 599"},
            {{"collector", "--port", "0", "--once", "-1"}, "--once: \"-1\" is not a whole number from 0 to"},
            {{"analytics", "log", "typed", "v=9223372036854775809", "--data", folder},
             "the value of \"v\" is a whole number past 64 bits"},
            {{"analytics", "log", "typed", "v=-9223372036854775809", "--data", folder},
             "give it in double quotes: v='\"-9223372036854775809\"'"},
            {{"app", "--open-url", "", "--data", folder}, "--open-url \"\" is no URL: it does not begin"},
            {{"analytics", "log", "typed", "s=NaN", "--data", folder}, "the value of \"s\" is not a finite number"},
            {{"analytics", "log", "typed", "s=-Infinity", "--data", folder}, noNumber + "-Infinity\"'"},
            {{"analytics", "log", "typed", "s=1" + std::string(400, '0') + ".5", "--data", folder},
             "the value of \"s\" is beyond the range of a number"},
            {{"analytics", "open", "not a url", "--data", folder},
             "\"not a url\" is no URL: it does not begin with a scheme"},
            {{"analytics", "open", "bern://open?utm_source=a b", "--data", folder},
             "is no URL: its query holds a character outside the URL alphabet"},
            {{"app", "--open-url", "notaurl", "--data", folder}, "--open-url \"notaurl\" is no URL: it does not begin"},
            {{"app", "--data", folder},
             "$VELMORA_RESOURCES names no application bundle: there is no folder at /nonexistent",
             {{"VELMORA_RESOURCES", "/nonexistent"}}},
            {{"app", "--data", folder},
             "holds no strings table en.lproj/Localizable.strings",
             {{"VELMORA_RESOURCES", (data / "bundle").string()}}},
            {{"app", "--remote-config", (data / "absent.json").string(), "--data", folder}, "--remote-config names no file: "},
            {{"app", "--data", folder},
             "$VELMORA_REMOTE_CONFIG_SOURCE names no file: ",
             {{"VELMORA_REMOTE_CONFIG_SOURCE", (data / "absent.json").string()}}},
            // Remote configuration the application could not use.
            {{"app", "--remote-config", (data / "values.json").string(), "--script", quit, "--data", folder},
             "velmora app: --remote-config cannot be used: " + (data / "values.json").string() + ": not JSON: "},
            {{"app", "--remote-config", "http://192.0.2.1/remote-values", "--script", quit, "--data", folder},
             "velmora app: --remote-config cannot be used: http://192.0.2.1/remote-values" + noAddress},
            {{"app", "--remote-config", "https://127.0.0.1:9/remote-values", "--script", quit, "--data", folder},
             noAddress},
            {{"app", "--script", quit, "--data", folder},
             "$VELMORA_REMOTE_CONFIG_SOURCE cannot be used: http://localhost.example/",
             {{"VELMORA_REMOTE_CONFIG_SOURCE", "http://localhost.example/"}}},
            // The parser's errors in the tool's words.
            {{"--bogus", "calc"}, "velmora: --bogus is no option of velmora: it takes --help"},
            {{"calc", "--bogus=1"}, "velmora calc: --bogus is no option of velmora calc: it takes --help, --k, --n"},
            {{"app", "--bogus"}, "velmora app: --bogus is no option of velmora app: it takes --help, --script"},
            {{"frobnicate"}, "velmora: \"frobnicate\" is no command of velmora: give analytics, experiments, script"},
            {{"analytics", "frobnicate"}, "velmora analytics: \"frobnicate\" is no command of velmora analytics: give"},
            {{"analytics"}, "velmora analytics: a command is missing: give log, purchase, dump"},
            {{"script"}, "velmora script: a command is missing: give eval or run"},
            {{"calc", "extra"}, "velmora calc: \"extra\" is a word too many: velmora calc takes no words beside its"},
            {{"analytics", "open", "bern://open", "extra", "--data", folder},
             "\"extra\" is a word too many: velmora analytics open takes only url beside its options"},
            {{"calc", "--p", "0.3", "--p", "0.5"}, "velmora calc: --p is given more than once: give it once"},
            {{"collector", "--port", "0", "--port", "1"}, "velmora collector: --port is given more than once"},
            {{"calc", "--data", folder, "--data-dir", folder}, "velmora calc: --data is given more than once"},
            {{"calc", "--k"}, "velmora calc: --k needs a value: successes k, as typed"},
            {{"app", "--screen"}, "velmora app: --screen needs a value: Screen size in points"},
            {{"collector"}, "velmora collector: --port is required: port to listen on"},
            {{"analytics", "open", "--data", folder}, "velmora analytics open: url is required: The link, an absolute"},
            // An empty path, from every option and variable that names one.
            {{"app", "--script", quit, "--data", ""}, "velmora app: --data" + empty},
            {{"app", "--script", quit, "--data-dir", ""}, "velmora app: --data" + empty},
            {{"app", "--data", folder, "--script", ""}, "velmora app: --script" + empty},
            {{"app", "--script", quit, "--remote-config", ""}, "velmora app: --remote-config" + empty},
            {{"calc", "--k", "1", "--n", "2", "--p", "0.5", "--data", ""}, "velmora calc: --data" + empty},
            {{"analytics", "log", "x", "--data", ""}, "velmora analytics log: --data" + empty},
            {{"analytics", "dump", "--data", ""}, "velmora analytics dump: --data" + empty},
            {{"experiments", "--data", ""}, "velmora experiments: --data" + empty},
            {{"collector", "--port", "0", "--config", ""}, "velmora collector: --config" + empty},
            {{"collector", "--port", "0", "--remote-values", ""}, "velmora collector: --remote-values" + empty},
            {{"collector", "--port", "0", "--search-ad-reply", ""}, "velmora collector: --search-ad-reply" + empty},
            {{"collector", "--port", "0", "--skan-reply", ""}, "velmora collector: --skan-reply" + empty},
            {{"collector", "--port", "0", "--experiments", ""}, "velmora collector: --experiments" + empty},
            {{"collector", "--port", "0", "--log", ""}, "velmora collector: --log" + empty},
            {{"script", "eval", ""}, "velmora script eval: FILE" + empty},
            {{"script", "run", "--text", ""}, "velmora script run: PROGRAM" + empty},
            {{"app", "--script", quit}, "velmora: VELMORA_DATA" + emptyVariable, {{"VELMORA_DATA", ""}}},
            {{"app", "--script", quit}, "VELMORA_RESOURCES" + emptyVariable, {{"VELMORA_RESOURCES", ""}}},
            {{"app", "--script", quit}, "VELMORA_REMOTE_CONFIG_SOURCE" + emptyVariable,
             {{"VELMORA_REMOTE_CONFIG_SOURCE", ""}}},
            {{"script", "eval", quit}, "velmora: VELMORA_PREFERENCES" + emptyVariable, {{"VELMORA_PREFERENCES", ""}}},
            {{"calc", "--k", "1", "--n", "2", "--p", "0.5"}, "VELMORA_DATA" + emptyVariable, {{"VELMORA_DATA", ""}}},
            // Names the file system refuses, from every command alike.
            {{"app", "--data", tooLong}, "velmora app: --data" + refusedName},
            {{"app", "--remote-config", tooLong, "--data", folder}, "velmora app: --remote-config" + refusedName},
            {{"app", "--data", folder}, "$VELMORA_REMOTE_CONFIG_SOURCE" + refusedName,
             {{"VELMORA_REMOTE_CONFIG_SOURCE", tooLong}}},
            {{"app"}, "velmora app: $VELMORA_DATA" + refusedName, {{"VELMORA_DATA", tooLong}}},
            {{"analytics", "log", "x", "--data", tooLong}, "velmora analytics log: --data" + refusedName},
            {{"experiments", "--data", tooLong}, "velmora experiments: --data" + refusedName},
            {{"collector", "--port", "0", "--log", tooLong}, "velmora collector: --log" + refusedName},
            // What the application and its help say.
            {{"app", "--help"}, "", {}, 0, "WIDTHxHEIGHT: 100 to 4096 each"},
            {{"-VEZArurerudoDebugEnabled", "app", "--help"}, "", {}, 0, "--screen"},
            // Help before the words a command needs answers all the same.
            {{"analytics", "purchase", "--help"}, "", {}, 0, "--price"},
            {{"script", "eval", "--help"}, "", {}, 0, "FILE"},
            {{"script", "run", "--help", "--text"}, "", {}, 0, "--event"},
            // ...but an empty name is refused as empty, help or no help.
            {{"script", "eval", "", "--help"}, "velmora script eval: FILE" + empty},
            {{"app", "--data", (data / "lang").string(), "--script", (data / "quit.script").string()},
             "",
             {{"LC_ALL", ""}, {"LC_MESSAGES", ""}, {"LANG", "fr_FR"}},
             0,
             "locale fr_FR: the application has no texts in \"fr\""},
        };
        for (const auto& c : cases) {
            std::string line;
            for (const auto& word : c.arguments) line += word.substr(0, 80) + " ";
            for (const auto& [name, value] : c.variables) line += name + "=" + value + " ";
            CAPTURE(line);
            // The default data folder, which nothing refused may write to.
            auto variables = c.variables;
            variables.emplace("XDG_DATA_HOME", (data / "home").string());
            const auto run = runTool(c.arguments, variables);
            CAPTURE(run.err);
            CHECK(run.status == c.status);
            CHECK(contains(run.err, c.err));
            if (c.status == 2) CHECK(run.out.empty());
            CHECK(contains(run.out, c.out));
            if (!c.notOut.empty()) CHECK_FALSE(contains(run.out, c.notOut));
        }
        CHECK_FALSE(std::filesystem::exists(data / "Application Support"));
        CHECK_FALSE(std::filesystem::exists(data / "home"));
    }
}

namespace {

// Reads what the descriptor gives until the text holds `part`, it ends, or
// the limit passes; answers whether the text holds it.
bool readUntil(int fd, std::string& text, const std::string& part, double timeoutSeconds) {
    const auto deadline = deadlineAfter(timeoutSeconds);
    while (!contains(text, part)) {
        pollfd readable{fd, POLLIN, 0};
        if (poll(&readable, 1, remainingMillis(deadline)) <= 0) return false;
        char buffer[4096];
        const ssize_t count = read(fd, buffer, sizeof buffer);
        if (count <= 0) return false;
        text.append(buffer, static_cast<std::size_t>(count));
    }
    return true;
}

}  // namespace

TEST_CASE("two consent commands at once on one data folder keep both changes") {
    testsupport::TempDir data;
    const std::string folder = data.path().string();
    REQUIRE(runTool({"analytics", "consent", "ad_storage=granted", "analytics_storage=granted", "--data", folder})
                .status == 0);
    const auto suite = data / "Preferences" / "APMAnalyticsSuiteName.plist";
    REQUIRE(std::filesystem::exists(suite));
    // Another process holds the suite's lock until both commands have read
    // the suite and wait for it to write: each then writes over a file the
    // other changed after it read it.
    testsupport::FileLockHolder holder(suite.string() + ".lock", true);
    std::vector<std::pair<pid_t, int>> commands;  // each process and its standard error
    const int quiet = open("/dev/null", O_WRONLY);
    for (const char* change : {"ad_storage=denied", "analytics_storage=denied"}) {
        int ends[2];
        REQUIRE(pipe2(ends, O_CLOEXEC) == 0);
        commands.emplace_back(spawnTool({"analytics", "consent", change, "--data", folder}, {}, quiet, ends[1]), ends[0]);
        close(ends[1]);
    }
    close(quiet);
    for (const auto& [pid, err] : commands) {
        std::string said;
        CHECK(readUntil(err, said, "user defaults: waiting for the lock of " + suite.string(), kCommandTimeoutSeconds));
    }
    holder.letGo();
    for (const auto& [pid, err] : commands) {
        CHECK(testsupport::waitForChild(pid, kCommandTimeoutSeconds) == 0);
        close(err);
    }
    const auto settings = platform::parsePropertyList(testsupport::readText(suite));
    REQUIRE(settings);
    CHECK((*settings)["consent_settings"] ==
          Value(Value::Dictionary{{"ad_storage", "denied"}, {"analytics_storage", "denied"}}));
}

TEST_CASE("a second velmora app on the data folder of a running one is refused before it starts, naming the first") {
    testsupport::TempDir data;
    // A name that would split the refusal's line and clear the terminal:
    // quoted escaped.
    const std::string folder = (data / "first\nsession\x1b[2J").string();
    const std::string folderSaid = (data / "first\\nsession\\x1b[2J").string();
    std::ofstream(data / "quit.script") << "quit\n";
    const std::vector<std::string> second{"app", "--script", (data / "quit.script").string(), "--data", folder};
    int input[2], output[2];
    REQUIRE(pipe2(input, O_CLOEXEC) == 0);
    REQUIRE(pipe2(output, O_CLOEXEC) == 0);
    const int quiet = open("/dev/null", O_WRONLY);
    const pid_t first = testsupport::spawnChild({VELMORA_TOOL_PATH, "app", "--data", folder},
                                                testsupport::environmentWith({}, "VELMORA_"), input[0], output[1], quiet);
    close(input[0]);
    close(output[1]);
    close(quiet);
    // Once it answers a command it has launched, its folder held.
    REQUIRE(write(input[1], "help\n", 5) == 5);
    std::string shown;
    REQUIRE(readUntil(output[0], shown, "quit", kCommandTimeoutSeconds));

    const auto refused = runTool(second);
    CAPTURE(refused.err);
    CHECK(refused.status == 2);
    CHECK(refused.out.empty());
    CHECK(contains(refused.err, "velmora app: another app session runs on the data folder " + folderSaid +
                                    " (process " + std::to_string(first) + ")"));

    REQUIRE(write(input[1], "quit\n", 5) == 5);
    close(input[1]);
    CHECK(testsupport::waitForChild(first, kCommandTimeoutSeconds) == 0);
    close(output[0]);
    // The folder is free again once the first has ended.
    CHECK(runTool(second).status == 0);
}

TEST_CASE("another program's change of the layout during a velmora app session: the file is carried as at open, "
          "and every later event of the session is stored") {
    struct Change {
        std::string what;
        std::string statements;
    };
    const std::vector<Change> changes = {
        {"daily_counts made again without row IDs",
         "CREATE TABLE again (id INTEGER NOT NULL PRIMARY KEY, day_index INTEGER NOT NULL DEFAULT 0, conversions_count "
         "INTEGER NOT NULL DEFAULT 0, all_events_count INTEGER NOT NULL DEFAULT 0, public_events_count INTEGER NOT NULL "
         "DEFAULT 0, error_events_count INTEGER NOT NULL DEFAULT 0, realtime_count INTEGER NOT NULL DEFAULT 0, "
         "dcu_realtime_count INTEGER NOT NULL DEFAULT 0) WITHOUT ROWID; INSERT INTO again SELECT * FROM daily_counts; "
         "DROP TABLE daily_counts; ALTER TABLE again RENAME TO daily_counts"},
        {"a generated column", "ALTER TABLE raw_events ADD COLUMN doubled REAL GENERATED ALWAYS AS (timestamp * 2)"},
        {"a column renamed", "ALTER TABLE raw_events RENAME COLUMN name TO event_name"},
        {"user_attributes made again with other columns",
         "DROP TABLE user_attributes; CREATE TABLE user_attributes (key TEXT PRIMARY KEY, payload BLOB)"},
    };
    constexpr int kTapsAfter = 3;
    for (const auto& change : changes) {
        CAPTURE(change.what);
        testsupport::TempDir data;
        const std::string folder = data.path().string();
        int input[2], output[2];
        REQUIRE(pipe2(input, O_CLOEXEC) == 0);
        REQUIRE(pipe2(output, O_CLOEXEC) == 0);
        const int err = open((data / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const pid_t app = testsupport::spawnChild({VELMORA_TOOL_PATH, "app", "--data", folder},
                                                  testsupport::environmentWith({}, "VELMORA_"), input[0], output[1], err);
        close(input[0]);
        close(output[1]);
        close(err);
        auto command = [&](const std::string& line, const std::string& answer) {
            const std::string text = line + "\nwait\n";
            REQUIRE(write(input[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()));
            std::string shown;
            REQUIRE(readUntil(output[0], shown, answer, kCommandTimeoutSeconds));
        };
        // The introduction, then the first tap of the toolbar's menu.
        for (const char* step : {"alert Accept", "tap Next", "tap Next", "tap Next", "tap Next", "tap Let's start", "menu"}) {
            command(step, "idle");
        }
        testsupport::runSQL(data / "Application Support" / "Rozeda" / "Measurement" / "rozeda-app-measurement.sql",
                            change.statements);
        for (int tap = 0; tap < kTapsAfter; ++tap) command("menu", "idle");
        command("quit", "stopped");
        close(input[1]);
        CHECK(testsupport::waitForChild(app, kCommandTimeoutSeconds) == 0);
        close(output[0]);
        const std::string said = testsupport::readText(data / "err");
        CHECK_FALSE(contains(said, "was not stored"));
        CHECK(contains(said, "[I-ACS034025]"));
        const auto dumped = runTool({"analytics", "dump", "--data", folder});
        REQUIRE(dumped.status == 0);
        std::size_t taps = 0;
        const Value stored = jsonOf(dumped.out);
        for (const auto& event : stored["raw_events"].asArray()) {
            taps += event["name"] == Value("tapped_menu_button") ? 1 : 0;
        }
        CHECK(taps == 1 + kTapsAfter);
    }
}

TEST_CASE("with the network unreachable nothing connects: a fetch fails at once, uploads are held") {
    testsupport::TempDir data;
    testsupport::LoopbackServer listener;
    std::ofstream(data / "quit.script") << "quit\n";
    const std::map<std::string, std::string> offline{
        {"VELMORA_NETWORK_REACHABLE", "0"},
        {"VELMORA_MEASUREMENT_SERVICE_URL", listener.url("/")},
        {"VELMORA_EXPERIMENTS_SERVICE_URL", listener.url("/")},
        {"VELMORA_REMOTE_CONFIG_SOURCE", listener.url("/remote-values")},
    };
    const std::string unreachable = ": the network is unreachable ($VELMORA_NETWORK_REACHABLE is 0, no or false), "
                                    "so nothing was fetched";
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string err;  // a part of standard error
    };
    const std::vector<Case> cases = {
        {{"analytics", "config"}, 1, "velmora analytics config" + unreachable},
        {{"experiments", "--fetch"}, 1, "velmora experiments" + unreachable},
        {{"app", "--script", (data / "quit.script").string()},
         1,
         "velmora app: remote configuration was not fetched from the source given: " + listener.url("/remote-values") +
             ": the network is unreachable"},
        {{"analytics", "log", "held"}, 0, ""},
        {{"calc", "--k", "1", "--n", "2", "--p", "0.5"}, 0, ""},
    };
    for (const auto& c : cases) {
        CAPTURE(c.arguments.front());
        auto arguments = c.arguments;
        arguments.insert(arguments.end(), {"--data", (data / "folder").string()});
        const auto run = runTool(arguments, offline);
        CAPTURE(run.err);
        CHECK(run.status == c.status);
        CHECK(contains(run.err, c.err));
    }
    CHECK(listener.connectionCount() == 0);
    // What was logged is kept for when the network returns.
    const auto stored = storedEventNames((data / "folder").string());
    CHECK(std::count(stored.begin(), stored.end(), "held") == 1);
}

TEST_CASE("what a command prints that cannot be written fails it with the reason, whatever the command") {
    testsupport::TempDir data;
    const std::string folder = (data / "data").string();
    std::ofstream(data / "quit.script") << "quit\n";
    std::ofstream(data / "sum.txt") << "(add 1 2)\n";
    REQUIRE(runTool({"analytics", "log", "stored", "--data", folder}).status == 0);
    const std::string full = ": what it printed could not all be written to its standard output: No space left on device\n";
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string err;  // a part of standard error; empty: no such line
    };
    const std::vector<Case> cases = {
        {{"analytics", "dump", "--data", folder}, 1, "velmora analytics dump" + full},
        {{"analytics", "consent", "--json", "--data", folder}, 1, "velmora analytics consent" + full},
        {{"analytics", "identity", "--data", folder}, 1, "velmora analytics identity" + full},
        {{"calc", "--k", "2", "--n", "5", "--p", "0.3", "--data", folder}, 1, "velmora calc" + full},
        // A refusal the command printed keeps its status, and says this too.
        {{"calc", "--k", "2", "--n", "5", "--p", "1.5", "--json", "--data", folder}, 1, "velmora calc" + full},
        {{"script", "eval", "--text", (data / "sum.txt").string()}, 1, "velmora script eval" + full},
        {{"app", "--script", (data / "quit.script").string(), "--data", folder}, 1, "velmora app" + full},
        {{"--help"}, 1, "velmora" + full},
        {{"collector", "--help"}, 1, "velmora collector" + full},
        {{"analytics", "log", "--help"}, 1, "velmora analytics log" + full},
        // Nothing printed, nothing to fail: the status stands.
        {{"analytics", "log", "quiet", "--data", folder}, 0, ""},
        {{"calc", "--bogus"}, 2, ""},
    };
    for (const auto& c : cases) {
        CAPTURE(c.arguments.front());
        CAPTURE(c.arguments.size());
        const auto errPath = data / "err";
        const int out = open("/dev/full", O_WRONLY);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        REQUIRE((out >= 0 && err >= 0));
        const pid_t pid = spawnTool(c.arguments, {}, out, err);
        close(out);
        close(err);
        const int status = testsupport::waitForChild(pid, kCommandTimeoutSeconds);
        const auto said = testsupport::readText(errPath);
        CAPTURE(said);
        CHECK(status == c.status);
        if (c.err.empty()) {
            CHECK_FALSE(contains(said, "could not all be written"));
        } else {
            CHECK(contains(said, c.err));
        }
    }
    // What the commands did is kept all the same: only the report was lost.
    const auto names = storedEventNames(folder);
    CHECK(std::count(names.begin(), names.end(), "quiet") == 1);
    CHECK(std::count(names.begin(), names.end(), "kuvo_calculate") == 1);
}

TEST_CASE("the attribution service's address is joined with or without its trailing slash") {
    testsupport::TempDir data;
    std::ofstream(data / "reply.json") << "{\"attribution\": true, \"campaignId\": 42}";
    Collector collector({"--search-ad-reply", (data / "reply.json").string()});
    const auto port = collector.waitFor(std::regex("listening on 127\\.0\\.0\\.1:([0-9]+)\n"), 20);
    REQUIRE(port);
    const std::string base = "http://127.0.0.1:" + *port;
    int answered = 0;
    for (const std::string& address : {base, base + "/", base + "//"}) {
        CAPTURE(address);
        // A new folder for each: the engine tries at once on its first start.
        const auto run = runTool({"analytics", "log", "ev", "--data", (data / std::to_string(answered)).string()},
                                 {{"VELMORA_ATTRIBUTION_SERVICE_URL", address}});
        CAPTURE(run.err);
        CHECK(run.status == 0);
        CHECK_FALSE(contains(run.err, "Cannot send request for Search Ad"));
        ++answered;
        // The collector has answered this many tokens at its own address.
        const std::string times = std::to_string(answered);
        CHECK(collector.waitFor(std::regex("((?:[\\s\\S]*?POST /api/v1/: 200){" + times + "})"), 20));
    }
    CHECK_FALSE(collector.waitFor(std::regex("(POST //)"), 0));
}
