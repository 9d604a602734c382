// `velmora script eval FILE`: runs a script program in a fresh runtime and
// prints the value of its last statement, or the error, with the number of
// evaluations used.
// `velmora script run PROGRAM [--event JSON] [--setting KEY=VALUE ...]`: loads
// an event-editing program as the engine does and runs it on one event,
// printing the event the engine would store and the events the program
// created, as JSON.

#include <algorithm>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "measurement/core/raw_event_metadata.h"
#include "measurement/foundation/parameter_value.h"
#include "measurement/script/editing/editing_factory.h"
#include "measurement/script/program_decoder.h"
#include "measurement/script/testing/program_text.h"
#include "measurement/script/testing/script_runner.h"
#include "measurement/store/remote_config.h"
#include "platform/foundation/json_codec.h"
#include "tools/command_registry.h"

namespace tools {

namespace {

using platform::Value;

struct ScriptOptions {
    std::string file;
    bool text = false;
    std::string event;
    std::vector<std::string> settings;
};

// Bytes that are no encoded program but printable text, or that assemble:
// the text form given without --text.
bool looksLikeTextProgram(const std::string& contents, const std::vector<std::uint8_t>& bytes) {
    measurement::ScriptError decodeError;
    if (measurement::APMPDecodeProgram(bytes.data(), bytes.size(), decodeError)) return false;
    if (measurement::testing::assemble(contents).ok()) return true;
    return !contents.empty() && std::all_of(contents.begin(), contents.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 || c == '\n' || c == '\r' || c == '\t';
    });
}

// The encoded program of the file (assembled first with --text); none, with
// the reason on standard error, when it cannot be read or assembled.
std::optional<std::vector<std::uint8_t>> programBytes(const ScriptOptions& options) {
    std::ifstream in(options.file, std::ios::binary);
    if (!in) {
        std::cerr << "script: cannot read " << options.file << "\n";
        return std::nullopt;
    }
    const std::string contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!options.text) {
        std::vector<std::uint8_t> bytes(contents.begin(), contents.end());
        if (looksLikeTextProgram(contents, bytes)) {
            std::cerr << "script: " << options.file << " is a program in text form: pass --text\n";
            return std::nullopt;
        }
        return bytes;
    }
    const auto assembled = measurement::testing::assemble(contents);
    if (!assembled.ok()) {
        std::cerr << "script: " << options.file << ": " << assembled.error << "\n";
        return std::nullopt;
    }
    return measurement::testing::encodeProgram(assembled.program);
}

int evalScript(const ScriptOptions& options) {
    const auto bytes = programBytes(options);
    if (!bytes) return 2;
    const auto result = measurement::testing::runProgramBytes(*bytes);
    if (result.error) {
        std::cout << "error: " << result.error.domain << " " << result.error.code << "\n";
    } else {
        std::cout << result.value << "\n";
    }
    std::cout << "evaluations: " << result.evaluations << "\n";
    return result.error ? 1 : 0;
}

// {"name": "purchase", "timestamp": 1700000000, "parameters": {"value": 9.5}};
// every key optional. Parameters take the engine's kinds: text, numbers and
// lists of parameter objects (true and false become 1 and 0).
std::optional<measurement::APMPEvent> eventFromJSON(const std::string& text, std::string& problem) {
    measurement::APMPEvent event("event", 0, {});
    if (text.empty()) return event;
    const auto document = platform::parseJSON(text, &problem);
    if (!document) return std::nullopt;
    if (!document->isDictionary()) {
        problem = "the event must be a JSON object";
        return std::nullopt;
    }
    for (const auto& [key, value] : document->asDictionary()) {
        if (key == "name" && value.isString()) {
            event.setName(value.asString());
        } else if (key == "timestamp" && value.isNumber()) {
            event.setTimestamp(value.realValue());
        } else if (key == "parameters" && value.isDictionary()) {
            for (const auto& [name, parameter] : value.asDictionary()) {
                const auto converted = measurement::APMValue::valueFromObject(parameter);
                if (!converted) {
                    problem = "parameter \"" + name + "\" must be text, a number or a list of objects";
                    return std::nullopt;
                }
                event.parameters()[name] = converted->objectValue();
            }
        } else {
            problem = "\"" + key + "\" is not a name (text), timestamp (number) or parameters (object)";
            return std::nullopt;
        }
    }
    return event;
}

Value eventJSON(const measurement::APMPEvent& event) {
    return Value::Dictionary{
        {"name", event.name()}, {"timestamp", event.timestamp()}, {"parameters", event.parameters()}};
}

