// Measurement script programs assembled, run, and loaded as the engine's
// event-editing program, in plain values.
#include "measurement/control/script_control.h"

#include "measurement/core/raw_event_metadata.h"
#include "measurement/foundation/parameter_value.h"
#include "measurement/script/editing/editing_factory.h"
#include "measurement/script/program_decoder.h"
#include "measurement/script/text/program_text.h"
#include "measurement/script/text/script_runner.h"
#include "measurement/store/remote_config.h"
#include "platform/foundation/json_codec.h"

namespace measurement::control {

namespace {

using platform::Value;

// {"name": "purchase", "timestamp": 1700000000, "parameters": {"value": 9.5}};
// every key optional. Parameters take the engine's kinds: text, numbers and
// lists of parameter objects (true and false become 1 and 0).
std::optional<APMPEvent> eventFromJSON(const std::string& text, std::string& problem) {
    APMPEvent event("event", 0, {});
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
                const auto converted = APMValue::valueFromObject(parameter);
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

Value eventJSON(const APMPEvent& event) {
    return Value::Dictionary{
        {"name", event.name()}, {"timestamp", event.timestamp()}, {"parameters", event.parameters()}};
}

Value errorJSON(const std::string& stage, const APMError& error) {
    return Value::Dictionary{
        {"stage", stage}, {"domain", error.domain()}, {"code", static_cast<long long>(error.code())}};
}

// The modules as the engine gives them: the settings as remote-configuration
// values, and the application's metadata from its bundle.
APMEventEditingModules modulesFrom(const std::map<std::string, std::string>& given) {
    auto settings = std::make_shared<std::map<std::string, std::string>>(given);
    APMEventEditingModules modules;
    modules.remoteConfigValue = [settings](const std::string& key) -> std::optional<std::string> {
        const auto found = settings->find(key);
        return found == settings->end() ? std::nullopt : std::optional<std::string>(found->second);
    };
    modules.appMetadata = [] {
        const auto environment = APMRemoteConfigEnvironment::fromMainBundle();
        Value::Dictionary metadata{{"platform", "ios"},
                                   {"package_name", environment.bundleIdentifier},
                                   {"ruz_version", static_cast<long long>(kAPMLibraryVersion)}};
        if (auto version = environment.appVersion ? environment.appVersion() : std::nullopt) {
            metadata["app_version"] = *version;
        }
        return metadata;
    };
    return modules;
}

// What the engine stores of one event: on success the edited (or the same)
// event and the created ones; on a failure the unedited event alone.
Value outcomeJSON(const APMPEvent& event, const std::optional<APMEventEditingResult>& result,
                  const std::optional<APMError>& error) {
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

}  // namespace

bool isEncodedProgram(const std::vector<std::uint8_t>& bytes) {
    ScriptError decodeError;
    return APMPDecodeProgram(bytes.data(), bytes.size(), decodeError).has_value();
}

ProgramAssembly assembleProgram(const std::string& text) {
    const auto assembled = script_text::assemble(text);
    if (!assembled.ok()) return {{}, assembled.error};
    return {script_text::encodeProgram(assembled.program), {}};
}

ProgramRun runProgram(const std::vector<std::uint8_t>& bytes) {
    const auto result = script_text::runProgramBytes(bytes);
    ProgramRun run{result.value, std::nullopt, result.evaluations};
    if (result.error) run.error = std::make_pair(result.error.domain, static_cast<long>(result.error.code));
    return run;
}

std::optional<std::string> eventProblem(const std::string& eventJSON) {
    std::string problem;
    if (eventFromJSON(eventJSON, problem)) return std::nullopt;
    return problem;
}

EventEditingRun runEventEditing(const std::vector<std::uint8_t>& bytes, const std::string& eventJSON,
                                const std::map<std::string, std::string>& settings) {
    EventEditingRun run;
    std::string problem;
    const auto event = eventFromJSON(eventJSON, problem);
    ScriptError decodeError;
    const auto program = APMPDecodeProgram(bytes.data(), bytes.size(), decodeError);
    if (!event || !program) {
        run.readable = false;
        return run;
    }
    APMPEventEditingFactory factory;
    std::optional<APMError> error;
    const auto host = factory.makeEventEditingWithProgram(*program, modulesFrom(settings), &error);
    if (!host) {
        run.output = Value::Dictionary{{"error", errorJSON("load", *error)}};
        return run;
    }
    const auto result = host->handleEvent(*event, &error);
    run.output = outcomeJSON(*event, result, error);
    run.succeeded = result.has_value();
    return run;
}

}  // namespace measurement::control
