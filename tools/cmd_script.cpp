// `velmora script eval FILE`: runs a script program in a fresh runtime and
// prints the value of its last statement, or the error, with the number of
// evaluations used.
// `velmora script run PROGRAM [--event JSON] [--setting KEY=VALUE ...]`: loads
// an event-editing program as the engine does and runs it on one event,
// printing the event the engine would store and the events the program
// created, as JSON.

#include <algorithm>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "measurement/control/script_control.h"
#include "platform/foundation/json_codec.h"
#include "tools/command_registry.h"
#include "tools/option_values.h"
#include "tools/path_options.h"

namespace tools {

namespace {

using platform::Value;

struct ScriptOptions {
    // "velmora script eval", for messages.
    std::string command;
    // The option or word that names the program, for messages.
    std::string source;
    std::string file;
    bool text = false;
    std::string event;
    std::vector<std::string> settings;
};

// Bytes that are no encoded program but printable text, or that assemble:
// the text form given without --text.
bool looksLikeTextProgram(const std::string& contents, const std::vector<std::uint8_t>& bytes) {
    if (measurement::control::isEncodedProgram(bytes)) return false;
    if (measurement::control::assembleProgram(contents).ok()) return true;
    return !contents.empty() && std::all_of(contents.begin(), contents.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 || c == '\n' || c == '\r' || c == '\t';
    });
}

// The encoded program of the file (assembled first with --text); none, with
// the reason on standard error, when it cannot be assembled. A file that
// cannot be read ends the command (status 2).
std::optional<std::vector<std::uint8_t>> programBytes(const ScriptOptions& options) {
    const std::string contents = requireFileContents(options.command, options.source, options.file);
    if (!options.text) {
        std::vector<std::uint8_t> bytes(contents.begin(), contents.end());
        if (looksLikeTextProgram(contents, bytes)) {
            sayError(options.command, options.file + " is a program in text form: pass --text");
            return std::nullopt;
        }
        return bytes;
    }
    auto assembled = measurement::control::assembleProgram(contents);
    if (!assembled.ok()) {
        sayError(options.command, options.file + ": " + assembled.error);
        return std::nullopt;
    }
    return std::move(assembled.bytes);
}

int evalScript(const ScriptOptions& options) {
    const auto bytes = programBytes(options);
    if (!bytes) return 2;
    const auto result = measurement::control::runProgram(*bytes);
    if (result.error) {
        std::cout << "error: " << result.error->first << " " << result.error->second << "\n";
    } else {
        std::cout << result.value << "\n";
    }
    std::cout << "evaluations: " << result.evaluations << "\n";
    return result.error ? 1 : 0;
}

// The settings named on the command line; why they cannot be, when one is
// not KEY=VALUE or a key is given twice.
std::optional<std::string> readSettings(const std::vector<std::string>& pairs,
                                        std::map<std::string, std::string>& settings) {
    for (const auto& pair : pairs) {
        const auto equals = pair.find('=');
        if (equals == std::string::npos || equals == 0) return "settings are KEY=VALUE, not \"" + pair + "\"";
        // Which of two values was meant cannot be told.
        const std::string key = pair.substr(0, equals);
        if (!settings.emplace(key, pair.substr(equals + 1)).second) {
            return "the setting \"" + key + "\" is given more than once: give each setting once";
        }
    }
    return std::nullopt;
}

// What both commands refuse before a program runs, help asked for or not:
// a preferences folder that cannot serve, a program's file that cannot be
// read. A program not named at all is only help's line (without help the
// parser refuses it as required, and an empty name as empty): help answers
// it, as it answers every command asked before the words it needs.
void requireProgramFile(ScriptOptions& options, const std::string& command, const std::string& source,
                        const platform::LaunchOptions& launch) {
    options.command = command;
    options.source = source;
    requirePreferencesFolder(options.command, launch);
    if (options.file.empty()) return;
    requireFileContents(options.command, options.source, options.file);
}

// What the command line gives `script run` that it cannot use: an event
// that cannot be handed to a program, or settings that are not; these
// before the program is read, so that what is wrong with the words is not
// laid at the program's door. Then the files, as for `script eval`.
std::optional<std::string> refusedRunWords(ScriptOptions& options, const platform::LaunchOptions& launch) {
    if (const auto problem = measurement::control::eventProblem(options.event)) return "--event: " + *problem;
    std::map<std::string, std::string> settings;
    if (auto why = readSettings(options.settings, settings)) return why;
    requireProgramFile(options, "velmora script run", "PROGRAM", launch);
    return std::nullopt;
}

int runScript(const ScriptOptions& options) {
    // The command line's check has taken the event and the settings.
    std::map<std::string, std::string> settings;
    readSettings(options.settings, settings);
    const auto bytes = programBytes(options);
    if (!bytes) return 2;
    const auto run = measurement::control::runEventEditing(*bytes, options.event, settings);
    if (!run.readable) {
        sayError(options.command, options.file + " is not an encoded program");
        return 2;
    }
    std::cout << platform::writeJSON(run.output, true) << "\n";
    return run.succeeded ? 0 : 1;
}

const CommandRegistration registration([](CLI::App& app, int& status, const platform::LaunchOptions& launch) {
    auto* script = app.add_subcommand("script", "Run measurement script programs");
    script->require_subcommand(1);
    auto options = std::make_shared<ScriptOptions>();
    auto* eval = script->add_subcommand(
        "eval", "Run a program (an encoded nano_APMPBProgram, or its text form with --text) and print its value");
    eval->add_option("FILE", options->file, "the program")->required()
        ->check(pathGiven("the program's file"));
    eval->add_flag("--text", options->text, "read the assembler's text form");
    runCheckedWords(
        *eval,
        [options, &launch]() -> std::optional<std::string> {
            requireProgramFile(*options, "velmora script eval", "FILE", launch);
            return std::nullopt;
        },
        [options, &status] { status = evalScript(*options); });

    auto* run = script->add_subcommand(
        "run", "Run an event-editing program on one event and print the stored and created events as JSON");
    run->add_option("PROGRAM", options->file, "the program (encoded, or its text form with --text)")->required()
        ->check(pathGiven("the program's file"));
    run->add_flag("--text", options->text, "read the assembler's text form");
    run->add_option("--event", options->event,
                    "the event: {\"name\": ..., \"timestamp\": seconds, \"parameters\": {...}}; "
                    "default an event named \"event\" at 0 without parameters");
    run->add_option("--setting", options->settings, "a configuration setting for internal.remoteConfig, KEY=VALUE");
    runCheckedWords(
        *run, [options, &launch] { return refusedRunWords(*options, launch); },
        [options, &status] { status = runScript(*options); });
});

}  // namespace

}  // namespace tools