Value errorJSON(const std::string& stage, const measurement::APMError& error) {
    return Value::Dictionary{
        {"stage", stage}, {"domain", error.domain()}, {"code", static_cast<long long>(error.code())}};
}

// The modules as the engine gives them: the settings named on the command
// line, and the application's metadata from its bundle.
std::optional<measurement::APMEventEditingModules> modulesFrom(const std::vector<std::string>& pairs) {
    auto settings = std::make_shared<std::map<std::string, std::string>>();
    for (const auto& pair : pairs) {
        const auto equals = pair.find('=');
        if (equals == std::string::npos || equals == 0) {
            std::cerr << "script run: settings are KEY=VALUE, not \"" << pair << "\"\n";
            return std::nullopt;
        }
        (*settings)[pair.substr(0, equals)] = pair.substr(equals + 1);
    }
    measurement::APMEventEditingModules modules;
    modules.remoteConfigValue = [settings](const std::string& key) -> std::optional<std::string> {
        const auto found = settings->find(key);
        return found == settings->end() ? std::nullopt : std::optional<std::string>(found->second);
    };
    modules.appMetadata = [] {
        const auto environment = measurement::APMRemoteConfigEnvironment::fromMainBundle();
        Value::Dictionary metadata{{"platform", "ios"},
                                   {"package_name", environment.bundleIdentifier},
                                   {"ruz_version", static_cast<long long>(measurement::kAPMLibraryVersion)}};
        if (auto version = environment.appVersion ? environment.appVersion() : std::nullopt) {
            metadata["app_version"] = *version;
        }
        return metadata;
    };
    return modules;
}

// What the engine stores of one event: on success the edited (or the same)
// event and the created ones; on a failure the unedited event alone.
Value outcomeJSON(const measurement::APMPEvent& event, const std::optional<measurement::APMEventEditingResult>& result,
                  const std::optional<measurement::APMError>& error) {
    if (!result) {
        return Value::Dictionary{
            {"error", errorJSON("event", *error)}, {"event", eventJSON(event)}, {"created", Value::Array{}}};
    }
    Value::Array created;
    for (const auto& made : result->eventsToLog) created.push_back(eventJSON(made));
    return Value::Dictionary{{"edited", result->hasEdits},
                             {"event", eventJSON(result->hasEdits ? result->outputEvent : event)},
                             {"created", std::move(created)}};
}

int runScript(const ScriptOptions& options) {
    std::string problem;
    const auto event = eventFromJSON(options.event, problem);
    if (!event) {
        std::cerr << "script run: --event: " << problem << "\n";
        return 2;
    }
    const auto modules = modulesFrom(options.settings);
    const auto bytes = programBytes(options);
    if (!modules || !bytes) return 2;
    measurement::ScriptError decodeError;
    const auto program = measurement::APMPDecodeProgram(bytes->data(), bytes->size(), decodeError);
    if (!program) {
        std::cerr << "script run: " << options.file << " is not an encoded program\n";
        return 2;
    }
    measurement::APMPEventEditingFactory factory;
    std::optional<measurement::APMError> error;
    const auto host = factory.makeEventEditingWithProgram(*program, *modules, &error);
    if (!host) {
        std::cout << platform::writeJSON(Value::Dictionary{{"error", errorJSON("load", *error)}}, true) << "\n";
        return 1;
    }
    const auto result = host->handleEvent(*event, &error);
    std::cout << platform::writeJSON(outcomeJSON(*event, result, error), true) << "\n";
    return result ? 0 : 1;
}

const CommandRegistration registration([](CLI::App& app, int& status) {
    auto* script = app.add_subcommand("script", "Run measurement script programs");
    script->require_subcommand(1);
    auto options = std::make_shared<ScriptOptions>();
    auto* eval = script->add_subcommand(
        "eval", "Run a program (an encoded nano_APMPBProgram, or its text form with --text) and print its value");
    eval->add_option("FILE", options->file, "the program")->required();
    eval->add_flag("--text", options->text, "read the assembler's text form");
    eval->callback([options, &status] { status = evalScript(*options); });

    auto* run = script->add_subcommand(
        "run", "Run an event-editing program on one event and print the stored and created events as JSON");
    run->add_option("PROGRAM", options->file, "the program (encoded, or its text form with --text)")->required();
    run->add_flag("--text", options->text, "read the assembler's text form");
    run->add_option("--event", options->event,
                    "the event: {\"name\": ..., \"timestamp\": seconds, \"parameters\": {...}}; "
                    "default an event named \"event\" at 0 without parameters");
    run->add_option("--setting", options->settings, "a configuration setting for internal.remoteConfig, KEY=VALUE");
    run->callback([options, &status] { status = runScript(*options); });
});

}  // namespace

}  // namespace tools
